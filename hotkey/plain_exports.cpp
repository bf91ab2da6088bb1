// The plain exports for native callers: a set-up of their own, apart from the Java one, made,
// called and released on one native caller's thread, with no service thread and no events.
#include <utility>

#include <wrl/client.h>

#include "chordgate_exports.h"
#include "hotkey_service.h"
#include "win_resources.h"

using Microsoft::WRL::ComPtr;

namespace {

// What the plain calls return when ChordGate_Init has made nothing: 1, a value that a caller
// cannot tell from the component's S_FALSE.
constexpr HRESULT kPlainNotSetUp = 1;

// The component ChordGate_Init made and the thread that made it; touched on that thread only.
struct PlainSetUp {
    ComPtr<IHotKeyService> hotKey;
    ComPtr<ISoftKey> softKey;
    DWORD ownerThreadId = 0;
};
NeverDestroyed<PlainSetUp> plain;

// Another thread's call would reach the component through its own pointer from the wrong
// apartment: it is refused.
bool onAnotherThreadThanTheOwner() {
    return plain.value.hotKey && GetCurrentThreadId() != plain.value.ownerThreadId;
}

// The component's answer to call: kPlainNotSetUp when there is none, RPC_E_WRONG_THREAD on any
// thread but the one that made it.
template <class ComponentCall>
HRESULT callPlain(ComponentCall call) {
    if (!plain.value.hotKey) return kPlainNotSetUp;
    if (onAnotherThreadThanTheOwner()) return RPC_E_WRONG_THREAD;
    return call(plain.value.hotKey.Get());
}

} // namespace

extern "C" {

HRESULT __cdecl ChordGate_Init(void) {
    if (onAnotherThreadThanTheOwner()) return RPC_E_WRONG_THREAD;

    // Balanced by ChordGate_Cleanup on the same thread.
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) return init;

    ComPtr<IHotKeyService> hotKey;
    const HRESULT hr = CoCreateInstance(CLSID_KeyboardHotKeyService, nullptr, CLSCTX_INPROC_SERVER, IID_IHotKeyService,
                                        reinterpret_cast<void**>(hotKey.GetAddressOf()));
    if (hr != S_OK) return hr;
    plain.value.softKey.Reset();
    plain.value.hotKey = std::move(hotKey);
    plain.value.ownerThreadId = GetCurrentThreadId();
    return plain.value.hotKey->QueryInterface(IID_ISoftKey, reinterpret_cast<void**>(plain.value.softKey.GetAddressOf()));
}

// Releases only what ChordGate_Init made, on the thread that made it.
void __cdecl ChordGate_Cleanup(void) {
    if (onAnotherThreadThanTheOwner()) return;
    plain.value.softKey.Reset();
    plain.value.hotKey.Reset();
    CoUninitialize();
}

HRESULT __cdecl ChordGate_RegisterStandard(LONG first, LONG second, LONG third) {
    return callPlain([&](IHotKeyService* hotKey) { return hotKey->RegisterStandard(first, second, third); });
}

HRESULT __cdecl ChordGate_UnregisterHot(LONG first, LONG second) {
    return callPlain([&](IHotKeyService* hotKey) { return hotKey->UnregisterHot(first, second); });
}

HRESULT __cdecl ChordGate_UnregisterAllHot(void) {
    return callPlain([](IHotKeyService* hotKey) { return hotKey->UnregisterAllHot(); });
}

} // extern "C"
