// The simulated keyboard tone component: an apartment-threaded in-process server whose
// behaviour a test scripts and whose every call it records.
#include "tone_sim_control.h"

#include "sim_server.h"
#include "tone_sim.h"

#include <wrl/client.h>

#include <cwchar>
#include <new>
#include <utility>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// Unmarshals the copies that script.remarshalResult makes refuse a second marshalling.
// {16118619-781E-4E1E-AAFC-7BAA4B31E307}
const CLSID kUnmarshalClass = {0x16118619, 0x781e, 0x4e1e, {0xaa, 0xfc, 0x7b, 0xaa, 0x4b, 0x31, 0xe3, 0x07}};

HMODULE g_module;
SRWLOCK g_stateLock = SRWLOCK_INIT;
ToneSimScript g_script;
std::vector<ToneSimCall> g_calls;
ToneSimCounts g_counts;
uint32_t g_lastObjectId;

// Guards the script, the calls and the counts: tests read them from their own threads.
class StateLock {
public:
    StateLock() { AcquireSRWLockExclusive(&g_stateLock); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    ~StateLock() { ReleaseSRWLockExclusive(&g_stateLock); }
};

ToneSimScript currentScript()
{
    StateLock lock;
    return g_script;
}

void record(ToneSimMethod method, uint32_t objectId, const wchar_t* text, int32_t value, HRESULT result)
{
    ToneSimCall call{};
    call.method = method;
    call.textLength = -1;
    if (text) {
        // The port name is a plain wide string, not a BSTR: only its terminator bounds it.
        const size_t length = wcslen(text);
        call.textLength = static_cast<int32_t>(length);
        wcsncpy(call.text, text, ToneSimMaxText - 1);
    }
    call.value = value;
    call.result = result;
    call.threadId = GetCurrentThreadId();
    call.objectId = objectId;
    StateLock lock;
    try {
        g_calls.push_back(call);
    } catch (...) {
        // Out of memory: the call goes unrecorded rather than throwing into COM.
    }
}

void countReference(int32_t change)
{
    StateLock lock;
    g_counts.outstandingRefs += change;
}

// The scripted failure of a marshalling (E_UNEXPECTED once the script has none left), recorded.
HRESULT refusedMarshal(HRESULT ToneSimScript::*field, uint32_t objectId)
{
    const HRESULT scripted = currentScript().*field;
    const HRESULT result = FAILED(scripted) ? scripted : E_UNEXPECTED;
    record(ToneSimMarshal, objectId, nullptr, 0, result);
    return result;
}

class ToneDevice final : public IToneDevice {
public:
    ToneDevice()
    {
        StateLock lock;
        id_ = ++g_lastObjectId;
        g_counts.liveObjects++;
        g_counts.objectsCreated++;
        g_counts.outstandingRefs++;
    }
    ToneDevice(const ToneDevice&) = delete;
    ToneDevice& operator=(const ToneDevice&) = delete;

    uint32_t id() const { return id_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IToneDevice)) {
            *object = static_cast<IToneDevice*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        if (IsEqualIID(iid, IID_IMarshal)) {
            const ToneSimScript script = currentScript();
            if (FAILED(script.marshalResult)) {
                marshal_.AddRef();
                *object = &marshal_;
                return S_OK;
            }
            if (FAILED(script.remarshalResult))
                return simserver::queryStandardDataMarshal(static_cast<IToneDevice*>(this), id_, kUnmarshalClass,
                                                           object);
        }
        return E_NOINTERFACE;
    }

    ULONG STDMETHODCALLTYPE AddRef() override
    {
        countReference(+1);
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }

    ULONG STDMETHODCALLTYPE Release() override
    {
        countReference(-1);
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE PlayTone(BSTR tone, LONG mode, VARIANT_BOOL* played) override
    {
        const ToneSimScript script = currentScript();
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
        const ToneSimScript script = currentScript();
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
    ~ToneDevice()
    {
        record(ToneSimDestroy, id_, nullptr, 0, S_OK);
        StateLock lock;
        g_counts.liveObjects--;
    }

    LONG refs_ = 1;
    uint32_t id_ = 0;
    simserver::FailingMarshal<ToneDevice> marshal_{*this};
};

// What a copy marshalled under script.remarshalResult unmarshals into, in the caller's apartment:
// every call goes on through the standard proxy inside to the object on its own thread, but
// marshalling this copy again fails. Counted as a live object with its references, so tests see
// it released (its destruction is not recorded: it is not a component).
class RemarshalRefusingDevice final : public IToneDevice {
public:
    RemarshalRefusingDevice(ComPtr<IToneDevice> proxy, uint32_t objectId) : proxy_(std::move(proxy)), id_(objectId)
    {
        StateLock lock;
        g_counts.liveObjects++;
        g_counts.outstandingRefs++;
    }
    RemarshalRefusingDevice(const RemarshalRefusingDevice&) = delete;
    RemarshalRefusingDevice& operator=(const RemarshalRefusingDevice&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IToneDevice))
            *object = static_cast<IToneDevice*>(this);
        else if (IsEqualIID(iid, IID_IMarshal))
            *object = &marshal_;
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override
    {
        countReference(+1);
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }

    ULONG STDMETHODCALLTYPE Release() override
    {
        countReference(-1);
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
    HRESULT STDMETHODCALLTYPE PlayTone(BSTR tone, LONG mode, VARIANT_BOOL* played) override
    {
        return proxy_->PlayTone(tone, mode, played);
    }
    HRESULT STDMETHODCALLTYPE OpenPort(BSTR port, VARIANT_BOOL* opened) override
    {
        return proxy_->OpenPort(port, opened);
    }

    HRESULT refuseMarshal() const { return refusedMarshal(&ToneSimScript::remarshalResult, id_); }

private:
    ~RemarshalRefusingDevice()
    {
        StateLock lock;
        g_counts.liveObjects--;
    }

    LONG refs_ = 1;
    const ComPtr<IToneDevice> proxy_;
    const uint32_t id_;
    simserver::FailingMarshal<RemarshalRefusingDevice> marshal_{*this};
};

HRESULT wrapProxy(IUnknown* proxy, uint32_t objectId, REFIID iid, void** object)
{
    ComPtr<IToneDevice> device;
    HRESULT result = proxy->QueryInterface(IID_PPV_ARGS(&device));
    if (FAILED(result))
        return result;
    RemarshalRefusingDevice* copy = new (std::nothrow) RemarshalRefusingDevice(std::move(device), objectId);
    if (!copy)
        return E_OUTOFMEMORY;
    result = copy->QueryInterface(iid, object);
    copy->Release();
    return result;
}

// One static factory; its references are not counted, it lives as long as the module.
class ToneDeviceFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
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
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        const ToneSimScript script = currentScript();
        if (script.createDelayMs)
            Sleep(script.createDelayMs);
        if (FAILED(script.createResult)) {
            record(ToneSimCreate, 0, nullptr, 0, script.createResult);
            return script.createResult;
        }
        ToneDevice* device = new (std::nothrow) ToneDevice;
        if (!device)
            return E_OUTOFMEMORY;
        HRESULT result = device->QueryInterface(iid, object);
        if (SUCCEEDED(result))
            result = script.createResult;
        record(ToneSimCreate, device->id(), nullptr, 0, result);
        device->Release();
        return result;
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

ToneDeviceFactory g_factory;
simserver::UnmarshalClassFactory g_unmarshalFactory(IID_IToneDevice, &wrapProxy);

} // namespace

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
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (IsEqualCLSID(clsid, CLSID_KeyboardToneSim))
        return g_factory.QueryInterface(iid, object);
    if (IsEqualCLSID(clsid, kUnmarshalClass))
        return g_unmarshalFactory.QueryInterface(iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

// Tests load the module themselves and hold its state, so it never unloads.
HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE;
}

HRESULT STDAPICALLTYPE DllRegisterServer()
{
    const HRESULT result =
        simserver::registerServer(g_module, TONE_SIM_CLSID_STRING, L"Simulated keyboard tone component");
    if (FAILED(result))
        return result;
    return simserver::registerUnmarshalClass(g_module, kUnmarshalClass,
                                             L"Simulated keyboard tone component, refusing copy");
}

HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    const HRESULT result = simserver::unregisterServer(g_module, TONE_SIM_CLSID_STRING);
    const HRESULT unmarshalClass = simserver::unregisterUnmarshalClass(kUnmarshalClass);
    return FAILED(result) ? result : unmarshalClass;
}

void ToneSim_Reset(void)
{
    StateLock lock;
    g_script = ToneSimScript{};
    g_calls.clear();
    g_counts.objectsCreated = 0;
}

void ToneSim_SetScript(const ToneSimScript* script)
{
    if (!script)
        return;
    StateLock lock;
    g_script = *script;
}

int32_t ToneSim_GetCalls(ToneSimCall* calls, int32_t capacity)
{
    StateLock lock;
    for (size_t i = 0; calls && capacity > 0 && i < g_calls.size() && i < static_cast<size_t>(capacity); ++i)
        calls[i] = g_calls[i];
    return static_cast<int32_t>(g_calls.size());
}

void ToneSim_GetCounts(ToneSimCounts* counts)
{
    if (!counts)
        return;
    StateLock lock;
    *counts = g_counts;
}

} // extern "C"
