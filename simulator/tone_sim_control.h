// Control of the simulated keyboard tone component (KeyboardToneSim.dll), class
// {CA496F42-1037-11D2-83F8-00A0C989653B} with IToneDevice.
//
//   auto sim = ToneSim::load();              // the DLL COM has registered, same module instance
//   ToneSimScript script;
//   script.openPortFlag = VARIANT_FALSE;
//   sim.setScript(script);                   // before the library creates the component
//   ... run the library ...
//   sim.calls(ToneSimPlayTone);  sim.outstandingRefs();  sim.wrongThreadCalls();
//
// Each script field is read when it is used: the creation fields by the next creation, the
// method results by each call, so a test may change them between calls. reset() restores the
// defaults and forgets the recorded calls (live objects and their references stay).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <vector>

#define TONE_SIM_CLSID_STRING L"{CA496F42-1037-11D2-83F8-00A0C989653B}"

struct ToneSimScript {
    DWORD createDelayMs = 0;            // the class factory sleeps this long before creating
    HRESULT createResult = S_OK;        // a failure makes CreateInstance fail with it (no object)
    VARIANT_BOOL openPortFlag = VARIANT_TRUE;   // written to OpenPort's outcome flag
    HRESULT openPortResult = S_OK;              // returned by OpenPort
    VARIANT_BOOL playToneFlag = VARIANT_TRUE;   // written to PlayTone's outcome flag
    HRESULT playToneResult = S_OK;              // returned by PlayTone
    BOOL playToneLeavesFlag = FALSE;    // PlayTone returns playToneResult without writing the flag
                                        // (through a proxy the caller then gets the stub's zero)
    HRESULT marshalResult = S_OK;       // a failure: the object offers IMarshal whose methods fail
                                        // with it, so CoMarshalInterThreadInterfaceInStream does
    HRESULT remarshalResult = S_OK;     // a failure: the object marshals by a custom class whose
                                        // unmarshalled copy forwards the calls to the object (on
                                        // its thread) but refuses to be marshalled again with it
};

enum ToneSimMethod : int32_t {
    ToneSimCreate = 1,   // CreateInstance (value: 0; result: what it returned)
    ToneSimOpenPort,     // text: the port name
    ToneSimPlayTone,     // text: the tone name; value: the mode argument
    ToneSimDestroy,      // an object's last reference went away
    ToneSimMarshal,      // a scripted IMarshal method failed; result: its failure
};

enum { ToneSimMaxText = 128 };

struct ToneSimCall {
    int32_t method;                 // ToneSimMethod
    wchar_t text[ToneSimMaxText];   // the string argument, zero-terminated, cut to fit
    int32_t textLength;             // its full length in characters; -1 for a null pointer
    int32_t value;                  // the integer argument, else 0
    HRESULT result;                 // what the call returned
    DWORD threadId;                 // the OS thread the call ran on
    uint32_t objectId;              // 1, 2, ... in creation order since load (0: none created)
};

struct ToneSimCounts {
    int32_t liveObjects;        // components alive now, with the copies unmarshalled under
                                // remarshalResult (which are not in objectsCreated)
    int32_t outstandingRefs;    // references held on all of them
    int32_t objectsCreated;     // since load or the last reset
    int32_t wrongThreadCalls;   // since load or the last reset: calls made on a component's own
                                // pointer on another thread than the one that created it
    int32_t creationsBegun;     // since load or the last reset: creations entered, finished or not
};

extern "C" {
void ToneSim_Reset(void);
void ToneSim_SetScript(const ToneSimScript* script);
// Copies up to capacity recorded calls, oldest first; returns how many are recorded.
int32_t ToneSim_GetCalls(ToneSimCall* calls, int32_t capacity);
void ToneSim_GetCounts(ToneSimCounts* counts);
}

#include "sim_client.h"

class ToneSim {
public:
    // Throws std::runtime_error when the component is not registered or not the simulator.
    static ToneSim load()
    {
        ToneSim sim;
        sim.module_ = simclient::loadRegisteredServer(TONE_SIM_CLSID_STRING, sim.path_);
        sim.reset_ = simclient::resolve<decltype(&ToneSim_Reset)>(sim.module_, "ToneSim_Reset");
        sim.setScript_ = simclient::resolve<decltype(&ToneSim_SetScript)>(sim.module_, "ToneSim_SetScript");
        sim.getCalls_ = simclient::resolve<decltype(&ToneSim_GetCalls)>(sim.module_, "ToneSim_GetCalls");
        sim.getCounts_ = simclient::resolve<decltype(&ToneSim_GetCounts)>(sim.module_, "ToneSim_GetCounts");
        return sim;
    }

    void reset() const { reset_(); }
    void setScript(const ToneSimScript& script) const { setScript_(&script); }

    std::vector<ToneSimCall> calls() const
    {
        std::vector<ToneSimCall> result(static_cast<size_t>(getCalls_(nullptr, 0)));
        result.resize(static_cast<size_t>(getCalls_(result.data(), static_cast<int32_t>(result.size()))));
        return result;
    }
    std::vector<ToneSimCall> calls(ToneSimMethod method) const
    {
        std::vector<ToneSimCall> result;
        for (const ToneSimCall& call : calls())
            if (call.method == method)
                result.push_back(call);
        return result;
    }

    ToneSimCounts counts() const
    {
        ToneSimCounts counts{};
        getCounts_(&counts);
        return counts;
    }
    int32_t outstandingRefs() const { return counts().outstandingRefs; }
    int32_t liveObjects() const { return counts().liveObjects; }
    int32_t wrongThreadCalls() const { return counts().wrongThreadCalls; }

    const std::wstring& path() const { return path_; }

private:
    ToneSim() = default;

    simclient::Module module_;
    std::wstring path_;
    decltype(&ToneSim_Reset) reset_ = nullptr;
    decltype(&ToneSim_SetScript) setScript_ = nullptr;
    decltype(&ToneSim_GetCalls) getCalls_ = nullptr;
    decltype(&ToneSim_GetCounts) getCounts_ = nullptr;
};
