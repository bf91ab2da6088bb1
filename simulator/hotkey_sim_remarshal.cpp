// Copies that cannot be marshalled again (script.remarshalResult). The object then marshals
// itself by this DLL's unmarshal class (simserver::queryStandardDataMarshal), and what that class
// unmarshals in the caller's apartment is a stand-in that forwards every call through the
// standard proxy inside and refuses any further marshalling with the scripted HRESULT.
#include "hotkey_sim_internal.h"

#include "hotkey_sim.h"
#include "sim_component.h"

namespace hotkeysim {

// {21E73226-7418-469A-AC71-2FE2024C1CBB}
const CLSID CLSID_HotKeySimUnmarshal = {0x21e73226, 0x7418, 0x469a, {0xac, 0x71, 0x2f, 0xe2, 0x02, 0x4c, 0x1c, 0xbb}};

namespace {

class RemarshalRefusingService final
    : public simserver::RemarshalRefusingCopy<RemarshalRefusingService, IHotKeyService> {
public:
    using RemarshalRefusingCopy::RemarshalRefusingCopy;

    static void countCopy(int32_t objects, int32_t references) { hotkeysim::countCopy(objects, references); }
    static HRESULT refuseRemarshal(uint32_t objectId)
    {
        return refusedMarshal(&HotKeySimScript::remarshalResult, objectId);
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
};

simserver::UnmarshalClassFactory g_unmarshalFactory(IID_IHotKeyService, &RemarshalRefusingService::wrap);

} // namespace

IClassFactory& unmarshalClassFactory()
{
    return g_unmarshalFactory;
}

} // namespace hotkeysim
