// The simulated keyboard hot-key component: an apartment-threaded in-process server with
// IHotKeyService, ISoftKey and a connection point for IHotKeyEvents, whose behaviour a test
// scripts and whose every call it records. Event delivery is in hotkey_sim_events.cpp.
#include "hotkey_sim_internal.h"

#include "hotkey_sim.h"
#include "sim_component.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <utility>

using Microsoft::WRL::ComPtr;

namespace hotkeysim {
namespace {

class HotKeyService;

using HotKeyState = simserver::ComponentState<HotKeySimScript, HotKeySimCall, HotKeySimCounts>;
using StateLock = HotKeyState::Lock;

// The live objects and their sinks are guarded by the state's lock too: tests and COM reach
// them from several threads.
HotKeyState g_state;
std::vector<HotKeyService*> g_liveObjects;

void countReference(int32_t change, bool throughSoftKey)
{
    StateLock lock(g_state);
    lock.counts().outstandingRefs += change;
    if (throughSoftKey)
        lock.counts().softKeyRefs += change;
}

class HotKeyService final : public IHotKeyService, public IConnectionPointContainer {
public:
    HotKeyService() : thread_(GetCurrentThreadId()), window_(createEventWindow())
    {
        StateLock lock(g_state);
        g_liveObjects.push_back(this);
        id_ = lock.countCreated();
    }
    HotKeyService(const HotKeyService&) = delete;
    HotKeyService& operator=(const HotKeyService&) = delete;

    uint32_t id() const { return id_; }
    HWND window() const { return window_; }

    // Callers hold the state lock.
    int32_t sinkCount() const { return static_cast<int32_t>(sinks_.size()); }
    std::vector<ComPtr<IDispatch>> sinks() const
    {
        std::vector<ComPtr<IDispatch>> result;
        for (const Sink& sink : sinks_)
            result.push_back(sink.dispatch);
        return result;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        g_state.checkThread(thread_);
        if (!object)
            return E_POINTER;
        *object = nullptr;
        IUnknown* answer = nullptr;
        HRESULT result = S_OK;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IHotKeyService)) {
            answer = static_cast<IHotKeyService*>(this);
        } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
            result = scriptedAnswer(g_state.script().queryContainerResult);
            if (SUCCEEDED(result))
                answer = static_cast<IConnectionPointContainer*>(this);
            record(HotKeySimQueryContainer, id_, result);
        } else if (IsEqualIID(iid, IID_ISoftKey)) {
            result = scriptedAnswer(g_state.script().querySoftKeyResult);
            if (SUCCEEDED(result))
                answer = &softKey_;
            record(HotKeySimQuerySoftKey, id_, result);
        } else if (IsEqualIID(iid, IID_IMarshal)) {
            return simserver::queryScriptedMarshal(g_state.script(), marshal_, static_cast<IHotKeyService*>(this), id_,
                                                   CLSID_HotKeySimUnmarshal, object);
        } else {
            result = E_NOINTERFACE;
        }
        if (answer) {
            answer->AddRef();
            *object = answer;
        }
        return result;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return addReference(false); }
    ULONG STDMETHODCALLTYPE Release() override { return releaseReference(false); }

    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE RegisterStandard(LONG first, LONG second, LONG third) override
    {
        g_state.checkThread(thread_);
        const HRESULT result = g_state.script().registerStandardResult;
        record(HotKeySimRegisterStandard, id_, result, {first, second, third});
        return result;
    }

    HRESULT STDMETHODCALLTYPE UnregisterHot(LONG first, LONG second) override
    {
        g_state.checkThread(thread_);
        const HRESULT result = g_state.script().unregisterHotResult;
        record(HotKeySimUnregisterHot, id_, result, {first, second});
        return result;
    }

    HRESULT STDMETHODCALLTYPE UnregisterAllHot() override
    {
        g_state.checkThread(thread_);
        const HRESULT result = g_state.script().unregisterAllHotResult;
        record(HotKeySimUnregisterAllHot, id_, result);
        return result;
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override
    {
        if (points)
            *points = nullptr;
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override
    {
        g_state.checkThread(thread_);
        if (!point)
            return E_POINTER;
        *point = nullptr;
        const bool events = IsEqualIID(iid, DIID_IHotKeyEvents);
        HRESULT result = g_state.script().findConnectionPointResult;
        if (SUCCEEDED(result) && !events)
            result = CONNECT_E_NOCONNECTION;
        if (SUCCEEDED(result)) {
            connectionPoint_.AddRef();
            *point = &connectionPoint_;
        }
        record(HotKeySimFindConnectionPoint, id_, result, {events ? 1 : 0});
        return result;
    }

    // Every method of the IMarshal offered under script.marshalResult.
    HRESULT refuseMarshal() const { return refusedMarshal(&HotKeySimScript::marshalResult, id_); }

private:
    struct Sink {
        DWORD cookie;
        ComPtr<IDispatch> dispatch;
    };

    // The connection point shares the object's reference count: it lives as long as it does.
    class EventConnectionPoint final : public IConnectionPoint {
    public:
        explicit EventConnectionPoint(HotKeyService& owner) : owner_(owner) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
        {
            if (!object)
                return E_POINTER;
            if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
                AddRef();
                *object = static_cast<IConnectionPoint*>(this);
                return S_OK;
            }
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner_.addReference(false); }
        ULONG STDMETHODCALLTYPE Release() override { return owner_.releaseReference(false); }

        HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override
        {
            if (!iid)
                return E_POINTER;
            *iid = DIID_IHotKeyEvents;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override
        {
            if (!container)
                return E_POINTER;
            owner_.AddRef();
            *container = &owner_;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override { return owner_.advise(sink, cookie); }
        HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override { return owner_.unadvise(cookie); }
        HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override
        {
            if (connections)
                *connections = nullptr;
            return E_NOTIMPL;
        }

    private:
        HotKeyService& owner_;
    };

    // ISoftKey is a face of the object itself; its references are counted apart as well.
    class SoftKey final : public ISoftKey {
    public:
        explicit SoftKey(HotKeyService& owner) : owner_(owner) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
        {
            return owner_.QueryInterface(iid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner_.addReference(true); }
        ULONG STDMETHODCALLTYPE Release() override { return owner_.releaseReference(true); }

    private:
        HotKeyService& owner_;
    };

    ~HotKeyService()
    {
        std::vector<Sink> released;
        {
            StateLock lock(g_state);
            g_liveObjects.erase(std::remove(g_liveObjects.begin(), g_liveObjects.end(), this), g_liveObjects.end());
            lock.counts().liveObjects--;
            lock.counts().advisedSinks -= sinkCount();
            released.swap(sinks_);
        }
        record(HotKeySimDestroy, id_, S_OK);
        destroyEventWindow(window_, thread_);
    }

    // A failure scripted for a query is its answer; anything else lets the query succeed.
    static HRESULT scriptedAnswer(HRESULT scripted) { return FAILED(scripted) ? scripted : S_OK; }

    ULONG addReference(bool throughSoftKey)
    {
        g_state.checkThread(thread_);
        countReference(+1, throughSoftKey);
        if (throughSoftKey)
            InterlockedIncrement(&softKeyRefs_);
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }

    ULONG releaseReference(bool throughSoftKey)
    {
        g_state.checkThread(thread_);
        countReference(-1, throughSoftKey);
        if (throughSoftKey)
            record(HotKeySimSoftKeyRelease, id_, S_OK, {InterlockedDecrement(&softKeyRefs_)});
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT advise(IUnknown* sink, DWORD* cookie)
    {
        g_state.checkThread(thread_);
        if (cookie)
            *cookie = 0;
        HRESULT result = g_state.script().adviseResult;
        ComPtr<IDispatch> dispatch;
        if (!sink || !cookie)
            result = E_POINTER;
        else if (SUCCEEDED(result) && FAILED(sink->QueryInterface(IID_PPV_ARGS(&dispatch))))
            result = CONNECT_E_CANNOTCONNECT;
        if (SUCCEEDED(result)) {
            StateLock lock(g_state);
            try {
                sinks_.push_back(Sink{lastCookie_ + 1, dispatch});
                *cookie = ++lastCookie_;
                lock.counts().advisedSinks++;
            } catch (...) {
                result = E_OUTOFMEMORY;
            }
        }
        record(HotKeySimAdvise, id_, result, {cookie ? static_cast<int32_t>(*cookie) : 0});
        return result;
    }

    HRESULT unadvise(DWORD cookie)
    {
        g_state.checkThread(thread_);
        ComPtr<IDispatch> released;
        HRESULT result = CONNECT_E_NOCONNECTION;
        {
            StateLock lock(g_state);
            auto found = std::find_if(sinks_.begin(), sinks_.end(),
                                      [cookie](const Sink& sink) { return sink.cookie == cookie; });
            if (found != sinks_.end()) {
                released = std::move(found->dispatch);
                sinks_.erase(found);
                lock.counts().advisedSinks--;
                result = S_OK;
            }
        }
        record(HotKeySimUnadvise, id_, result, {static_cast<int32_t>(cookie)});
        return result;
    }

    LONG refs_ = 1;
    LONG softKeyRefs_ = 0;
    uint32_t id_ = 0;
    const DWORD thread_;
    const HWND window_;
    std::vector<Sink> sinks_;
    DWORD lastCookie_ = 0;
    EventConnectionPoint connectionPoint_{*this};
    SoftKey softKey_{*this};
    simserver::FailingMarshal<HotKeyService> marshal_{*this};
};

void recordCreation(uint32_t objectId, HRESULT result)
{
    record(HotKeySimCreate, objectId, result);
}

simserver::ScriptedClassFactory<HotKeyService, HotKeyState> g_factory(g_state, &recordCreation);

} // namespace

HRESULT refusedMarshal(HRESULT HotKeySimScript::*field, uint32_t objectId)
{
    const HRESULT result = g_state.marshalFailure(field);
    record(HotKeySimMarshal, objectId, result);
    return result;
}

void countCopy(int32_t objects, int32_t references)
{
    g_state.count(objects, references);
}

void record(HotKeySimMethod method, uint32_t objectId, HRESULT result, std::initializer_list<int32_t> args,
            int32_t argCount)
{
    HotKeySimCall call{};
    std::copy_n(args.begin(), std::min<size_t>(args.size(), 3), call.args);
    call.argCount = argCount >= 0 ? argCount : static_cast<int32_t>(args.size());
    g_state.record(call, method, objectId, result);
}

std::vector<EventTarget> eventTargets()
{
    std::vector<EventTarget> targets;
    StateLock lock(g_state);
    for (const HotKeyService* service : g_liveObjects)
        if (service->window() && service->sinkCount() > 0)
            targets.push_back(EventTarget{service->id(), service->window(), service->sinkCount()});
    return targets;
}

std::vector<HWND> eventWindows()
{
    std::vector<HWND> windows;
    StateLock lock(g_state);
    for (const HotKeyService* service : g_liveObjects)
        if (service->window())
            windows.push_back(service->window());
    return windows;
}

std::vector<ComPtr<IDispatch>> sinksOf(uint32_t objectId)
{
    StateLock lock(g_state);
    for (const HotKeyService* service : g_liveObjects)
        if (service->id() == objectId)
            return service->sinks();
    return {};
}

} // namespace hotkeysim

using namespace hotkeysim;

const simserver::ComponentServer& simserver::componentServer()
{
    static const ComponentServer server{CLSID_KeyboardHotKeySim, L"Simulated keyboard hot-key component", g_factory,
                                        CLSID_HotKeySimUnmarshal, unmarshalClassFactory()};
    return server;
}

extern "C" {

void HotKeySim_Reset(void) { g_state.reset(); }
void HotKeySim_SetScript(const HotKeySimScript* script) { g_state.setScript(script); }
int32_t HotKeySim_GetCalls(HotKeySimCall* calls, int32_t capacity) { return g_state.copyCalls(calls, capacity); }
void HotKeySim_GetCounts(HotKeySimCounts* counts) { g_state.copyCounts(counts); }

} // extern "C"
