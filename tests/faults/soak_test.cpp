// 20,000 calls through each library, then the component's outstanding references and the
// 20,000 calls through each library, then the component's outstanding references and the
// process's open handles of named object types are exactly where they were after the first call
// (which made the calling thread's apartment); and 20 rounds of set-up, a call and clean-up
// through each, after each of which nothing the library made is left. These are counts, not
// times. Where the build's programs run emulated the calls are 2,000 (QL_SOAK_CALLS, from
// cmake/TimeScale.cmake): a call that leaks shows after one, and the native build soaks the same
// code at full length; the emulated run still shows that the build's own code does not leak.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "chord_gate_service.h"
#include "host_fixture.h"
#include "hotkey_sim_control.h"
#include "process_counts.h"
#include "tone_port.h"
#include "tone_sim_control.h"

namespace {

#ifndef QL_SOAK_CALLS
#define QL_SOAK_CALLS 20000
#endif
constexpr int kCalls = QL_SOAK_CALLS;
constexpr int kNativeCalls = 20000;

// Says so when this build soaks shorter than the native one.
void sayWhenShortened() {
    if (kCalls < kNativeCalls)
        std::printf("%d calls, not %d: this build's programs run emulated (the native build soaks at full length)\n",
                    kCalls, kNativeCalls);
}

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

TEST(Soak, ThousandsOfPlaysLeaveReferencesAndHandlesAsTheyWere) {
    sayWhenShortened();
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
    print((std::to_string(kCalls) + " playBellTone").c_str(), before, after, typesBefore);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(after.refs, before.refs);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(sim.calls(ToneSimPlayTone).size(), size_t(kCalls + 1));
    EXPECT_NO_JNI_VIOLATIONS();
}

TEST(Soak, ThousandsOfRegistrationsLeaveReferencesAndHandlesAsTheyWere) {
    sayWhenShortened();
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
    print((std::to_string(kCalls) + " RegisterStandard").c_str(), before, after, typesBefore);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(after.refs, before.refs);
    EXPECT_EQ(after.handles, before.handles);
    EXPECT_EQ(sim.calls(HotKeySimRegisterStandard).size(), size_t(kCalls + 1));
    EXPECT_EQ(host().diagnostics().size(), 1u) << "only Init's";
    EXPECT_NO_JNI_VIOLATIONS();
}

constexpr int kRounds = 20;

// Handles after the first round (which started the service thread and made the calling thread's
// apartment) and after the last.
void expectHandlesAsAfterTheFirstRound(const char* what, long first, long last) {
    std::printf("%d rounds of %s: named handles after the first %ld, after the last %ld\n", kRounds, what, first,
                last);
    EXPECT_GT(first, 0) << "the handle count cannot be read";
    EXPECT_EQ(last, first);
}

TEST(Soak, TwentyRoundsOfInitPlayCleanupLeaveNothingBehind) {
    const ToneSim sim = ToneSim::load();
    TonePort tone;
    JNIEnv* env = host().env();
    long first = 0;
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(tone.Init(env, host().receiver()), 0);
        EXPECT_EQ(tone.playBellTone(env, host().receiver()), 0);
        EXPECT_EQ(tone.cleanup(env, host().receiver()), 0);
        EXPECT_EQ(sim.liveObjects(), 0);
        EXPECT_EQ(sim.outstandingRefs(), 0);
        EXPECT_TRUE(host().nonDaemonThreadsBesidesCallers().empty());
        if (round == 1) first = process_counts::namedHandles();
    }
    expectHandlesAsAfterTheFirstRound("Init, playBellTone, cleanup", first,
                                      process_counts::namedHandlesOnceSettledAt(first));
    const auto created = sim.calls(ToneSimCreate);
    ASSERT_EQ(created.size(), size_t(kRounds));
    for (const ToneSimCall& creation : created) EXPECT_EQ(creation.threadId, created[0].threadId);
    EXPECT_EQ(sim.calls(ToneSimOpenPort).size(), size_t(kRounds)) << "the port opened again in every round";
    EXPECT_NO_JNI_VIOLATIONS();
}

// In every round a hit reaches the listener exactly once, never again through an earlier round's
// sink; after each clean-up no event reaches it.
TEST(Soak, TwentyRoundsOfInitRegisterHitCleanupLeaveNothingBehind) {
    const HotKeySim sim = HotKeySim::load();
    ChordGateService gate;
    JNIEnv* env = host().env();
    ASSERT_EQ(gate.RegisterListener(env, host().receiver(), host().newListener()), 0);
    long first = 0;
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(gate.Init(env, host().receiver()), 0);
        EXPECT_EQ(gate.RegisterStandard(env, host().receiver(), round, -round, 7), 0);
        EXPECT_EQ(sim.hotKeyHit(round, 0, 0).sinks, 1);
        EXPECT_EQ(host().listenerCalls().size(), size_t(round));
        EXPECT_EQ(host().listenerCalls().back().args, (std::vector<jlong>{round, 0, 0}));
        EXPECT_EQ(gate.Cleanup(env, host().receiver()), 0);

        EXPECT_EQ(sim.hotKeyHit(-1, -1, -1).sinks, 0);
        EXPECT_EQ(sim.keyboardFailed().sinks, 0);
        EXPECT_EQ(sim.keyboardDetached().sinks, 0);
        EXPECT_EQ(host().listenerCalls().size(), size_t(round));
        EXPECT_EQ(sim.liveObjects(), 0);
        EXPECT_EQ(sim.outstandingRefs(), 0);
        EXPECT_EQ(sim.advisedSinks(), 0);
        EXPECT_EQ(gate.LiveEventSinks(), 0);
        EXPECT_TRUE(host().nonDaemonThreadsBesidesCallers().empty());
        if (round == 1) first = process_counts::namedHandles();
    }
    expectHandlesAsAfterTheFirstRound("Init, RegisterStandard, a hit, Cleanup", first,
                                      process_counts::namedHandlesOnceSettledAt(first));
    EXPECT_EQ(sim.calls(HotKeySimCreate).size(), size_t(kRounds));
    EXPECT_EQ(sim.calls(HotKeySimUnadvise).size(), size_t(kRounds));
    EXPECT_NO_JNI_VIOLATIONS();
}

}  // namespace
