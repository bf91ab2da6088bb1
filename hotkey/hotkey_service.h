#pragma once
// What the hot-key bridge relies on in the keyboard hot-key component that the driver installs:
// its class, the interfaces it answers, their slot order and the events it raises.
#include <windows.h>
#include <oaidl.h>

#include <cstdint>

// {35A4F3B4-B4C9-11D0-B0B8-0020AF1D176A}
inline constexpr CLSID CLSID_KeyboardHotKeyService = {0x35A4F3B4, 0xB4C9, 0x11D0, {0xB0, 0xB8, 0x00, 0x20, 0xAF, 0x1D, 0x17, 0x6A}};
// {35A4F3B3-B4C9-11D0-B0B8-0020AF1D176A}
inline constexpr IID IID_IHotKeyService = {0x35A4F3B3, 0xB4C9, 0x11D0, {0xB0, 0xB8, 0x00, 0x20, 0xAF, 0x1D, 0x17, 0x6A}};
// {E44714C0-D116-11D0-9467-00AA00C0DA66}
inline constexpr IID IID_ISoftKey = {0xE44714C0, 0xD116, 0x11D0, {0x94, 0x67, 0x00, 0xAA, 0x00, 0xC0, 0xDA, 0x66}};
// {B038C3E0-C266-11D0-B0BE-0020AF1D176A}: a dispatch interface, raised through IDispatch::Invoke.
inline constexpr IID IID_IHotKeyEvents = {0xB038C3E0, 0xC266, 0x11D0, {0xB0, 0xBE, 0x00, 0x20, 0xAF, 0x1D, 0x17, 0x6A}};

// Requested at creation and carried between apartments through the hand-off stream.
struct IHotKeyService : IUnknown {
    // Slots 3 to 8: present in the component's interface, never called by the bridge.
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;
    // Slots 9 to 11: the values pass through unchanged; a negative result is a failure.
    virtual HRESULT STDMETHODCALLTYPE RegisterStandard(LONG first, LONG second, LONG third) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterHot(LONG first, LONG second) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterAllHot() = 0;
};

// Held from start-up to clean-up; nothing but Release is ever called on it.
struct ISoftKey : IUnknown {};

// So that ComPtr::As and IID_PPV_ARGS find the identifiers.
__CRT_UUID_DECL(IHotKeyService, 0x35A4F3B3, 0xB4C9, 0x11D0, 0xB0, 0xB8, 0x00, 0x20, 0xAF, 0x1D, 0x17, 0x6A)
__CRT_UUID_DECL(ISoftKey, 0xE44714C0, 0xD116, 0x11D0, 0x94, 0x67, 0x00, 0xAA, 0x00, 0xC0, 0xDA, 0x66)

// The dispatch identifiers of IHotKeyEvents. Only HotKeyHit has a name; the other two are raised
// by number.
enum HotKeyEventId : DISPID {
    kHotKeyHitEvent = 1,         // three 32-bit integers, in rgvarg[2], rgvarg[1], rgvarg[0]
    kKeyboardFailedEvent = 2,
    kKeyboardDetachedEvent = 3,
};
inline constexpr const wchar_t* kHotKeyHitName = L"HotKeyHit";

// The status codes handed to the sink's status callback, the same numbers as the events.
enum KeyboardStatus : std::int32_t {
    kKeyboardFailed = 2,
    kKeyboardDetached = 3,
};
