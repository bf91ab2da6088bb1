// Self-registration and scripted marshalling faults shared by the simulated components' DLLs.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>

namespace simserver {

// Writes HKCR\CLSID\<clsid> with its apartment-threaded InprocServer32 (this module's path)
// and registers the type library embedded in the module.
HRESULT registerServer(HMODULE module, const wchar_t* clsid, const wchar_t* description);

// Removes what registerServer wrote. Parts already gone count as removed.
HRESULT unregisterServer(HMODULE module, const wchar_t* clsid);

// The unmarshal class of queryStandardDataMarshal, threading model "Both": COM makes it in
// whichever apartment unmarshals, multithreaded ones included.
HRESULT registerUnmarshalClass(HMODULE module, const CLSID& clsid, const wchar_t* description);
HRESULT unregisterUnmarshalClass(const CLSID& clsid);

// An object's IMarshal face whose every method fails with owner.refuseMarshal(), which also
// records the failure. COM asks an object for IMarshal before it falls back to the standard
// marshaller, so offering this face makes every marshalling of the object fail.
template <typename Owner>
class FailingMarshal final : public IMarshal {
public:
    explicit FailingMarshal(Owner& owner) : owner_(owner) {}
    FailingMarshal(const FailingMarshal&) = delete;
    FailingMarshal& operator=(const FailingMarshal&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        return owner_.QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }

    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID* clsid) override
    {
        if (clsid)
            *clsid = CLSID_NULL;
        return owner_.refuseMarshal();
    }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD* size) override
    {
        if (size)
            *size = 0;
        return owner_.refuseMarshal();
    }
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*, DWORD) override
    {
        return owner_.refuseMarshal();
    }
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void** object) override
    {
        if (object)
            *object = nullptr;
        return owner_.refuseMarshal();
    }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream*) override { return owner_.refuseMarshal(); }
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return owner_.refuseMarshal(); }

private:
    Owner& owner_;
};

// The IMarshal (a new tear-off holding a reference on the object) with which an object marshals
// itself by the class unmarshalClass: the data is the object's id followed by the object's
// standard marshalling, so what that class unmarshals talks to the object through a real
// standard proxy.
HRESULT queryStandardDataMarshal(IUnknown* object, uint32_t objectId, const CLSID& unmarshalClass,
                                 void** marshal);

// Wraps a standard proxy of the component's interface, unmarshalled from the data above, in the
// DLL's own object and answers iid on that.
using WrapProxy = HRESULT (*)(IUnknown* proxy, uint32_t objectId, REFIID iid, void** object);

// The class object of that unmarshal class. One static instance per DLL; its references are not
// counted, it lives as long as the module.
class UnmarshalClassFactory final : public IClassFactory {
public:
    UnmarshalClassFactory(const IID& componentIid, WrapProxy wrap) : componentIid_(componentIid), wrap_(wrap) {}
    UnmarshalClassFactory(const UnmarshalClassFactory&) = delete;
    UnmarshalClassFactory& operator=(const UnmarshalClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    const IID& componentIid_;
    const WrapProxy wrap_;
};

} // namespace simserver
