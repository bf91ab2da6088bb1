// The COM plumbing shared by the simulated components' DLLs: the entry points and registration,
// reference counting, class objects and the marshalling by which copies refuse a second one.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>

namespace simserver {

// This DLL, as DllMain (sim_server.cpp) was given it.
HMODULE module();

// The reference count of a heap object behind Interface; the last Release deletes it. Object is
// the most derived class: it befriends this base when its destructor is private, and may define
// countReference(int32_t change) to follow each AddRef (+1) and Release (-1) in its counts.
template <typename Object, typename Interface>
class RefCounted : public Interface {
public:
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        static_cast<Object*>(this)->countReference(+1);
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        static_cast<Object*>(this)->countReference(-1);
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete static_cast<Object*>(this);
        return static_cast<ULONG>(left);
    }

protected:
    RefCounted() = default;
    ~RefCounted() = default;
    void countReference(int32_t) {}

private:
    LONG refs_ = 1;
};

// A class object that lives as long as the module: one static instance, its references not counted.
class StaticClassFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

// The two classes a component's DLL serves: the component's own, apartment-threaded, and the
// unmarshal class of its copies that refuse a second marshalling (queryStandardDataMarshal).
struct ComponentServer {
    const CLSID& componentClass;
    const wchar_t* description;
    IClassFactory& factory;
    const CLSID& unmarshalClass;
    IClassFactory& unmarshalFactory;
};

// What this DLL serves, defined by each component's DLL. The COM entry points (sim_server.cpp)
// answer for it: DllGetClassObject, DllRegisterServer with both classes in HKCR\CLSID (this
// module their InprocServer32) and the type library embedded in the module, DllUnregisterServer
// removing all that (parts already gone count as removed), and DllCanUnloadNow.
const ComponentServer& componentServer();

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

// The class object of that unmarshal class.
class UnmarshalClassFactory final : public StaticClassFactory {
public:
    UnmarshalClassFactory(const IID& componentIid, WrapProxy wrap) : componentIid_(componentIid), wrap_(wrap) {}
    UnmarshalClassFactory(const UnmarshalClassFactory&) = delete;
    UnmarshalClassFactory& operator=(const UnmarshalClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;

private:
    const IID& componentIid_;
    const WrapProxy wrap_;
};

} // namespace simserver
