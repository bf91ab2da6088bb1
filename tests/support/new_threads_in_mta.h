#pragma once
// Puts every thread that starts in this process, while armed, into the multithreaded apartment
// before its own code runs, so that a library's service thread finds CoInitialize refused
// (RPC_E_CHANGED_MODE). A TLS callback of the test program does it on thread attach, and
// leaves the apartment again on that thread's detach: an MTA left behind by an ended thread
// can keep Wine's process exit from finishing.
#include <windows.h>
#include <objbase.h>

namespace new_threads_in_mta {

inline volatile LONG armed = 0;
inline DWORD joinedSlot = TLS_OUT_OF_INDEXES;  // marks the threads this callback put in the MTA

inline void NTAPI onThreadEvent(PVOID, DWORD reason, PVOID) {
    if (joinedSlot == TLS_OUT_OF_INDEXES) return;
    if (reason == DLL_THREAD_ATTACH && armed) {
        if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) TlsSetValue(joinedSlot, &joinedSlot);
    } else if (reason == DLL_THREAD_DETACH && TlsGetValue(joinedSlot)) {
        TlsSetValue(joinedSlot, nullptr);
        CoUninitialize();
    }
}

inline void arm(bool on) {
    if (joinedSlot == TLS_OUT_OF_INDEXES) joinedSlot = TlsAlloc();
    InterlockedExchange(&armed, on ? 1 : 0);
}

} // namespace new_threads_in_mta

// Registers the callback in the program's TLS directory (mingw's tlssup collects .CRT$XL*).
extern "C" __attribute__((section(".CRT$XLY"), used))
const PIMAGE_TLS_CALLBACK new_threads_in_mta_callback = new_threads_in_mta::onThreadEvent;
