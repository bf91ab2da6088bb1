#pragma once
// Puts every thread that starts in this process, while armed, into the multithreaded apartment
// before its own code runs, so that a library's service thread finds CoInitialize refused
// (RPC_E_CHANGED_MODE). A TLS callback of the test program does it on thread attach.
#include <windows.h>
#include <objbase.h>

namespace new_threads_in_mta {

inline volatile LONG armed = 0;

inline void NTAPI onThreadEvent(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_ATTACH && armed) CoInitializeEx(nullptr, COINIT_MULTITHREADED);
}

inline void arm(bool on) { InterlockedExchange(&armed, on ? 1 : 0); }

} // namespace new_threads_in_mta

// Registers the callback in the program's TLS directory (mingw's tlssup collects .CRT$XL*).
extern "C" __attribute__((section(".CRT$XLY"), used))
const PIMAGE_TLS_CALLBACK new_threads_in_mta_callback = new_threads_in_mta::onThreadEvent;
