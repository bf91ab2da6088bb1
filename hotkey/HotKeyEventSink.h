#pragma once
// The library's own COM object on which the keyboard hot-key component raises its events. It
// answers IHotKeyEvents as a bare IDispatch without type information and turns each event into a
// call of one of the two plain callbacks its creator hands it. It knows nothing of Java.
#include <windows.h>
#include <oaidl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

using HotKeyCallback = void (*)(std::int32_t first, std::int32_t second, std::int32_t third);
using StatusCallback = void (*)(std::int32_t status);

class HotKeyEventSink : public IDispatch {
public:
    HotKeyEventSink() noexcept;
    // A failed allocation throws. Defined apart from the class, so that the checked build's can be
    // made to fail.
    static void* operator new(std::size_t size);
    HotKeyEventSink(const HotKeyEventSink&) = delete;
    HotKeyEventSink& operator=(const HotKeyEventSink&) = delete;

    // Called before the sink is handed to anybody, and with nulls on the thread events come on
    // when the sink is cut off; either callback may be null.
    void SetCallbacks(HotKeyCallback hotKey, StatusCallback status) noexcept;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override;
    ULONG STDMETHODCALLTYPE Release() noexcept override;

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) noexcept override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) noexcept override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) noexcept override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) noexcept override;

private:
    // Runs only from the Release that drops the last reference.
    virtual ~HotKeyEventSink();

    HRESULT dispatch(DISPID id, const DISPPARAMS* params) const noexcept;

    // Clean-up releases the module's reference from another thread than the one events come on.
    std::atomic<ULONG> referenceCount_{0};
    HotKeyCallback hotKeyCallback_ = nullptr;
    StatusCallback statusCallback_ = nullptr;
};

// How many sinks are alive in the process.
LONG liveHotKeyEventSinks() noexcept;
