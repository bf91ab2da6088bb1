#include "HotKeyEventSink.h"

#include "hotkey_service.h"

namespace {

// Only the ASCII letters fold: the name is matched the same way whatever the caller's locale.
wchar_t foldAsciiLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c;
}

bool sameNameIgnoringAsciiCase(const wchar_t* name, const wchar_t* expected) {
    for (;; ++name, ++expected) {
        if (foldAsciiLetter(*name) != foldAsciiLetter(*expected)) return false;
        if (*name == L'\0') return true;
    }
}

// Sinks alive now; the checked build exports it, so tests see every clean-up release its sink.
std::atomic<LONG> liveSinks{0};

}  // namespace

LONG liveHotKeyEventSinks() noexcept { return liveSinks; }

HotKeyEventSink::HotKeyEventSink() noexcept { ++liveSinks; }

HotKeyEventSink::~HotKeyEventSink() {
    hotKeyCallback_ = nullptr;
    statusCallback_ = nullptr;
    --liveSinks;
}

void HotKeyEventSink::SetCallbacks(HotKeyCallback hotKey, StatusCallback status) noexcept {
    hotKeyCallback_ = hotKey;
    statusCallback_ = status;
}

HRESULT STDMETHODCALLTYPE HotKeyEventSink::QueryInterface(REFIID iid, void** out) noexcept {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IHotKeyEvents) {
        *out = this;
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE HotKeyEventSink::AddRef() noexcept { return ++referenceCount_; }

ULONG STDMETHODCALLTYPE HotKeyEventSink::Release() noexcept {
    const ULONG count = --referenceCount_;
    if (count == 0) delete this;
    return count;
}

HRESULT STDMETHODCALLTYPE HotKeyEventSink::GetTypeInfoCount(UINT* count) noexcept {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HotKeyEventSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) noexcept {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE HotKeyEventSink::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                                         DISPID* ids) noexcept {
    // Exactly one name can be resolved; with none there is nothing to read or to answer.
    if (count != 1) return E_INVALIDARG;
    if (!names || !ids) return E_POINTER;
    if (!names[0] || !sameNameIgnoringAsciiCase(names[0], kHotKeyHitName)) return DISP_E_UNKNOWNNAME;
    ids[0] = kHotKeyHitEvent;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE HotKeyEventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                                  EXCEPINFO*, UINT*) noexcept {
    // A listener method may clean up from within the callback, which lets go of this sink's
    // last references; the sink lives until the call has returned.
    AddRef();
    const HRESULT result = dispatch(id, params);
    Release();
    return result;
}

HRESULT HotKeyEventSink::dispatch(DISPID id, const DISPPARAMS* params) const noexcept {
    switch (id) {
    case kHotKeyHitEvent: {
        // The values are read without looking at their type tags, but never beyond the
        // arguments that came: a hit with fewer than three is refused, not guessed at.
        if (!params || !params->rgvarg || params->cArgs < 3) return DISP_E_BADPARAMCOUNT;
        const VARIANT* args = params->rgvarg;  // last argument first
        if (hotKeyCallback_) hotKeyCallback_(args[2].lVal, args[1].lVal, args[0].lVal);
        return S_OK;
    }
    case kKeyboardFailedEvent:
        if (statusCallback_) statusCallback_(kKeyboardFailed);
        return S_OK;
    case kKeyboardDetachedEvent:
        if (statusCallback_) statusCallback_(kKeyboardDetached);
        return S_OK;
    default:
        return DISP_E_UNKNOWNINTERFACE;
    }
}
