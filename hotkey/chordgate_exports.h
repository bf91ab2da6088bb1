#pragma once
// The plain exports for native callers, besides ChordGate_RegisterNativeCallback: set-up on the
// caller's own thread, the three registration calls through pHotKey, and clean-up. They log
// nothing and return the component's HRESULT (or nothing).
#include <windows.h>

extern "C" {
HRESULT __cdecl ChordGate_Init(void);
void __cdecl ChordGate_Cleanup(void);
// 1 when the library is not set up: no component to call.
HRESULT __cdecl ChordGate_RegisterStandard(LONG first, LONG second, LONG third);
HRESULT __cdecl ChordGate_UnregisterHot(LONG first, LONG second);
HRESULT __cdecl ChordGate_UnregisterAllHot(void);
}
