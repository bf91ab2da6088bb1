#pragma once
// Small pieces the scenario tests of both libraries share.
#include <gtest/gtest.h>
#include <windows.h>

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
        ASSERT_EQ(WaitForSingleObject(thread.get(), 5000), WAIT_OBJECT_0);
    }
}
