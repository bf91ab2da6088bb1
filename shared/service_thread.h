#pragma once
// Pieces both libraries' service threads and their Init and clean-up share: the message loop, and
// the requests that carry set-up and tear-down to the thread whose apartment owns the component.
#include <windows.h>

#include <new>
#include <utility>

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

// Work for a service thread: a plain function, since it only touches the library's module state.
// The record is shared by the caller, who may stop waiting for it, and the service thread, which
// runs it whenever it gets to it; the last of the two frees it. The caller waits on its completion
// for a bounded time.
class ServiceRequest {
public:
    using Work = void (*)();

    // Null when the record cannot be made. It comes from the process heap, not the C++ allocator,
    // so making a request neither throws nor takes the library's allocations; and it holds no
    // kernel handle, so a record that outlives its caller for a moment leaves the process's
    // handles as they were.
    static ServiceRequest* create(Work work) {
        void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(ServiceRequest));
        return memory ? ::new (memory) ServiceRequest(work) : nullptr;
    }

    void share() { InterlockedIncrement(&owners_); }
    void release() {
        if (InterlockedDecrement(&owners_) != 0) return;
        this->~ServiceRequest();
        HeapFree(GetProcessHeap(), 0, this);
    }

    // On the service thread.
    void run() {
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
    explicit ServiceRequest(Work work) : work_(work) {}
    ~ServiceRequest() = default;
    ServiceRequest(const ServiceRequest&) = delete;
    ServiceRequest& operator=(const ServiceRequest&) = delete;

    Work work_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE doneChanged_ = CONDITION_VARIABLE_INIT;
    bool done_ = false;
    volatile LONG owners_ = 1;
};

// The thread message that carries a request (lParam) to a service thread's loop.
inline constexpr UINT kServiceRequestMessage = WM_APP + 0x5E7;

// A caller's share of a request.
class PendingRequest {
public:
    PendingRequest() = default;
    explicit PendingRequest(ServiceRequest* request) : request_(request) {}
    ~PendingRequest() { reset(); }
    PendingRequest(PendingRequest&& other) noexcept : request_(std::exchange(other.request_, nullptr)) {}
    PendingRequest& operator=(PendingRequest&& other) noexcept {
        if (this != &other) {
            reset();
            request_ = std::exchange(other.request_, nullptr);
        }
        return *this;
    }
    PendingRequest(const PendingRequest&) = delete;
    PendingRequest& operator=(const PendingRequest&) = delete;

    explicit operator bool() const { return request_ != nullptr; }
    ServiceRequest* get() const { return request_; }
    // Done also when there is none.
    bool done() const { return !request_ || request_->done(); }
    bool waitDone(DWORD timeoutMs) const { return !request_ || request_->waitDone(timeoutMs); }
    void reset() {
        if (request_) std::exchange(request_, nullptr)->release();
    }

private:
    ServiceRequest* request_ = nullptr;
};

// Queues work behind whatever the service thread has queued already, or runs it at once when the
// caller is that thread (a listener method, which must not wait for itself). The result is done
// once the work has run; an empty one means it could not be queued and will never run.
inline PendingRequest requestOnServiceThread(DWORD serviceThreadId, ServiceRequest::Work work) {
    PendingRequest request(ServiceRequest::create(work));
    if (!request) return request;
    if (GetCurrentThreadId() == serviceThreadId) {
        request.get()->run();
        return request;
    }
    request.get()->share();  // the loop's share
    if (!PostThreadMessageA(serviceThreadId, kServiceRequestMessage, 0, reinterpret_cast<LPARAM>(request.get()))) {
        request.get()->release();
        request.reset();
    }
    return request;
}

// A service thread never ends, so the library whose code it runs must stay mapped for the rest of
// the process: a JVM frees a native library when the class loader that loaded it is collected, and
// the thread's next message would then run unmapped code. Pinned before the thread's first
// instruction; pinning again changes nothing.
inline void pinThisLibrary() {
    HMODULE library = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&pinThisLibrary), &library);
}

// Starts a service thread at entry with its first start-up, which the thread runs itself and
// signals through the request it gets as its parameter (ending the thread on failure), then
// releases its share of it. A caller that gave up waiting keeps its share until the next Init.
// Empty when no thread could be started: no thread, no answer.
inline PendingRequest startServiceThread(LPTHREAD_START_ROUTINE entry, UniqueHandle& thread, DWORD& threadId) {
    PendingRequest request(ServiceRequest::create(nullptr));
    if (!request) return request;
    request.get()->share();  // the thread's
    pinThisLibrary();
    thread.reset(CreateThread(nullptr, 0, entry, request.get(), 0, &threadId));
    if (!thread) {
        request.get()->release();
        request.reset();
    }
    return request;
}

// What an Init does about the start-up, in this order: waits for one still running after an
// earlier Init timed out; or starts the service thread with its first start-up (again, after a
// first one failed and ended it); or has the living thread start up again after a clean-up or a
// failed start-up there, queued behind a tear-down it has not got to yet (at once when called from
// a listener method on that thread); or nothing, when it is set up. A new start-up's status is
// reset first; the wait is bounded, and a start-up that outlasts it still finishes later.
struct ServiceThreadStartUp {
    LPTHREAD_START_ROUTINE entry;      // the thread, with its first start-up
    ServiceRequest::Work startUpAgain; // a start-up on the living thread
    void (*resetStatus)();
};
inline void startUpForInit(const ServiceThreadStartUp& startUp, PendingRequest& pending, UniqueHandle& thread,
                           DWORD& threadId, bool serving, bool setUpHeld, DWORD waitMs) {
    if (!pending.done()) {
        pending.waitDone(waitMs);
        return;
    }
    if (serving && setUpHeld) return;
    startUp.resetStatus();
    pending = serving ? requestOnServiceThread(threadId, startUp.startUpAgain)
                      : startServiceThread(startUp.entry, thread, threadId);
    pending.waitDone(waitMs);
}

// Serves the COM calls and events of the thread's apartment and the requests carried to it;
// WM_QUIT does not end it, nothing does.
[[noreturn]] inline void runMessageLoop() {
    for (;;) {
        MSG msg;
        if (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (!msg.hwnd && msg.message == kServiceRequestMessage) {
                auto* request = reinterpret_cast<ServiceRequest*>(msg.lParam);
                request->run();
                request->release();
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

// The end of a successful first start-up: the thread takes requests from now on, lets its Init
// go on, and serves for good.
[[noreturn]] inline void serveFromNowOn(volatile LONG& serving, ServiceRequest* firstStartUp) {
    InterlockedExchange(&serving, 1);
    firstStartUp->signalDone();
    firstStartUp->release();
    runMessageLoop();
}

// A service thread that is starting, or serving after a successful start-up, has not ended; one
// that ended after a failed first start-up may be replaced by a new Init.
inline bool threadAlive(HANDLE thread) {
    return thread && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}
