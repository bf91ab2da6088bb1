// Copies that cannot be marshalled again (script.remarshalResult). The object then marshals
// itself by this DLL's unmarshal class (simserver::queryStandardDataMarshal), and what that class
// unmarshals in the caller's apartment is a stand-in that forwards every call through the
// standard proxy inside and refuses any further marshalling with the scripted HRESULT.
#include "hotkey_sim_internal.h"

#include "hotkey_sim.h"
#include "sim_server.h"

#include <new>
#include <utility>

using Microsoft::WRL::ComPtr;

namespace hotkeysim {

// {21E73226-7418-469A-AC71-2FE2024C1CBB}
const CLSID CLSID_HotKeySimUnmarshal = {0x21e73226, 0x7418, 0x469a, {0xac, 0x71, 0x2f, 0xe2, 0x02, 0x4c, 0x1c, 0xbb}};

namespace {

// Counted as a live object with its references, so tests see it released; its destruction is
// not recorded, it is not a component. Other interfaces than the service's are not forwarded:
// the copy keeps a COM identity of its own.
class RemarshalRefusingService final : public IHotKeyService {
public:
    RemarshalRefusingService(ComPtr<IHotKeyService> proxy, uint32_t objectId)
        : proxy_(std::move(proxy)), id_(objectId)
    {
        countCopy(+1, +1);
    }
    RemarshalRefusingService(const RemarshalRefusingService&) = delete;
    RemarshalRefusingService& operator=(const RemarshalRefusingService&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IHotKeyService))
            *object = static_cast<IHotKeyService*>(this);
        else if (IsEqualIID(iid, IID_IMarshal))
            *object = &marshal_;
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        countCopy(0, +1);
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        countCopy(0, -1);
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE Reserved3() override { return proxy_->Reserved3(); }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return proxy_->Reserved4(); }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return proxy_->Reserved5(); }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return proxy_->Reserved6(); }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return proxy_->Reserved7(); }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return proxy_->Reserved8(); }
    HRESULT STDMETHODCALLTYPE RegisterStandard(LONG first, LONG second, LONG third) override
    {
        return proxy_->RegisterStandard(first, second, third);
    }
    HRESULT STDMETHODCALLTYPE UnregisterHot(LONG first, LONG second) override
    {
        return proxy_->UnregisterHot(first, second);
    }
    HRESULT STDMETHODCALLTYPE UnregisterAllHot() override { return proxy_->UnregisterAllHot(); }

    HRESULT refuseMarshal() const { return refusedMarshal(&HotKeySimScript::remarshalResult, id_); }

private:
    ~RemarshalRefusingService() { countCopy(-1, 0); }

    LONG refs_ = 1;
    const ComPtr<IHotKeyService> proxy_;
    const uint32_t id_;
    simserver::FailingMarshal<RemarshalRefusingService> marshal_{*this};
};

HRESULT wrapProxy(IUnknown* proxy, uint32_t objectId, REFIID iid, void** object)
{
    ComPtr<IHotKeyService> service;
    HRESULT result = proxy->QueryInterface(IID_PPV_ARGS(&service));
    if (FAILED(result))
        return result;
    RemarshalRefusingService* copy = new (std::nothrow) RemarshalRefusingService(std::move(service), objectId);
    if (!copy)
        return E_OUTOFMEMORY;
    result = copy->QueryInterface(iid, object);
    copy->Release();
    return result;
}

simserver::UnmarshalClassFactory g_unmarshalFactory(IID_IHotKeyService, &wrapProxy);

} // namespace

IClassFactory& unmarshalClassFactory()
{
    return g_unmarshalFactory;
}

} // namespace hotkeysim
