// Control of the simulated keyboard hot-key component (KeyboardHotKeySim.dll), class
// {35A4F3B4-B4C9-11D0-B0B8-0020AF1D176A} with IHotKeyService, ISoftKey and the connection
// point for the dispinterface IHotKeyEvents.
//
//   auto sim = HotKeySim::load();             // the DLL COM has registered, same module instance
//   HotKeySimScript script;
//   script.registerStandardResult = E_FAIL;
//   sim.setScript(script);                    // before the library creates the component
//   ... run the library's start-up ...
//   sim.hotKeyHit(7, -1, 300);                // the sinks have run when this returns
//   sim.calls(HotKeySimRegisterStandard);  sim.outstandingRefs();  sim.advisedSinks();
//   sim.wrongThreadCalls();
//
// Events are raised on the thread that created the component (through a message-only window
// it owns), so that thread must pump messages, as the library's service thread does. Each
// script field is read when it is used (creation fields by the next creation, the others by
// each call), so a test may change them between calls. reset() restores the defaults and
// forgets the recorded calls (live objects, their references and sinks stay).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#define HOTKEY_SIM_CLSID_STRING L"{35A4F3B4-B4C9-11D0-B0B8-0020AF1D176A}"

struct HotKeySimScript {
    HRESULT createResult = S_OK;        // a failure: CreateInstance fails with it (no object);
                                        // another success code: the object comes with it (Wine's
                                        // CoCreateInstance turns that into S_OK for its caller)
    DWORD createDelayMs = 0;            // the class factory sleeps this long before creating
    HRESULT queryContainerResult = S_OK;    // a failure: QueryInterface for IConnectionPointContainer
    HRESULT querySoftKeyResult = S_OK;      // a failure: QueryInterface for ISoftKey
    HRESULT findConnectionPointResult = S_OK;   // a failure: FindConnectionPoint for IHotKeyEvents
    HRESULT adviseResult = S_OK;        // returned by Advise; with a failure the sink is not kept
    HRESULT marshalResult = S_OK;       // a failure: the object offers IMarshal whose methods fail
                                        // with it, so CoMarshalInterThreadInterfaceInStream does
    HRESULT registerStandardResult = S_OK;
    HRESULT unregisterHotResult = S_OK;
    HRESULT unregisterAllHotResult = S_OK;
    HRESULT remarshalResult = S_OK;     // a failure: the object marshals by a custom class whose
                                        // unmarshalled copy forwards the calls to the object (on
                                        // its thread) but refuses to be marshalled again with it
                                        // (recorded as HotKeySimMarshal)
};

enum HotKeySimMethod : int32_t {
    HotKeySimCreate = 1,            // CreateInstance; result: what it returned
    HotKeySimQueryContainer,        // QueryInterface for IConnectionPointContainer
    HotKeySimQuerySoftKey,          // QueryInterface for ISoftKey
    HotKeySimMarshal,               // a scripted IMarshal method failed
    HotKeySimFindConnectionPoint,   // args[0]: 1 when asked for IHotKeyEvents, else 0
    HotKeySimAdvise,                // args[0]: the cookie given (0 on failure)
    HotKeySimUnadvise,              // args[0]: the cookie asked for
    HotKeySimRegisterStandard,      // args: the three arguments
    HotKeySimUnregisterHot,         // args: the two arguments
    HotKeySimUnregisterAllHot,
    HotKeySimSoftKeyRelease,        // Release through ISoftKey; args[0]: ISoftKey references left
    HotKeySimEvent,                 // an event raised; args[0]: DISPID, args[1]: sinks invoked,
                                    // argCount: cArgs; result: the first sink's Invoke result
    HotKeySimDestroy,               // an object's last reference went away
};

struct HotKeySimCall {
    int32_t method;         // HotKeySimMethod
    int32_t args[3];        // the 32-bit arguments exactly as received
    int32_t argCount;
    HRESULT result;         // what the call returned
    DWORD threadId;         // the OS thread the call ran on
    uint32_t objectId;      // 1, 2, ... in creation order since load
};

struct HotKeySimCounts {
    int32_t liveObjects;        // service objects alive now, with the copies unmarshalled under
                                // remarshalResult (which are not in objectsCreated)
    int32_t outstandingRefs;    // references on all of them, connection points and ISoftKey included
    int32_t softKeyRefs;        // of those, the references taken through ISoftKey
    int32_t advisedSinks;       // sinks the connection points hold
    int32_t objectsCreated;     // since load or the last reset
    int32_t wrongThreadCalls;   // since load or the last reset: calls made on a component's own
                                // pointer on another thread than the one that created it
    int32_t creationsBegun;     // since load or the last reset: creations entered, finished or not
};

enum { HotKeySimMaxArgs = 8, HotKeySimMaxSinks = 8 };

// An event as Invoke receives it. Arguments are last-first, as IDispatch lays them out:
// args[0] is the last argument. The array handed to Invoke ends exactly at an inaccessible
// page, so a sink that reads past argCount arguments faults.
struct HotKeySimEventArgs {
    DISPID dispid;
    UINT argCount;                      // cArgs; at most HotKeySimMaxArgs unless nullArgs
    VARIANT args[HotKeySimMaxArgs];     // the first argCount are copied (VariantCopy)
    BOOL nullArgs;                      // hand Invoke a null rgvarg, with argCount as cArgs
};

struct HotKeySimRaiseResult {
    HRESULT status;     // S_OK; E_INVALIDARG; HRESULT_FROM_WIN32(ERROR_TIMEOUT) when a component's
                        // thread did not take a synchronous event within 10 s
    int32_t objects;    // service objects with advised sinks that the event went to
    int32_t sinks;      // sinks invoked (posted: sinks advised when it was posted)
    HRESULT invokeResults[HotKeySimMaxSinks];   // of the first sinks; synchronous raise only
};

extern "C" {
void HotKeySim_Reset(void);
void HotKeySim_SetScript(const HotKeySimScript* script);
// Copies up to capacity recorded calls, oldest first; returns how many are recorded.
int32_t HotKeySim_GetCalls(HotKeySimCall* calls, int32_t capacity);
void HotKeySim_GetCounts(HotKeySimCounts* counts);
// Raises an event on every live object that has sinks, each on its creating thread: sent
// (returns after the sinks ran) or, with post nonzero, posted. Safe when no object exists.
void HotKeySim_Raise(const HotKeySimEventArgs* event, BOOL post, HotKeySimRaiseResult* result);
// Waits until the events posted so far have been handled; S_OK or HRESULT_FROM_WIN32(ERROR_TIMEOUT).
HRESULT HotKeySim_WaitForPosted(DWORD timeoutMs);
}

#include "sim_client.h"

class HotKeySim {
public:
    // Throws std::runtime_error when the component is not registered or not the simulator.
    static HotKeySim load()
    {
        HotKeySim sim;
        sim.module_ = simclient::loadRegisteredServer(HOTKEY_SIM_CLSID_STRING, sim.path_);
        sim.reset_ = simclient::resolve<decltype(&HotKeySim_Reset)>(sim.module_, "HotKeySim_Reset");
        sim.setScript_ = simclient::resolve<decltype(&HotKeySim_SetScript)>(sim.module_, "HotKeySim_SetScript");
        sim.getCalls_ = simclient::resolve<decltype(&HotKeySim_GetCalls)>(sim.module_, "HotKeySim_GetCalls");
        sim.getCounts_ = simclient::resolve<decltype(&HotKeySim_GetCounts)>(sim.module_, "HotKeySim_GetCounts");
        sim.raise_ = simclient::resolve<decltype(&HotKeySim_Raise)>(sim.module_, "HotKeySim_Raise");
        sim.waitForPosted_ =
            simclient::resolve<decltype(&HotKeySim_WaitForPosted)>(sim.module_, "HotKeySim_WaitForPosted");
        return sim;
    }

    void reset() const { reset_(); }
    void setScript(const HotKeySimScript& script) const { setScript_(&script); }

    std::vector<HotKeySimCall> calls() const
    {
        std::vector<HotKeySimCall> result(static_cast<size_t>(getCalls_(nullptr, 0)));
        result.resize(static_cast<size_t>(getCalls_(result.data(), static_cast<int32_t>(result.size()))));
        return result;
    }
    std::vector<HotKeySimCall> calls(HotKeySimMethod method) const
    {
        std::vector<HotKeySimCall> result;
        for (const HotKeySimCall& call : calls())
            if (call.method == method)
                result.push_back(call);
        return result;
    }

    HotKeySimCounts counts() const
    {
        HotKeySimCounts counts{};
        getCounts_(&counts);
        return counts;
    }
    int32_t outstandingRefs() const { return counts().outstandingRefs; }
    int32_t advisedSinks() const { return counts().advisedSinks; }
    int32_t liveObjects() const { return counts().liveObjects; }
    int32_t wrongThreadCalls() const { return counts().wrongThreadCalls; }

    // An event whose VT_I4 arguments are given in declaration order (stored last-first).
    static HotKeySimEventArgs event(DISPID dispid, std::initializer_list<int32_t> argsInOrder = {})
    {
        HotKeySimEventArgs event{};
        event.dispid = dispid;
        const size_t maxArgs = HotKeySimMaxArgs;
        event.argCount = static_cast<UINT>(argsInOrder.size() < maxArgs ? argsInOrder.size() : maxArgs);
        const int32_t* value = argsInOrder.begin();
        for (UINT index = event.argCount; index > 0; --index, ++value) {
            event.args[index - 1].vt = VT_I4;
            event.args[index - 1].lVal = *value;
        }
        return event;
    }

    HotKeySimRaiseResult raise(const HotKeySimEventArgs& event, bool post = false) const
    {
        HotKeySimRaiseResult result{};
        raise_(&event, post, &result);
        return result;
    }
    HotKeySimRaiseResult hotKeyHit(int32_t first, int32_t second, int32_t third, bool post = false) const
    {
        return raise(event(1, {first, second, third}), post);
    }
    HotKeySimRaiseResult keyboardFailed(bool post = false) const { return raise(event(2), post); }
    HotKeySimRaiseResult keyboardDetached(bool post = false) const { return raise(event(3), post); }
    HRESULT waitForPosted(DWORD timeoutMs = 10000) const { return waitForPosted_(timeoutMs); }

    const std::wstring& path() const { return path_; }

private:
    HotKeySim() = default;

    simclient::Module module_;
    std::wstring path_;
    decltype(&HotKeySim_Reset) reset_ = nullptr;
    decltype(&HotKeySim_SetScript) setScript_ = nullptr;
    decltype(&HotKeySim_GetCalls) getCalls_ = nullptr;
    decltype(&HotKeySim_GetCounts) getCounts_ = nullptr;
    decltype(&HotKeySim_Raise) raise_ = nullptr;
    decltype(&HotKeySim_WaitForPosted) waitForPosted_ = nullptr;
};
