// The entry points, self-registration, and the marshalling by which a component's copies refuse
// a second one.
#include "sim_server.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <new>
#include <string>

using Microsoft::WRL::ComPtr;

namespace simserver {
namespace {

HMODULE g_module;

class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey()
    {
        if (key_)
            RegCloseKey(key_);
    }
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

LSTATUS setString(HKEY key, const wchar_t* name, const std::wstring& value)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring modulePath(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring classKey(const CLSID& clsid)
{
    wchar_t text[40] = {};
    if (!StringFromGUID2(clsid, text, ARRAYSIZE(text)))
        return {};
    return std::wstring(L"CLSID\\") + text;
}

HRESULT registerClass(const std::wstring& path, const CLSID& clsid, const std::wstring& description,
                      const wchar_t* threadingModel)
{
    const std::wstring key = classKey(clsid);
    if (key.empty())
        return E_INVALIDARG;
    RegistryKey classEntry;
    LSTATUS status =
        RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, classEntry.put(), nullptr);
    if (status == ERROR_SUCCESS)
        status = setString(classEntry.get(), nullptr, description);
    if (status != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(status);

    RegistryKey server;
    status = RegCreateKeyExW(classEntry.get(), L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, server.put(),
                             nullptr);
    if (status == ERROR_SUCCESS)
        status = setString(server.get(), nullptr, path);
    if (status == ERROR_SUCCESS)
        status = setString(server.get(), L"ThreadingModel", threadingModel);
    return HRESULT_FROM_WIN32(status);
}

HRESULT unregisterClass(const CLSID& clsid)
{
    const std::wstring key = classKey(clsid);
    if (key.empty())
        return E_INVALIDARG;
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT unregisterTypeLibrary(const std::wstring& path)
{
    ComPtr<ITypeLib> typeLibrary;
    if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &typeLibrary)))
        return S_OK;
    TLIBATTR* attributes = nullptr;
    if (FAILED(typeLibrary->GetLibAttr(&attributes)))
        return S_OK;
    HRESULT result = S_OK;
    BSTR registeredPath = nullptr;
    if (SUCCEEDED(QueryPathOfRegTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                        attributes->lcid, &registeredPath))) {
        SysFreeString(registeredPath);
        result = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                   attributes->lcid, attributes->syskind);
    }
    typeLibrary->ReleaseTLibAttr(attributes);
    return result;
}

HRESULT readObjectId(IStream* stream, uint32_t& objectId)
{
    ULONG read = 0;
    const HRESULT result = stream->Read(&objectId, sizeof(objectId), &read);
    if (FAILED(result))
        return result;
    return read == sizeof(objectId) ? S_OK : STG_E_READFAULT;
}

// Skips the id and releases the standard marshalling behind it, with the references it holds.
HRESULT releaseStandardData(IStream* stream)
{
    if (!stream)
        return E_POINTER;
    uint32_t objectId = 0;
    const HRESULT result = readObjectId(stream, objectId);
    return FAILED(result) ? result : CoReleaseMarshalData(stream);
}

// The object's identity without its IMarshal, for CoDisconnectObject to find the object's stubs
// by. Lives on the caller's stack: COM keeps no reference to it.
class IdentityOnly final : public IUnknown {
public:
    explicit IdentityOnly(IUnknown* object) : object_(object) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        return IsEqualIID(iid, IID_IUnknown) ? object_->QueryInterface(iid, object) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

private:
    IUnknown* const object_;
};

class StandardDataMarshal final : public RefCounted<StandardDataMarshal, IMarshal> {
public:
    StandardDataMarshal(IUnknown* object, uint32_t objectId, const CLSID& unmarshalClass)
        : object_(object), objectId_(objectId), unmarshalClass_(unmarshalClass)
    {
    }
    StandardDataMarshal(const StandardDataMarshal&) = delete;
    StandardDataMarshal& operator=(const StandardDataMarshal&) = delete;

    // The object's other faces: a tear-off that keeps the object's identity.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IMarshal)) {
            AddRef();
            *object = static_cast<IMarshal*>(this);
            return S_OK;
        }
        return object_->QueryInterface(iid, object);
    }

    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID* clsid) override
    {
        if (!clsid)
            return E_POINTER;
        *clsid = unmarshalClass_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID iid, void* pv, DWORD context, void* contextData,
                                                DWORD flags, DWORD* size) override
    {
        if (!size)
            return E_POINTER;
        ComPtr<IMarshal> standard;
        HRESULT result = CoGetStandardMarshal(iid, object_.Get(), context, contextData, flags, &standard);
        if (SUCCEEDED(result))
            result = standard->GetMarshalSizeMax(iid, pv, context, contextData, flags, size);
        if (SUCCEEDED(result))
            *size += sizeof(objectId_);
        return result;
    }
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID iid, void* pv, DWORD context,
                                               void* contextData, DWORD flags) override
    {
        if (!stream)
            return E_POINTER;
        ComPtr<IMarshal> standard;
        HRESULT result = CoGetStandardMarshal(iid, object_.Get(), context, contextData, flags, &standard);
        if (SUCCEEDED(result))
            result = stream->Write(&objectId_, sizeof(objectId_), nullptr);
        if (SUCCEEDED(result))
            result = standard->MarshalInterface(stream, iid, pv, context, contextData, flags);
        return result;
    }
    // COM unmarshals and releases the data through the unmarshal class, not through the object.
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream*, REFIID, void** object) override
    {
        if (object)
            *object = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override { return releaseStandardData(stream); }
    // CoDisconnectObject comes here once the object has an IMarshal. The stubs are the standard
    // marshaller's, but Wine's standard IMarshal cannot disconnect them (its DisconnectObject
    // does nothing), so COM is asked again without this IMarshal in the way.
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override
    {
        IdentityOnly identity(object_.Get());
        return CoDisconnectObject(&identity, reserved);
    }

private:
    friend RefCounted;
    ~StandardDataMarshal() = default;

    const ComPtr<IUnknown> object_;
    const uint32_t objectId_;
    const CLSID unmarshalClass_;
};

// What the unmarshal class makes in the unmarshalling apartment, once per unmarshalling.
class Unmarshaller final : public RefCounted<Unmarshaller, IMarshal> {
public:
    Unmarshaller(const IID& componentIid, WrapProxy wrap) : componentIid_(componentIid), wrap_(wrap) {}
    Unmarshaller(const Unmarshaller&) = delete;
    Unmarshaller& operator=(const Unmarshaller&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMarshal)) {
            AddRef();
            *object = static_cast<IMarshal*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    // Only the unmarshalling side of IMarshal is asked of an unmarshal class.
    HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE MarshalInterface(IStream*, REFIID, void*, DWORD, void*, DWORD) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (!stream)
            return E_POINTER;
        uint32_t objectId = 0;
        HRESULT result = readObjectId(stream, objectId);
        ComPtr<IUnknown> proxy;
        if (SUCCEEDED(result))
            result = CoUnmarshalInterface(stream, componentIid_, reinterpret_cast<void**>(proxy.GetAddressOf()));
        if (SUCCEEDED(result))
            result = wrap_(proxy.Get(), objectId, iid, object);
        return result;
    }
    HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override { return releaseStandardData(stream); }
    HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD) override { return S_OK; }

private:
    friend RefCounted;
    ~Unmarshaller() = default;

    const IID& componentIid_;
    const WrapProxy wrap_;
};

} // namespace

HMODULE module()
{
    return g_module;
}

HRESULT queryStandardDataMarshal(IUnknown* object, uint32_t objectId, const CLSID& unmarshalClass,
                                 void** marshal)
{
    *marshal = new (std::nothrow) StandardDataMarshal(object, objectId, unmarshalClass);
    return *marshal ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE StaticClassFactory::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE UnmarshalClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    Unmarshaller* unmarshaller = new (std::nothrow) Unmarshaller(componentIid_, wrap_);
    if (!unmarshaller)
        return E_OUTOFMEMORY;
    const HRESULT result = unmarshaller->QueryInterface(iid, object);
    unmarshaller->Release();
    return result;
}

} // namespace simserver

using namespace simserver;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    const ComponentServer& server = componentServer();
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (IsEqualCLSID(clsid, server.componentClass))
        return server.factory.QueryInterface(iid, object);
    if (IsEqualCLSID(clsid, server.unmarshalClass))
        return server.unmarshalFactory.QueryInterface(iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT STDAPICALLTYPE DllRegisterServer()
{
    const ComponentServer& server = componentServer();
    const std::wstring path = modulePath(g_module);
    if (path.empty())
        return HRESULT_FROM_WIN32(GetLastError());
    HRESULT result = registerClass(path, server.componentClass, server.description, L"Apartment");
    if (FAILED(result))
        return result;

    // Registering the type library is what lets COM marshal the custom interfaces.
    ComPtr<ITypeLib> typeLibrary;
    result = LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &typeLibrary);
    if (FAILED(result))
        return result;

    // Threading model "Both": COM makes the unmarshal class in whichever apartment unmarshals,
    // multithreaded ones included.
    return registerClass(path, server.unmarshalClass, std::wstring(server.description) + L", refusing copy", L"Both");
}

HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    const ComponentServer& server = componentServer();
    const HRESULT typeLibrary = unregisterTypeLibrary(modulePath(g_module));
    const HRESULT component = unregisterClass(server.componentClass);
    const HRESULT copies = unregisterClass(server.unmarshalClass);
    if (FAILED(component))
        return component;
    return FAILED(typeLibrary) ? typeLibrary : copies;
}

// Tests load the module themselves and hold its state, and the hot-key component's windows use
// its window procedure, so it never unloads.
HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE;
}

} // extern "C"
