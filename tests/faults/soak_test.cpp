// 20,000 calls through each library, then the component's outstanding references and the
// process's open handles of named object types are exactly where they were after the first call
// (which made the calling thread's apartment). These are counts, not times.
#include <gtest/gtest.h>

#include <cstdio>

#include "chord_gate_service.h"
#include "host_fixture.h"
#include "hotkey_sim_control.h"
#include "process_counts.h"
#include "tone_port.h"
#include "tone_sim_control.h"

namespace {

constexpr int kCalls = 20000;

struct Held {
    int refs;
    long handles;
};

template <class Sim>
Held held(const Sim& sim) {
    return {sim.outstandingRefs(), process_counts::namedHandles()};
}

template <class Sim>
Held heldAgain(const Sim& sim, const Held& before) {
    return {sim.outstandingRefs(), process_counts::namedHandlesOnceSettledAt(before.handles)};
}

void print(const char* what, const Held& before, const Held& after,
           const std::map<USHORT, std::wstring>& typesBefore) {
    std::printf("%s: component references %d -> %d, named handles %ld -> %ld\n", what, before.refs, after.refs,
                before.handles, after.handles);
    for (const auto& [handle, type] : process_counts::handleTypes())
        if (!typesBefore.count(handle)) std::printf("  new handle %#x: %ls\n", handle, type.c_str());
}

TEST(Soak, TwentyThousandPlaysLeaveReferencesAndHandlesAsTheyWere) {
    const ToneSim sim = ToneSim::load();
    TonePort tone;
    JNIEnv* env = host().env();
    ASSERT_EQ(tone.Init(env, host().receiver()), 0);
    ASSERT_EQ(tone.playBellTone(env, host().receiver()), 0);
    const Held before = held(sim);
    const auto typesBefore = process_counts::handleTypes();
    ASSERT_GT(before.handles, 0) << "the handle count cannot be read";

    int failed = 0;
    for (int i = 0; i < kCalls; ++i) failed += tone.playBellTone(env, host().receiver()) != 0;

    const Held after = heldAgain(sim, before);
    print("20000 playBellTone", before, after, typesBefore);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(after.refs, before.refs);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(sim.calls(ToneSimPlayTone).size(), size_t(kCalls + 1));
    EXPECT_NO_JNI_VIOLATIONS();
}

TEST(Soak, TwentyThousandRegistrationsLeaveReferencesAndHandlesAsTheyWere) {
    const HotKeySim sim = HotKeySim::load();
    ChordGateService gate;
    JNIEnv* env = host().env();
    ASSERT_EQ(gate.Init(env, host().receiver()), 0);
    ASSERT_EQ(gate.RegisterStandard(env, host().receiver(), 1, 2, 3), 0);
    const Held before = held(sim);
    const auto typesBefore = process_counts::handleTypes();
    ASSERT_GT(before.handles, 0) << "the handle count cannot be read";

    int failed = 0;
    for (int i = 0; i < kCalls; ++i) failed += gate.RegisterStandard(env, host().receiver(), i, -i, 7) != 0;

    const Held after = heldAgain(sim, before);
    print("20000 RegisterStandard", before, after, typesBefore);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(after.refs, before.refs);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(sim.calls(HotKeySimRegisterStandard).size(), size_t(kCalls + 1));
    EXPECT_EQ(host().diagnostics().size(), 1u) << "only Init's";
    EXPECT_NO_JNI_VIOLATIONS();
}

}  // namespace
