#pragma once
// Small pieces the scenario tests of both libraries share.
#include <gtest/gtest.h>
#include <windows.h>

#include "time_scale.h"
#include "win_resources.h"

// A script with the defaults but for what edit changes, for table rows.
template <class Script>
Script script(void (*edit)(Script&)) {
    Script s;
    edit(s);
    return s;
}
template <class Edit>
auto script(Edit edit) {
    return script(+edit);  // a captureless lambda, as its function pointer
}

// A failed start-up ends the service thread; wait for it, to see what it left behind.
inline void waitForThreadEnd(DWORD threadId) {
    UniqueHandle thread(OpenThread(SYNCHRONIZE, FALSE, threadId));
    if (thread) {
        ASSERT_EQ(WaitForSingleObject(thread.get(), hangLimitMs(5000)), WAIT_OBJECT_0);
    }
}

// Releases a concurrency test's threads together, so that their calls overlap from the first
// one on instead of as each thread happens to get going.
class StartBarrier {
public:
    explicit StartBarrier(int threads) : waiting_(threads), open_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

    void arriveAndWait() {
        if (InterlockedDecrement(&waiting_) == 0)
            SetEvent(open_.get());
        else
            WaitForSingleObject(open_.get(), hangLimitMs(30000));  // a thread that never arrives fails the counts
    }

private:
    volatile LONG waiting_;
    UniqueHandle open_;
};

// How many times the calling thread was in its single-threaded apartment: leaves it that often.
// Asks for the apartment's type rather than trying the multithreaded one, which would start it.
inline int leaveApartment() {
    const auto inSingleThreadedApartment = [] {
        APTTYPE type;
        APTTYPEQUALIFIER qualifier;
        return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && (type == APTTYPE_STA || type == APTTYPE_MAINSTA);
    };
    int entries = 0;
    for (; entries < 16 && inSingleThreadedApartment(); ++entries) CoUninitialize();
    return entries;
}
