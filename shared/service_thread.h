#pragma once
// The service thread of a library: the one thread whose single-threaded apartment owns the
// keyboard's component, from its creation to its release, with the set-up it made and the
// hand-off stream through which other threads reach the component.
//
//   NeverDestroyed<ServiceThread<ToneSetUp>> thread;             // module state
//   StartUpOutcome outcome = thread.value.startUp(kWaitMs);      // in Init
//   auto borrowed = thread.value.handOff().borrow();             // on any Java thread
//   if (thread.value.tearDown(kWaitMs)) ...                      // in clean-up
//
// SetUp is the library's set-up: SetUp::make(made, handOff) fills made on the thread, in its
// apartment, and SetUp's destructor is the tear-down; only a complete set-up is kept. The first
// Init starts the thread with its first start-up; the thread then serves COM calls, events and
// requests for the rest of the process's life (WM_QUIT does not end it, nothing does). A later
// Init after a clean-up or a failed start-up has the living thread start up again. Work is
// carried to the thread as a request: a thread message its loop recognises, a record shared by
// the caller and the loop, and a bounded wait; on the thread itself it runs at once (a listener
// method must not wait for itself). Never call a component from another thread than this one.
#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "hand_off_stream.h"
#include "java_vm.h"
#include "win_resources.h"

// How a start-up ended; each library maps these to its Init numbers and messages in a table of
// its own.
enum class StartUpStatus {
    Ready,
    CannotInitializeCom,  // recorded by the thread itself
    CannotCreateComponent,
    CannotOpenPort,
    NoConnectionPointContainer,
    NoConnectionPoint,
    NoSoftKey,
    NoSinkUnknown,
    CannotMarshal,
    TimedOut,         // from each start-up's beginning until it records its own
    UnexpectedError,  // an exception ended the start-up or the thread
};

// The outcome of one start-up: its status and the HRESULT its diagnostic names.
struct StartUpOutcome {
    StartUpStatus status;
    HRESULT errorCode;
};

template <class SetUp>
class ServiceThread {
public:
    using Interface = typename SetUp::Interface;

    ServiceThread() = default;
    ServiceThread(const ServiceThread&) = delete;
    ServiceThread& operator=(const ServiceThread&) = delete;

    // What an Init does, one at a time, in this order: waits for a start-up still running after an
    // earlier Init timed out (and then reports what that one recorded, never starting another);
    // or starts the thread with its first start-up (again, after a first one failed and ended
    // it); or has the living thread start up again, queued behind a tear-down it has not got to
    // yet; or nothing, when it is set up. The wait is bounded, and a start-up that outlasts it
    // still finishes later; the outcome is then still the time-out's.
    StartUpOutcome startUp(DWORD waitMs) {
        ExclusiveLock serialised(initLock_);
        if (!pendingStartUp_ || pendingStartUp_->done()) {
            if (serving_ && holdsSetUp()) return outcome();
            record({StartUpStatus::TimedOut, S_OK});
            pendingStartUp_ = serving_ ? queue(makeRequest()) : startThread();
        }
        if (pendingStartUp_) pendingStartUp_->waitDone(waitMs);
        return outcome();
    }

    // Takes the set-up from the library and has the thread let go of it, waited for at most
    // waitMs (a late tear-down still runs, ahead of any later start-up); at once on the thread
    // itself. False when there was no set-up to take.
    bool tearDown(DWORD waitMs) {
        const std::shared_ptr<Request> request = makeRequest();
        {
            ExclusiveLock locked(stateLock_);
            if (!setUp_) return false;
            // Without a record the set-up stays as it is, for a later clean-up to try again.
            if (!request) return true;
            handOver(setUp_, request->tornDown);
        }
        if (const auto queued = queue(request)) {
            queued->waitDone(waitMs);
            return true;
        }
        ExclusiveLock locked(stateLock_);  // never posted: given back, not let go on this thread
        handOver(request->tornDown, setUp_);
        return true;
    }

    // A start-up succeeded and no clean-up has taken its set-up since.
    bool holdsSetUp() {
        ExclusiveLock locked(stateLock_);
        return setUp_.has_value();
    }

    HandOffStream<Interface>& handOff() { return handOff_; }

    bool onThisThread() const { return serving_ && GetCurrentThreadId() == threadId_; }

    // The thread message that carries a request (lParam) to the loop.
    static constexpr UINT kRequestMessage = WM_APP + 0x5E7;

private:
    // A request's record: a start-up, or the tear-down of the set-up it holds. The caller, who
    // may stop waiting, and the loop, which runs it whenever it gets to it, each hold a share. It
    // holds no kernel handle, so a record that outlives its caller for a moment leaves the
    // process's handles as they were (the soak tests count them).
    struct Request {
        explicit Request(ServiceThread& owner) : thread(owner) {}

        // On the thread: a start-up, or a tear-down that lets go of its set-up here, in its apartment.
        void run() {
            if (!tornDown) thread.startUpHere();
            tornDown.reset();
            signalDone();
        }
        // Wakes the waiters under the lock: a caller that sees the request done may let go at once.
        void signalDone() {
            ExclusiveLock locked(lock);
            isDone = true;
            WakeAllConditionVariable(&doneChanged);
        }
        bool done() {
            ExclusiveLock locked(lock);
            return isDone;
        }
        void waitDone(DWORD timeoutMs) {
            ExclusiveLock locked(lock);
            const ULONGLONG deadline = GetTickCount64() + timeoutMs;
            for (ULONGLONG now = GetTickCount64(); !isDone && now < deadline; now = GetTickCount64())
                SleepConditionVariableSRW(&doneChanged, &lock, DWORD(deadline - now), 0);
        }

        ServiceThread& thread;
        std::optional<SetUp> tornDown;
        std::shared_ptr<Request> loopShare;  // while it is on its way to the thread
        SRWLOCK lock = SRWLOCK_INIT;
        CONDITION_VARIABLE doneChanged = CONDITION_VARIABLE_INIT;
        bool isDone = false;
    };

    // Null when there is no memory for it: such a request never runs.
    std::shared_ptr<Request> makeRequest() noexcept {
        try {
            return std::make_shared<Request>(*this);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    // Runs the request at once on the thread itself, else posts it to the loop. Null when it
    // cannot be posted: it will never run.
    std::shared_ptr<Request> queue(std::shared_ptr<Request> request) {
        if (!request || onThisThread()) {
            if (request) request->run();
            return request;
        }
        request->loopShare = request;
        if (PostThreadMessageA(threadId_, kRequestMessage, 0, reinterpret_cast<LPARAM>(request.get())))
            return request;
        request->loopShare.reset();
        return nullptr;
    }

    // The thread comes with its first start-up, handed over as its argument. Null when no
    // thread could be started.
    std::shared_ptr<Request> startThread() {
        std::shared_ptr<Request> request = makeRequest();
        if (!request) return request;
        request->loopShare = request;
        pinThisLibrary();
        thread_.reset(CreateThread(nullptr, 0, entry, request.get(), 0, &threadId_));
        if (thread_) return request;
        request->loopShare.reset();
        return nullptr;
    }

    // The thread never ends, so the library whose code it runs must stay mapped for the rest of
    // the process: a JVM frees a native library when the class loader that loaded it is
    // collected, and the thread's next message would then run unmapped code. Pinned before the
    // thread's first instruction; pinning again changes nothing.
    static void pinThisLibrary() {
        HMODULE library = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(&pinThisLibrary), &library);
    }

    // Attached as a daemon, so that it never keeps the Java client from exiting; once its first
    // start-up succeeded it keeps its apartment and its attachment for good.
    static DWORD WINAPI entry(LPVOID parameter) {
        std::shared_ptr<Request> first = std::move(static_cast<Request*>(parameter)->loopShare);
        ServiceThread& self = first->thread;
        MSG queue;
        PeekMessageA(&queue, nullptr, 0, 0, PM_NOREMOVE);  // requests can be posted from now on
        try {
            DaemonJvmAttachment jvm(storedJavaVM());
            ComApartment apartment;
            if (apartment.failed()) {
                self.record({StartUpStatus::CannotInitializeCom, apartment.result()});
            } else if (self.startUpHere() == StartUpStatus::Ready) {
                self.serving_ = true;
                std::exchange(first, nullptr)->signalDone();
                runMessageLoop();
            }
        } catch (...) {
            // From a dispatched message: the thread ends, and a later Init starts another.
            self.serving_ = false;
            self.record({StartUpStatus::UnexpectedError, S_OK});
        }
        // A failed first start-up has left the apartment and detached before Init hears of it, so
        // nothing of it is still running when the caller goes on (a Java client may exit at once).
        if (first) first->signalDone();
        return 0;
    }

    // On the thread, in its apartment. The set-up is kept only when it is complete; a failed or
    // interrupted one is let go here, so a later start-up begins from scratch.
    StartUpStatus startUpHere() {
        StartUpOutcome outcome;
        try {
            std::optional<SetUp> made(std::in_place);
            outcome = SetUp::make(*made, handOff_);
            if (outcome.status == StartUpStatus::Ready) {
                ExclusiveLock locked(stateLock_);
                handOver(made, setUp_);
            }
        } catch (...) {
            // Set here, not kept from before the try: i686 GCC 12 lost that value and recorded Ready.
            outcome = {StartUpStatus::UnexpectedError, S_OK};
        }
        record(outcome);
        return outcome.status;
    }

    // Serves the COM calls and events of the thread's apartment and the requests carried to it.
    // Only the loop's own message on the thread itself is a request; any other thread message is
    // dispatched as Windows would.
    [[noreturn]] static void runMessageLoop() {
        for (;;) {
            MSG msg;
            if (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                if (!msg.hwnd && msg.message == kRequestMessage) {
                    std::move(reinterpret_cast<Request*>(msg.lParam)->loopShare)->run();
                    continue;
                }
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }

    // Moves a set-up from one owner to the other: no call on its components, no tear-down.
    static void handOver(std::optional<SetUp>& from, std::optional<SetUp>& to) {
        to.emplace(std::move(*from));
        from.reset();
    }

    // Written before the start-up's request is signalled.
    void record(const StartUpOutcome& outcome) {
        ExclusiveLock locked(stateLock_);
        outcome_ = outcome;
    }
    StartUpOutcome outcome() {
        ExclusiveLock locked(stateLock_);
        return outcome_;
    }

    HandOffStream<Interface> handOff_{SetUp::kInterfaceId, SetUp::kFailedTake};
    SRWLOCK initLock_ = SRWLOCK_INIT;   // one Init at a time, across its wait
    SRWLOCK stateLock_ = SRWLOCK_INIT;  // the set-up's presence and the outcome, never across a call
    std::optional<SetUp> setUp_;        // its contents touched on the thread only
    StartUpOutcome outcome_{StartUpStatus::TimedOut, S_OK};
    std::shared_ptr<Request> pendingStartUp_;  // the latest start-up, which a timed-out Init may still wait for
    UniqueHandle thread_;
    DWORD threadId_ = 0;
    std::atomic<bool> serving_{false};  // came through its first start-up and takes requests
};
