// The simulated keyboard components on Wine's COM runtime, used the way the libraries use
// them: created on a service thread's apartment, called through marshalled proxies, events
// raised to a sink there. Each test case runs in a process of its own.
#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "host_fixture.h"
#include "hotkey_sim.h"
#include "hotkey_sim_control.h"
#include "tone_sim.h"
#include "tone_sim_control.h"

using Microsoft::WRL::ComPtr;

namespace {

// A single-threaded apartment that pumps messages, as the libraries' service threads do;
// run() executes a task there and returns when it is done.
class ApartmentThread {
public:
    ApartmentThread()
    {
        std::promise<DWORD> started;
        auto id = started.get_future();
        thread_ = std::thread([this, &started] { loop(started); });
        id_ = id.get();
    }
    ApartmentThread(const ApartmentThread&) = delete;
    ApartmentThread& operator=(const ApartmentThread&) = delete;
    ~ApartmentThread()
    {
        PostThreadMessageW(id_, WM_QUIT, 0, 0);
        thread_.join();
    }

    DWORD id() const { return id_; }

    void run(std::function<void()> task)
    {
        std::promise<void> done;
        auto finished = done.get_future();
        std::function<void()> wrapped = [&] {
            task();
            done.set_value();
        };
        PostThreadMessageW(id_, kRunTask, 0, reinterpret_cast<LPARAM>(&wrapped));
        finished.wait();
    }

private:
    static constexpr UINT kRunTask = WM_APP + 100;

    void loop(std::promise<DWORD>& started)
    {
        const HRESULT com = CoInitialize(nullptr);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);   // the queue exists before anyone posts
        started.set_value(GetCurrentThreadId());
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (!message.hwnd && message.message == kRunTask) {
                (*reinterpret_cast<std::function<void()>*>(message.lParam))();
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (SUCCEEDED(com))
            CoUninitialize();
    }

    DWORD id_ = 0;
    std::thread thread_;
};

class ComApartment {
public:
    ComApartment() { EXPECT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    ~ComApartment() { CoUninitialize(); }
};

// CTest runs each case in a process of its own; a reset also lets them share one.
template <typename Simulator>
Simulator fresh()
{
    Simulator sim = Simulator::load();
    sim.reset();
    return sim;
}

template <typename Interface>
ComPtr<Interface> create(const CLSID& clsid, HRESULT* result = nullptr)
{
    ComPtr<Interface> object;
    const HRESULT created = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&object));
    if (result)
        *result = created;
    return object;
}

template <typename Interface>
ComPtr<Interface> unmarshal(IStream* stream)
{
    ComPtr<Interface> proxy;
    EXPECT_EQ(CoGetInterfaceAndReleaseStream(stream, __uuidof(Interface), &proxy), S_OK);
    return proxy;
}

// A component as the libraries hold one: created on a service thread's apartment and marshalled
// there for the test's thread, which unmarshals stream.
template <typename Interface>
struct ServedObject {
    explicit ServedObject(const CLSID& clsid) : clsid(clsid) {}
    ~ServedObject() { release(); }  // on the thread that created it, as everything else

    // Creates the object on the service thread, unless it is there already; runs there what the
    // test does with it first, then marshals it into stream.
    void marshal(const std::function<void(Interface*)>& first = {})
    {
        service.run([&] {
            if (!object)
                object = create<Interface>(clsid);
            ASSERT_TRUE(object);
            if (first)
                first(object.Get());
            ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(__uuidof(Interface), object.Get(), &stream), S_OK);
        });
    }
    void release()
    {
        service.run([&] { object.Reset(); });
    }

    const CLSID& clsid;
    ApartmentThread service;
    ComPtr<Interface> object;
    IStream* stream = nullptr;
};

// Runs a task on this test's thread (a single-threaded apartment) or on a new thread in the
// multithreaded apartment.
void onCallerThread(bool multithreaded, const std::function<void()>& task)
{
    if (!multithreaded)
        return task();
    std::thread([&] {
        const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        EXPECT_EQ(com, S_OK);
        task();
        if (SUCCEEDED(com))
            CoUninitialize();
    }).join();
}

const HRESULT kScriptedFailure = static_cast<HRESULT>(0x8004F00D);

// The libraries' hand-off stream with its refill scripted to fail: the first marshalling on the
// service thread works, the caller's unmarshalled copy reaches the object there (call), and
// marshalling that copy again fails with the scripted result. Afterwards, and after releasing
// marshalled data that was never unmarshalled, only the service thread's reference is left.
template <typename Interface, typename Sim, typename Script, typename Method>
void expectRefusedRefill(const Sim& sim, const CLSID& clsid, Script script, Method marshalMethod, Method calledMethod,
                         bool multithreaded, const std::function<void(Interface*)>& call)
{
    script.remarshalResult = kScriptedFailure;
    sim.setScript(script);
    ServedObject<Interface> served(clsid);
    served.marshal();
    ASSERT_TRUE(served.stream);
    onCallerThread(multithreaded, [&] {
        ComPtr<Interface> copy = unmarshal<Interface>(served.stream);
        ASSERT_TRUE(copy);
        EXPECT_EQ(sim.liveObjects(), 2) << "the object and the caller's copy";
        call(copy.Get());
        IStream* refill = reinterpret_cast<IStream*>(1);
        EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(__uuidof(Interface), copy.Get(), &refill), kScriptedFailure);
        EXPECT_EQ(refill, nullptr);
    });
    const auto called = sim.calls(calledMethod);
    ASSERT_EQ(called.size(), 1u);
    EXPECT_EQ(called[0].threadId, served.service.id());
    const auto refused = sim.calls(marshalMethod);
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused.back().result, kScriptedFailure);
    EXPECT_EQ(refused.back().objectId, called[0].objectId);
    EXPECT_EQ(sim.liveObjects(), 1);
    EXPECT_EQ(sim.outstandingRefs(), 1);

    served.marshal();
    EXPECT_GT(sim.outstandingRefs(), 1);
    // On the object's thread: from any other, COM releases the object there and then.
    served.service.run([&] { EXPECT_EQ(CoReleaseMarshalData(served.stream), S_OK); });
    served.stream->Release();
    EXPECT_EQ(sim.outstandingRefs(), 1);
    served.release();
    EXPECT_EQ(sim.liveObjects(), 0);
    EXPECT_EQ(sim.outstandingRefs(), 0);
}

// Each case in a COM apartment of its own, with the simulator's script and calls reset.
template <typename Simulator>
class SimulatorTest : public testing::Test {
protected:
    ComApartment com;
    Simulator sim = fresh<Simulator>();
};

using ToneSimulator = SimulatorTest<ToneSim>;
using HotKeySimulator = SimulatorTest<HotKeySim>;

class Bstr {
public:
    explicit Bstr(const wchar_t* text) : text_(SysAllocString(text)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(text_); }
    BSTR get() const { return text_; }

private:
    BSTR text_;
};

// --- tone component ------------------------------------------------------------------------

TEST_F(ToneSimulator, PlayToneThroughAProxyRunsOnTheCreatingThreadAsScripted)
{
    ServedObject<IToneDevice> device(CLSID_KeyboardToneSim);
    device.marshal([](IToneDevice* created) {
        static const wchar_t port[] = L"\\\\.\\KeyboardPort0";   // not a BSTR, as the bridge passes it
        VARIANT_BOOL opened = VARIANT_FALSE;
        created->OpenPort(const_cast<BSTR>(port), &opened);
        EXPECT_EQ(opened, VARIANT_TRUE);
    });
    const int32_t baseline = 1;
    ComPtr<IToneDevice> proxy = unmarshal<IToneDevice>(device.stream);
    ASSERT_TRUE(proxy);

    struct Case {
        VARIANT_BOOL flag;
        HRESULT result;
        BOOL leavesFlag;
        VARIANT_BOOL expectedFlag;
    };
    const Case cases[] = {
        {VARIANT_TRUE, S_OK, FALSE, VARIANT_TRUE},
        {1, S_FALSE, FALSE, 1},
        {VARIANT_FALSE, E_FAIL, FALSE, VARIANT_FALSE},
        {VARIANT_TRUE, E_FAIL, FALSE, VARIANT_TRUE},
        // Unwritten: the stub's own flag, zero, travels back in its place.
        {VARIANT_TRUE, E_ACCESSDENIED, TRUE, VARIANT_FALSE},
    };
    Bstr tone(L"Interrupt");
    for (const Case& c : cases) {
        ToneSimScript script;
        script.playToneFlag = c.flag;
        script.playToneResult = c.result;
        script.playToneLeavesFlag = c.leavesFlag;
        sim.setScript(script);
        VARIANT_BOOL played = 0x55;
        EXPECT_EQ(proxy->PlayTone(tone.get(), 1, &played), c.result);
        EXPECT_EQ(played, c.expectedFlag) << "result " << std::hex << c.result;
    }

    const auto calls = sim.calls();
    ASSERT_EQ(calls.size(), 2 + std::size(cases));
    EXPECT_EQ(calls[0].method, ToneSimCreate);
    EXPECT_EQ(calls[0].threadId, device.service.id());
    EXPECT_EQ(calls[1].method, ToneSimOpenPort);
    EXPECT_STREQ(calls[1].text, L"\\\\.\\KeyboardPort0");
    EXPECT_EQ(calls[1].textLength, 17);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const ToneSimCall& play = calls[2 + i];
        EXPECT_EQ(play.method, ToneSimPlayTone);
        EXPECT_STREQ(play.text, L"Interrupt");
        EXPECT_EQ(play.value, 1);
        EXPECT_EQ(play.result, cases[i].result);
        EXPECT_EQ(play.threadId, device.service.id());
        EXPECT_EQ(play.objectId, calls[0].objectId);
    }

    EXPECT_GT(sim.outstandingRefs(), baseline);
    proxy.Reset();
    EXPECT_EQ(sim.outstandingRefs(), baseline);
    EXPECT_EQ(sim.wrongThreadCalls(), 0) << "the proxy's calls all ran on the creating thread";

    // The object's own pointer used here, off its thread: AddRef, PlayTone and Release each count.
    IToneDevice* own = device.object.Get();
    own->AddRef();
    VARIANT_BOOL played = 0;
    own->PlayTone(tone.get(), 1, &played);
    own->Release();
    EXPECT_EQ(sim.wrongThreadCalls(), 3);
    sim.reset();
    EXPECT_EQ(sim.wrongThreadCalls(), 0);
    device.release();
    EXPECT_EQ(sim.counts().liveObjects, 0);
    EXPECT_EQ(sim.outstandingRefs(), 0);
    EXPECT_EQ(sim.calls().back().method, ToneSimDestroy);
}

TEST_F(ToneSimulator, CreationFailsOrWaitsAsScripted)
{
    struct Case {
        HRESULT result;
        DWORD delayMs;
    };
    for (const Case& c : {Case{E_ACCESSDENIED, 0}, Case{REGDB_E_CLASSNOTREG, 0}, Case{S_OK, 400}}) {
        ToneSimScript script;
        script.createResult = c.result;
        script.createDelayMs = c.delayMs;
        sim.setScript(script);
        HRESULT result = E_UNEXPECTED;
        const DWORD start = GetTickCount();
        ComPtr<IToneDevice> device = create<IToneDevice>(CLSID_KeyboardToneSim, &result);
        EXPECT_GE(GetTickCount() - start + 20, c.delayMs);   // the tick count steps coarsely
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(device != nullptr, SUCCEEDED(c.result));
        EXPECT_EQ(sim.liveObjects(), SUCCEEDED(c.result) ? 1 : 0);
        EXPECT_EQ(sim.calls().back().result, c.result);
    }
    EXPECT_EQ(sim.outstandingRefs(), 0);
}

TEST_F(ToneSimulator, ScriptedStartUpMarshalFails)
{
    for (HRESULT scripted : {S_OK, kScriptedFailure}) {
        ToneSimScript script;
        script.marshalResult = scripted;
        sim.setScript(script);
        ComPtr<IToneDevice> device = create<IToneDevice>(CLSID_KeyboardToneSim);
        ASSERT_TRUE(device);
        IStream* stream = reinterpret_cast<IStream*>(1);
        EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IToneDevice, device.Get(), &stream), scripted);
        if (SUCCEEDED(scripted))
            EXPECT_TRUE(unmarshal<IToneDevice>(stream));
        else
            EXPECT_EQ(stream, nullptr);
    }
    const auto refused = sim.calls(ToneSimMarshal);
    ASSERT_FALSE(refused.empty());
    for (const ToneSimCall& call : refused) {
        EXPECT_EQ(call.result, kScriptedFailure);
        EXPECT_EQ(call.objectId, sim.calls(ToneSimCreate).back().objectId);
    }
    EXPECT_EQ(sim.outstandingRefs(), 0);
    EXPECT_EQ(sim.liveObjects(), 0);
}

TEST_F(ToneSimulator, RefillOfTheCallersCopyFailsAsScriptedWhileItsCallsReachTheObject)
{
    Bstr tone(L"Interrupt");
    for (bool multithreaded : {false, true}) {
        SCOPED_TRACE(multithreaded ? "multithreaded caller" : "single-threaded caller");
        sim.reset();
        ToneSimScript script;
        script.playToneFlag = VARIANT_FALSE;
        script.playToneResult = S_FALSE;
        expectRefusedRefill<IToneDevice>(sim, CLSID_KeyboardToneSim, script, ToneSimMarshal, ToneSimPlayTone,
                                         multithreaded, [&](IToneDevice* copy) {
                                             VARIANT_BOOL played = VARIANT_TRUE;
                                             EXPECT_EQ(copy->PlayTone(tone.get(), 3, &played), S_FALSE);
                                             EXPECT_EQ(played, VARIANT_FALSE);
                                         });
        const ToneSimCall play = sim.calls(ToneSimPlayTone).at(0);
        EXPECT_STREQ(play.text, L"Interrupt");
        EXPECT_EQ(play.value, 3);
    }
}

// CoDisconnectObject asks a custom-marshalled object's IMarshal; the stubs must still go.
TEST_F(ToneSimulator, DisconnectingTheObjectReleasesWhatItsRefusingCopiesHold)
{
    ToneSimScript script;
    script.remarshalResult = kScriptedFailure;
    sim.setScript(script);
    ServedObject<IToneDevice> device(CLSID_KeyboardToneSim);
    device.marshal();
    ComPtr<IToneDevice> copy = unmarshal<IToneDevice>(device.stream);
    ASSERT_TRUE(copy);
    device.service.run([&] { EXPECT_EQ(CoDisconnectObject(device.object.Get(), 0), S_OK); });
    EXPECT_EQ(sim.outstandingRefs(), 2) << "the service thread's and the copy's own";
    Bstr tone(L"Interrupt");
    VARIANT_BOOL played = VARIANT_FALSE;
    EXPECT_TRUE(FAILED(copy->PlayTone(tone.get(), 1, &played)));
    EXPECT_TRUE(sim.calls(ToneSimPlayTone).empty());
    copy.Reset();
    device.release();
    EXPECT_EQ(sim.outstandingRefs(), 0);
    EXPECT_EQ(sim.liveObjects(), 0);
}

// --- hot-key component ---------------------------------------------------------------------

TEST_F(HotKeySimulator, RegistrationCallsThroughAProxyRunOnTheCreatingThreadAsScripted)
{
    HotKeySimScript script;
    script.registerStandardResult = S_FALSE;
    script.unregisterHotResult = E_FAIL;
    script.unregisterAllHotResult = static_cast<HRESULT>(0x80041234);
    sim.setScript(script);
    ServedObject<IHotKeyService> hotKey(CLSID_KeyboardHotKeySim);
    hotKey.marshal();
    ComPtr<IHotKeyService> proxy = unmarshal<IHotKeyService>(hotKey.stream);
    ASSERT_TRUE(proxy);

    EXPECT_EQ(proxy->RegisterStandard(INT32_MIN, -1, INT32_MAX), S_FALSE);
    EXPECT_EQ(proxy->UnregisterHot(0, 0x12345678), E_FAIL);
    EXPECT_EQ(proxy->UnregisterAllHot(), static_cast<HRESULT>(0x80041234));

    const auto registered = sim.calls(HotKeySimRegisterStandard);
    const auto unregistered = sim.calls(HotKeySimUnregisterHot);
    const auto all = sim.calls(HotKeySimUnregisterAllHot);
    ASSERT_EQ(registered.size(), 1u);
    ASSERT_EQ(unregistered.size(), 1u);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(registered[0].argCount, 3);
    EXPECT_EQ(registered[0].args[0], INT32_MIN);
    EXPECT_EQ(registered[0].args[1], -1);
    EXPECT_EQ(registered[0].args[2], INT32_MAX);
    EXPECT_EQ(unregistered[0].argCount, 2);
    EXPECT_EQ(unregistered[0].args[1], 0x12345678);
    EXPECT_EQ(all[0].argCount, 0);
    for (const auto& call : {registered[0], unregistered[0], all[0]})
        EXPECT_EQ(call.threadId, hotKey.service.id());

    proxy.Reset();
    EXPECT_EQ(sim.outstandingRefs(), 1);
    EXPECT_EQ(sim.wrongThreadCalls(), 0) << "the proxy's calls all ran on the creating thread";

    // The object's own pointer used here, off its thread: the call and the Release count.
    hotKey.object->UnregisterAllHot();
    ComPtr<IHotKeyService> own = hotKey.object;
    own.Reset();
    EXPECT_EQ(sim.wrongThreadCalls(), 3);
    sim.reset();

    hotKey.release();
    EXPECT_EQ(sim.outstandingRefs(), 0);
    EXPECT_EQ(sim.liveObjects(), 0);
}

// Records each Invoke as it arrives.
class RecordingSink final : public IDispatch {
public:
    struct Hit {
        DISPID dispid;
        UINT argCount;
        bool nullArgs;
        std::vector<VARIANT> args;
        bool guardedEnd;   // the byte after the last argument is inaccessible
        DWORD threadId;
    };

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, DIID_IHotKeyEvents)) {
            AddRef();
            *object = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override
    {
        Hit hit{dispid, params->cArgs, params->rgvarg == nullptr, {}, false, GetCurrentThreadId()};
        if (params->rgvarg) {
            hit.args.assign(params->rgvarg, params->rgvarg + params->cArgs);
            MEMORY_BASIC_INFORMATION after{};
            VirtualQuery(params->rgvarg + params->cArgs, &after, sizeof(after));
            hit.guardedEnd = after.Protect == PAGE_NOACCESS;
        }
        std::lock_guard<std::mutex> lock(mutex);
        hits.push_back(hit);
        return dispid >= 1 && dispid <= 3 ? S_OK : DISP_E_MEMBERNOTFOUND;
    }

    std::vector<Hit> received()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return hits;
    }

    LONG refs = 0;
    std::mutex mutex;
    std::vector<Hit> hits;
};

TEST_F(HotKeySimulator, EventsReachAnAdvisedSinkOnTheCreatingThread)
{
    EXPECT_EQ(sim.hotKeyHit(1, 2, 3).objects, 0);   // no object yet: nothing to raise on

    ApartmentThread service;
    RecordingSink sink;
    ComPtr<IHotKeyService> hotKey;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    service.run([&] {
        hotKey = create<IHotKeyService>(CLSID_KeyboardHotKeySim);
        ASSERT_TRUE(hotKey);
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(hotKey.As(&container), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(DIID_IHotKeyEvents, &point), S_OK);
        ASSERT_EQ(point->Advise(static_cast<IDispatch*>(&sink), &cookie), S_OK);
    });
    EXPECT_EQ(sim.advisedSinks(), 1);
    EXPECT_EQ(sink.refs, 1);

    const HotKeySimRaiseResult hit = sim.hotKeyHit(7, -1, 300);   // from a thread not the component's
    EXPECT_EQ(hit.status, S_OK);
    EXPECT_EQ(hit.objects, 1);
    EXPECT_EQ(hit.sinks, 1);
    EXPECT_EQ(hit.invokeResults[0], S_OK);
    EXPECT_EQ(sim.keyboardFailed().sinks, 1);
    HotKeySimEventArgs raw = HotKeySim::event(-5);
    raw.argCount = 1000;
    raw.nullArgs = TRUE;
    EXPECT_EQ(sim.raise(raw).invokeResults[0], DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(sim.keyboardDetached(true).sinks, 1);
    EXPECT_EQ(sim.waitForPosted(), S_OK);
    service.run([&] { EXPECT_EQ(sim.hotKeyHit(4, 5, 6).sinks, 1); });   // on its own thread: no deadlock

    const auto hits = sink.received();
    ASSERT_EQ(hits.size(), 5u);
    EXPECT_EQ(hits[0].dispid, 1);
    ASSERT_EQ(hits[0].args.size(), 3u);
    const int32_t lastFirst[] = {300, -1, 7};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(hits[0].args[i].vt, VT_I4);
        EXPECT_EQ(hits[0].args[i].lVal, lastFirst[i]);
    }
    EXPECT_TRUE(hits[0].guardedEnd);
    EXPECT_EQ(hits[1].dispid, 2);
    EXPECT_EQ(hits[1].argCount, 0u);
    EXPECT_TRUE(hits[1].guardedEnd);
    EXPECT_EQ(hits[2].dispid, -5);
    EXPECT_EQ(hits[2].argCount, 1000u);
    EXPECT_TRUE(hits[2].nullArgs);
    EXPECT_EQ(hits[3].dispid, 3);
    EXPECT_EQ(hits[4].args[2].lVal, 4);
    for (const auto& received : hits)
        EXPECT_EQ(received.threadId, service.id());

    service.run([&] {
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
        EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
    });
    EXPECT_EQ(sim.advisedSinks(), 0);
    EXPECT_EQ(sink.refs, 0);
    EXPECT_EQ(sim.keyboardFailed().objects, 0);
    service.run([&] {
        point.Reset();
        hotKey.Reset();
    });
    EXPECT_EQ(sim.outstandingRefs(), 0);
    EXPECT_EQ(sim.liveObjects(), 0);
}

// Each start-up step the bridge takes fails with exactly the scripted result.
TEST_F(HotKeySimulator, ScriptedStartUpFailures)
{
    RecordingSink sink;
    const HRESULT failure = static_cast<HRESULT>(0x8004F00D);
    struct Step {
        const char* name;
        HRESULT HotKeySimScript::*field;
        std::function<HRESULT(IHotKeyService*)> take;
    };
    const Step steps[] = {
        {"marshal", &HotKeySimScript::marshalResult,
         [](IHotKeyService* hotKey) {
             IStream* stream = reinterpret_cast<IStream*>(1);
             const HRESULT result = CoMarshalInterThreadInterfaceInStream(IID_IHotKeyService, hotKey, &stream);
             if (FAILED(result)) {
                 EXPECT_EQ(stream, nullptr);
             } else {
                 ComPtr<IHotKeyService> same;
                 EXPECT_EQ(CoGetInterfaceAndReleaseStream(stream, IID_IHotKeyService, &same), S_OK);
             }
             return result;
         }},
        {"container", &HotKeySimScript::queryContainerResult,
         [](IHotKeyService* hotKey) {
             ComPtr<IConnectionPointContainer> container;
             return hotKey->QueryInterface(IID_PPV_ARGS(&container));
         }},
        {"soft key", &HotKeySimScript::querySoftKeyResult,
         [](IHotKeyService* hotKey) {
             ComPtr<ISoftKey> softKey;
             return hotKey->QueryInterface(IID_PPV_ARGS(&softKey));
         }},
        {"find", &HotKeySimScript::findConnectionPointResult,
         [](IHotKeyService* hotKey) {
             ComPtr<IConnectionPointContainer> container;
             ComPtr<IConnectionPoint> point;
             EXPECT_EQ(hotKey->QueryInterface(IID_PPV_ARGS(&container)), S_OK);
             return container->FindConnectionPoint(DIID_IHotKeyEvents, &point);
         }},
        {"advise", &HotKeySimScript::adviseResult,
         [&sink](IHotKeyService* hotKey) {
             ComPtr<IConnectionPointContainer> container;
             ComPtr<IConnectionPoint> point;
             EXPECT_EQ(hotKey->QueryInterface(IID_PPV_ARGS(&container)), S_OK);
             EXPECT_EQ(container->FindConnectionPoint(DIID_IHotKeyEvents, &point), S_OK);
             DWORD cookie = 1;
             return point->Advise(static_cast<IDispatch*>(&sink), &cookie);
         }},
    };
    for (const Step& step : steps) {
        for (HRESULT scripted : {S_OK, failure}) {
            HotKeySimScript script;
            script.*step.field = scripted;
            sim.setScript(script);
            ComPtr<IHotKeyService> hotKey = create<IHotKeyService>(CLSID_KeyboardHotKeySim);
            ASSERT_TRUE(hotKey);
            EXPECT_EQ(step.take(hotKey.Get()), scripted) << step.name;
        }
        EXPECT_EQ(sim.outstandingRefs(), 0) << step.name;
        EXPECT_EQ(sim.advisedSinks(), 0) << step.name;
    }
    EXPECT_EQ(sim.calls(HotKeySimAdvise).at(1).args[0], 0);   // a failed Advise gives no cookie
    EXPECT_EQ(sink.refs, 0);
}

TEST_F(HotKeySimulator, RefillOfTheCallersCopyFailsAsScriptedWhileItsCallsReachTheObject)
{
    for (bool multithreaded : {false, true}) {
        SCOPED_TRACE(multithreaded ? "multithreaded caller" : "single-threaded caller");
        sim.reset();
        HotKeySimScript script;
        script.registerStandardResult = E_ACCESSDENIED;
        expectRefusedRefill<IHotKeyService>(sim, CLSID_KeyboardHotKeySim, script, HotKeySimMarshal,
                                            HotKeySimRegisterStandard, multithreaded, [](IHotKeyService* copy) {
                                                EXPECT_EQ(copy->RegisterStandard(INT32_MIN, -1, 9), E_ACCESSDENIED);
                                            });
        const HotKeySimCall registered = sim.calls(HotKeySimRegisterStandard).at(0);
        EXPECT_EQ(registered.args[0], INT32_MIN);
        EXPECT_EQ(registered.args[1], -1);
        EXPECT_EQ(registered.args[2], 9);
    }
}

TEST_F(HotKeySimulator, SoftKeySharesTheObjectAndRecordsItsRelease)
{
    ComPtr<IHotKeyService> hotKey = create<IHotKeyService>(CLSID_KeyboardHotKeySim);
    ASSERT_TRUE(hotKey);
    ComPtr<ISoftKey> softKey;
    ASSERT_EQ(hotKey.As(&softKey), S_OK);
    EXPECT_EQ(sim.counts().softKeyRefs, 1);
    EXPECT_EQ(sim.outstandingRefs(), 2);
    ComPtr<IUnknown> fromSoftKey, fromService;
    softKey.As(&fromSoftKey);
    hotKey.As(&fromService);
    EXPECT_EQ(fromSoftKey, fromService);   // one COM identity
    fromSoftKey.Reset();
    fromService.Reset();
    softKey.Reset();
    EXPECT_EQ(sim.counts().softKeyRefs, 0);
    const auto released = sim.calls(HotKeySimSoftKeyRelease);
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0].args[0], 0);
    hotKey.Reset();
    EXPECT_EQ(sim.outstandingRefs(), 0);
}

} // namespace
