#pragma once
// What the tone bridge relies on in the keyboard tone component that the driver installs.
#include <windows.h>
#include <oleauto.h>

// {CA496F42-1037-11D2-83F8-00A0C989653B}
inline constexpr CLSID CLSID_KeyboardToneDevice = {0xCA496F42, 0x1037, 0x11D2, {0x83, 0xF8, 0x00, 0xA0, 0xC9, 0x89, 0x65, 0x3B}};
// {CA496F41-1037-11D2-83F8-00A0C989653B}
inline constexpr IID IID_IToneDevice = {0xCA496F41, 0x1037, 0x11D2, {0x83, 0xF8, 0x00, 0xA0, 0xC9, 0x89, 0x65, 0x3B}};

struct IToneDevice : IUnknown {
    // Slots 3 to 7: present in the component's interface, never called by the bridge.
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
    // Slot 8: only the flag tells whether the tone was played.
    virtual HRESULT STDMETHODCALLTYPE PlayTone(BSTR toneName, LONG mode, VARIANT_BOOL* played) = 0;
    // Slot 9: only the flag tells whether the port was opened.
    virtual HRESULT STDMETHODCALLTYPE OpenPort(LPCWSTR portName, VARIANT_BOOL* opened) = 0;
};
