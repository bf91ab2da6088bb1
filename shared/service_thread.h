#pragma once
// The service thread of a library: the one thread whose single-threaded apartment owns the
// keyboard's component, from its creation to its release.
//
//   ServiceThread thread({kCannotInitializeCom, kTimedOut, kUnexpectedError}, startUp);
//   StartUpOutcome outcome = thread.startUpForInit(kStartUpWaitMs);   // in Init
//   if (thread.claimSetUp()) thread.run(tearDown, kStartUpWaitMs);    // in clean-up
//
// The first Init starts the thread with its first start-up; the thread then serves COM calls,
// events and requests for the rest of the process's life (WM_QUIT does not end it, nothing does).
// A later Init after a clean-up or a failed start-up has the living thread start up again. Work
// is carried to the thread as a request: a thread message its loop recognises, a record shared by
// the caller and the thread, and a bounded wait; on the thread itself it runs at once (a listener
// method must not wait for itself). Never call a component from another thread than this one.
#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "java_vm.h"
#include "win_resources.h"

// Holds an SRW lock exclusively for its lifetime.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

// The outcome of one start-up: the status Init returns and the HRESULT its diagnostic names.
struct StartUpOutcome {
    LONG status;
    HRESULT errorCode;
};

class ServiceThread {
public:
    using StartUp = StartUpOutcome (*)();  // on the thread, in its apartment; keeps only a complete set-up
    using Work = void (*)();               // on the thread; touches the library's set-up only

    // The statuses the thread records by itself; 0 is ready.
    struct Statuses {
        LONG cannotInitializeCom;  // the thread's CoInitialize failed
        LONG timedOut;             // from each start-up's beginning until it records its own
        LONG unexpectedError;      // an exception ended the thread
    };

    ServiceThread(Statuses statuses, StartUp startUp)
        : statuses_(statuses), startUp_(startUp), status_(statuses.timedOut) {}
    ServiceThread(const ServiceThread&) = delete;
    ServiceThread& operator=(const ServiceThread&) = delete;

    // What an Init does, one at a time, in this order: waits for a start-up still running after an
    // earlier Init timed out; or starts the thread with its first start-up (again, after a first
    // one failed and ended it); or has the living thread start up again, queued behind a
    // tear-down it has not got to yet; or nothing, when it is set up. The wait is bounded, and a
    // start-up that outlasts it still finishes later; the outcome is then still the time-out's.
    StartUpOutcome startUpForInit(DWORD waitMs) {
        ExclusiveLock serialised(initLock_);
        if (!pendingStartUp_.done()) {
            pendingStartUp_.waitDone(waitMs);
        } else if (!serving_ || !setUpHeld_) {
            status_ = statuses_.timedOut;
            errorCode_ = S_OK;
            pendingStartUp_ = serving_ ? queue(Request::Kind::StartUp, nullptr) : startThread();
            pendingStartUp_.waitDone(waitMs);
        }
        return {status_, errorCode_};
    }

    // Runs work on the thread, behind what it has queued already, and waits for it at most
    // waitMs; at once when the caller is the thread. Work that cannot be queued never runs.
    void run(Work work, DWORD waitMs) { queue(Request::Kind::Work, work).waitDone(waitMs); }

    bool onThisThread() const { return serving_ && GetCurrentThreadId() == threadId_; }

    // A start-up succeeded and no clean-up has claimed it since.
    bool setUpHeld() const { return setUpHeld_; }
    // True for the one caller that takes the set-up back from here on.
    bool claimSetUp() { return setUpHeld_.exchange(false); }

    // The thread message that carries a request (lParam) to the loop.
    static constexpr UINT kRequestMessage = WM_APP + 0x5E7;

private:
    // A request's record. The caller, who may stop waiting, and the thread, which runs it whenever
    // it gets to it, each hold a share; the last of the two frees it. It comes from the process
    // heap, not the C++ allocator, so making one neither throws nor counts among the library's
    // allocations (the checked build's allocation fault test fails exactly the sink's), and it
    // holds no kernel handle, so a record that outlives its caller for a moment leaves the
    // process's handles as they were (the soak tests count them).
    class Request {
    public:
        enum class Kind { StartUp, Work };

        static Request* create(ServiceThread& thread, Kind kind, Work work) {
            void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(Request));
            return memory ? ::new (memory) Request(thread, kind, work) : nullptr;
        }
        void share() { ++owners_; }
        void release() {
            if (--owners_ != 0) return;
            this->~Request();
            HeapFree(GetProcessHeap(), 0, this);
        }
        void run() {
            if (kind_ == Kind::StartUp)
                thread_.recordStartUp(thread_.startUp_());
            else
                work_();
            signalDone();
        }
        // Wakes the waiters under the lock: a caller that sees the request done may free it at once.
        void signalDone() {
            ExclusiveLock locked(lock_);
            done_ = true;
            WakeAllConditionVariable(&doneChanged_);
        }
        bool done() {
            ExclusiveLock locked(lock_);
            return done_;
        }
        bool waitDone(DWORD timeoutMs) {
            ExclusiveLock locked(lock_);
            const ULONGLONG deadline = GetTickCount64() + timeoutMs;
            while (!done_) {
                const ULONGLONG now = GetTickCount64();
                if (now >= deadline) break;
                SleepConditionVariableSRW(&doneChanged_, &lock_, DWORD(deadline - now), 0);
            }
            return done_;
        }

    private:
        Request(ServiceThread& thread, Kind kind, Work work) : thread_(thread), kind_(kind), work_(work) {}
        ~Request() = default;

        ServiceThread& thread_;
        const Kind kind_;
        const Work work_;
        SRWLOCK lock_ = SRWLOCK_INIT;
        CONDITION_VARIABLE doneChanged_ = CONDITION_VARIABLE_INIT;
        bool done_ = false;
        std::atomic<LONG> owners_{1};
    };

    // A caller's share of a request, given back when it goes; done also when there is none.
    struct ShareReleaser {
        void operator()(Request* request) const { request->release(); }
    };
    class PendingRequest : public std::unique_ptr<Request, ShareReleaser> {
    public:
        using std::unique_ptr<Request, ShareReleaser>::unique_ptr;
        bool done() const { return !get() || get()->done(); }
        bool waitDone(DWORD timeoutMs) const { return !get() || get()->waitDone(timeoutMs); }
    };

    // Empty when the record cannot be made or posted: it will never run.
    PendingRequest queue(Request::Kind kind, Work work) {
        PendingRequest request(Request::create(*this, kind, work));
        if (!request.get()) return request;
        if (GetCurrentThreadId() == threadId_) {
            request.get()->run();
            return request;
        }
        request.get()->share();  // the loop's
        if (!PostThreadMessageA(threadId_, kRequestMessage, 0, reinterpret_cast<LPARAM>(request.get()))) {
            request.get()->release();
            request.reset();
        }
        return request;
    }

    // The thread comes with its first start-up, which it runs itself and signals through the
    // request it is handed, then releases its share of it. Empty when no thread could be started.
    PendingRequest startThread() {
        PendingRequest request(Request::create(*this, Request::Kind::StartUp, nullptr));
        if (!request.get()) return request;
        request.get()->share();  // the thread's
        firstStartUp_ = request.get();
        pinThisLibrary();
        thread_.reset(CreateThread(nullptr, 0, entry, this, 0, &threadId_));
        if (!thread_) {
            firstStartUp_ = nullptr;
            request.get()->release();
            request.reset();
        }
        return request;
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
        auto& self = *static_cast<ServiceThread*>(parameter);
        Request* request = std::exchange(self.firstStartUp_, nullptr);
        MSG queue;
        PeekMessageA(&queue, nullptr, 0, 0, PM_NOREMOVE);  // requests can be posted from now on
        try {
            DaemonJvmAttachment jvm(storedJavaVM());
            ComApartment apartment;
            const StartUpOutcome outcome = apartment.failed()
                                               ? StartUpOutcome{self.statuses_.cannotInitializeCom, apartment.result()}
                                               : self.startUp_();
            self.recordStartUp(outcome);
            if (outcome.status == 0) {
                self.serving_ = true;
                Request* first = std::exchange(request, nullptr);
                first->signalDone();
                first->release();
                runMessageLoop();
            }
        } catch (...) {
            // Also from a dispatched message: the thread ends, and a later Init starts another.
            self.serving_ = false;
            self.status_ = self.statuses_.unexpectedError;
        }
        // A failed first start-up has left the apartment and detached before Init hears of it, so
        // nothing of it is still running when the caller goes on (a Java client may exit at once).
        if (request) {
            request->signalDone();
            request->release();
        }
        return 0;
    }

    // The status and its error code are written before the start-up's request is signalled.
    void recordStartUp(const StartUpOutcome& outcome) {
        errorCode_ = outcome.errorCode;
        status_ = outcome.status;
        if (outcome.status == 0) setUpHeld_ = true;
    }

    // Serves the COM calls and events of the thread's apartment and the requests carried to it.
    // Only the loop's own message on the thread itself is a request; any other thread message is
    // dispatched as Windows would.
    [[noreturn]] static void runMessageLoop() {
        for (;;) {
            MSG msg;
            if (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                if (!msg.hwnd && msg.message == kRequestMessage) {
                    auto* request = reinterpret_cast<Request*>(msg.lParam);
                    request->run();
                    request->release();
                    continue;
                }
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }

    const Statuses statuses_;
    const StartUp startUp_;
    SRWLOCK initLock_ = SRWLOCK_INIT;
    UniqueHandle thread_;
    DWORD threadId_ = 0;
    std::atomic<bool> serving_{false};    // came through its first start-up and takes requests
    std::atomic<bool> setUpHeld_{false};  // a start-up succeeded and no clean-up claimed it since
    PendingRequest pendingStartUp_;       // the latest start-up, which a timed-out Init may still wait for
    Request* firstStartUp_ = nullptr;     // the thread's share, handed over at its start
    std::atomic<LONG> status_;
    std::atomic<HRESULT> errorCode_{S_OK};
};
