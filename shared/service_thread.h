#pragma once
// Pieces both libraries' service threads and their Init share.
#include <windows.h>

// Serves the COM calls and events of the thread's apartment; WM_QUIT does not end it, nothing does.
[[noreturn]] inline void runMessageLoop() {
    for (;;) {
        MSG msg;
        if (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

// A service thread that is starting, or serving after a successful start-up, has not ended; one
// that ended after a failed start-up may be replaced by a new Init.
inline bool threadAlive(HANDLE thread) {
    return thread && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

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
