// Linked into the checked build only: lets the tests raise the forwards on threads of their own,
// as the service thread does for the sink, and count the sinks alive. The shipped DLL exports
// exactly ChordGate.exports.
#include <cstdint>

#include "HotKeyEventSink.h"
#include "listener_dispatch.h"

extern "C" __declspec(dllexport) void __cdecl ChordGateChecked_ForwardHotKeyHit(std::int32_t first,
                                                                                std::int32_t second,
                                                                                std::int32_t third) {
    ForwardHotKeyHit(first, second, third);
}

extern "C" __declspec(dllexport) void __cdecl ChordGateChecked_ForwardKeyboardStatus(std::int32_t status) {
    ForwardKeyboardStatus(status);
}

// So that a test sees every clean-up release the sink it advised.
extern "C" __declspec(dllexport) LONG __cdecl ChordGateChecked_LiveEventSinks() {
    return liveHotKeyEventSinks();
}
