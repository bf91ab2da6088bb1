// Linked into the checked build only: lets the tests raise the forwards on threads of their own,
// as the service thread does for the sink. The shipped DLL exports exactly ChordGate.exports.
#include <cstdint>

#include "listener_dispatch.h"

extern "C" __declspec(dllexport) void __cdecl ChordGateChecked_ForwardHotKeyHit(std::int32_t first,
                                                                                std::int32_t second,
                                                                                std::int32_t third) {
    ForwardHotKeyHit(first, second, third);
}

extern "C" __declspec(dllexport) void __cdecl ChordGateChecked_ForwardKeyboardStatus(std::int32_t status) {
    ForwardKeyboardStatus(status);
}
