// Bad input through the whole hot-key path: the simulated component raises seeded random events
// (identifiers, argument counts, a null argument array, argument types) on ChordGate.dll's sink,
// with the argument array ending at an inaccessible page, and the Java listener must receive
// exactly the well-formed ones.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chord_gate_service.h"
#include "fuzz_support.h"
#include "host_fixture.h"
#include "hotkey_sim_control.h"

namespace {

constexpr int kEvents = 2000;

// Four-byte types whose value VariantCopy copies whole, so the value read is the value raised.
const VARTYPE kTypes[] = {VT_I4, VT_I4, VT_UI4, VT_INT, VT_UINT, VT_ERROR, VT_R4};
const DISPID kDispids[] = {1, 1, 1, 2, 3, 0, -1, 4, 0x7FFFFFFF};

TEST(HotKeyEventFuzz, OnlyWellFormedEventsReachTheListener) {
    const std::uint32_t seed = fuzz::seed(20261213);
    fuzz::Random random(seed);
    fuzz::CrashReport crashReport;
    HotKeySim sim = HotKeySim::load();
    sim.reset();
    ChordGateService gate;
    jobject listener = host().newListener();
    ASSERT_EQ(gate.RegisterListener(host().env(), host().receiver(), listener), 0);
    ASSERT_EQ(gate.Init(host().env(), host().receiver()), 0);

    std::vector<std::string> expected;  // the listener calls, as text
    for (int n = 0; n < kEvents; ++n) {
        HotKeySimEventArgs event{};
        event.dispid = random.pick(kDispids);
        event.argCount = UINT(random.between(0, HotKeySimMaxArgs));
        event.nullArgs = random.chance(0.05);
        for (UINT i = 0; i < event.argCount; ++i) {
            event.args[i].vt = random.pick(kTypes);
            event.args[i].lVal = LONG(random.bits());
        }
        fuzz::currentCase() = "seed " + std::to_string(seed) + " event " + std::to_string(n) + ": dispid " +
                              std::to_string(event.dispid) + ", " + std::to_string(event.argCount) + " arguments" +
                              (event.nullArgs ? " in a null array" : "");
        SCOPED_TRACE(fuzz::currentCase());

        const HotKeySimRaiseResult raised = sim.raise(event);
        ASSERT_EQ(raised.status, S_OK);
        ASSERT_EQ(raised.sinks, 1);
        const bool hit = event.dispid == 1;
        const bool wellFormedHit = hit && !event.nullArgs && event.argCount >= 3;
        if (wellFormedHit) {
            const VARIANT* args = event.args;  // last argument first
            expected.push_back("HotKeyHit(" + std::to_string(jlong{args[2].lVal}) + "," +
                               std::to_string(jlong{args[1].lVal}) + "," + std::to_string(jlong{args[0].lVal}) + ")");
        } else if (event.dispid == 2) {
            expected.push_back("KBFailed()");
        } else if (event.dispid == 3) {
            expected.push_back("KBDetached()");
        }
        const HRESULT sinkResult = raised.invokeResults[0];
        const HRESULT expectedResult = hit ? (wellFormedHit ? S_OK : DISP_E_BADPARAMCOUNT)
                                       : (event.dispid == 2 || event.dispid == 3) ? S_OK
                                                                                   : DISP_E_UNKNOWNINTERFACE;
        ASSERT_EQ(sinkResult, expectedResult);
    }

    std::vector<std::string> received;
    for (const jnihost::ListenerCall& call : host().listenerCalls()) {
        std::string text = call.method + "(";
        for (size_t i = 0; i < call.args.size(); ++i) text += (i ? "," : "") + std::to_string(call.args[i]);
        received.push_back(text + ")");
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(gate.RegisterStandard(host().env(), host().receiver(), 1, 2, 3), 0) << "the service thread serves on";
    EXPECT_NO_JNI_VIOLATIONS();
    std::printf("%d events raised (seed %u): %zu reached the listener\n", kEvents, seed, expected.size());
}

}  // namespace
