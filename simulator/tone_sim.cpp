// The simulated keyboard tone component: an apartment-threaded in-process server whose
// behaviour a test scripts and whose every call it records.
#include "tone_sim_control.h"

#include "sim_component.h"
#include "tone_sim.h"

#include <cwchar>

namespace {

// Unmarshals the copies that script.remarshalResult makes refuse a second marshalling.
// {16118619-781E-4E1E-AAFC-7BAA4B31E307}
const CLSID kUnmarshalClass = {0x16118619, 0x781e, 0x4e1e, {0xaa, 0xfc, 0x7b, 0xaa, 0x4b, 0x31, 0xe3, 0x07}};

using ToneState = simserver::ComponentState<ToneSimScript, ToneSimCall, ToneSimCounts>;
ToneState g_state;

void record(ToneSimMethod method, uint32_t objectId, const wchar_t* text, int32_t value, HRESULT result)
{
    ToneSimCall call{};
    call.textLength = -1;
    if (text) {
        // The port name is a plain wide string, not a BSTR: only its terminator bounds it.
        const size_t length = wcslen(text);
        call.textLength = static_cast<int32_t>(length);
        wcsncpy(call.text, text, ToneSimMaxText - 1);
    }
    call.value = value;
    g_state.record(call, method, objectId, result);
}

void recordCreation(uint32_t objectId, HRESULT result)
{
    record(ToneSimCreate, objectId, nullptr, 0, result);
}

// The scripted failure of a marshalling, recorded.
HRESULT refusedMarshal(HRESULT ToneSimScript::*field, uint32_t objectId)
{
    const HRESULT result = g_state.marshalFailure(field);
    record(ToneSimMarshal, objectId, nullptr, 0, result);
    return result;
}

class ToneDevice final : public simserver::RefCounted<ToneDevice, IToneDevice> {
public:
    ToneDevice() : id_(g_state.countCreated()), thread_(GetCurrentThreadId()) {}
    ToneDevice(const ToneDevice&) = delete;
    ToneDevice& operator=(const ToneDevice&) = delete;

    uint32_t id() const { return id_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        g_state.checkThread(thread_);
        if (!object)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IToneDevice)) {
            *object = static_cast<IToneDevice*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        if (IsEqualIID(iid, IID_IMarshal))
            return simserver::queryScriptedMarshal(g_state.script(), marshal_, static_cast<IToneDevice*>(this), id_,
                                                   kUnmarshalClass, object);
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE PlayTone(BSTR tone, LONG mode, VARIANT_BOOL* played) override
    {
        g_state.checkThread(thread_);
        const ToneSimScript script = g_state.script();
        HRESULT result = script.playToneResult;
        if (!played)
            result = E_POINTER;
        else if (!script.playToneLeavesFlag)
            *played = script.playToneFlag;
        record(ToneSimPlayTone, id_, tone, mode, result);
        return result;
    }

    HRESULT STDMETHODCALLTYPE OpenPort(BSTR port, VARIANT_BOOL* opened) override
    {
        g_state.checkThread(thread_);
        const ToneSimScript script = g_state.script();
        HRESULT result = script.openPortResult;
        if (!opened)
            result = E_POINTER;
        else
            *opened = script.openPortFlag;
        record(ToneSimOpenPort, id_, port, 0, result);
        return result;
    }

    // Every method of the IMarshal offered under script.marshalResult.
    HRESULT refuseMarshal() const { return refusedMarshal(&ToneSimScript::marshalResult, id_); }

private:
    friend RefCounted;

    ~ToneDevice()
    {
        record(ToneSimDestroy, id_, nullptr, 0, S_OK);
        g_state.count(-1, 0);
    }

    void countReference(int32_t change)
    {
        g_state.checkThread(thread_);
        g_state.count(0, change);
    }

    const uint32_t id_;
    const DWORD thread_;
    simserver::FailingMarshal<ToneDevice> marshal_{*this};
};

// What a copy marshalled under script.remarshalResult unmarshals into (sim_component.h).
class RemarshalRefusingDevice final : public simserver::RemarshalRefusingCopy<RemarshalRefusingDevice, IToneDevice> {
public:
    using RemarshalRefusingCopy::RemarshalRefusingCopy;

    static void countCopy(int32_t objects, int32_t references) { g_state.count(objects, references); }
    static HRESULT refuseRemarshal(uint32_t objectId)
    {
        return refusedMarshal(&ToneSimScript::remarshalResult, objectId);
    }

    HRESULT STDMETHODCALLTYPE Reserved3() override { return proxy_->Reserved3(); }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return proxy_->Reserved4(); }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return proxy_->Reserved5(); }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return proxy_->Reserved6(); }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return proxy_->Reserved7(); }
    HRESULT STDMETHODCALLTYPE PlayTone(BSTR tone, LONG mode, VARIANT_BOOL* played) override
    {
        return proxy_->PlayTone(tone, mode, played);
    }
    HRESULT STDMETHODCALLTYPE OpenPort(BSTR port, VARIANT_BOOL* opened) override
    {
        return proxy_->OpenPort(port, opened);
    }
};

simserver::ScriptedClassFactory<ToneDevice, ToneState> g_factory(g_state, &recordCreation);
simserver::UnmarshalClassFactory g_unmarshalFactory(IID_IToneDevice, &RemarshalRefusingDevice::wrap);

} // namespace

const simserver::ComponentServer& simserver::componentServer()
{
    static const ComponentServer server{CLSID_KeyboardToneSim, L"Simulated keyboard tone component", g_factory,
                                        kUnmarshalClass, g_unmarshalFactory};
    return server;
}

extern "C" {

void ToneSim_Reset(void) { g_state.reset(); }
void ToneSim_SetScript(const ToneSimScript* script) { g_state.setScript(script); }
int32_t ToneSim_GetCalls(ToneSimCall* calls, int32_t capacity) { return g_state.copyCalls(calls, capacity); }
void ToneSim_GetCounts(ToneSimCounts* counts) { g_state.copyCounts(counts); }

} // extern "C"
