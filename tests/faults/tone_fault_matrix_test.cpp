// TonePort.dll's fault matrix: every start-up step failing, every component method failing,
// callers in the multithreaded apartment, and orders of calls nobody plans for. Each row runs in
// a process of its own; every call must come back, with its documented value and diagnostics,
// and the host must have seen no JNI misuse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_matrix.h"
#include "host_fixture.h"
#include "scenario_helpers.h"
#include "time_scale.h"
#include "new_threads_in_mta.h"
#include "tone_port.h"
#include "tone_sim_control.h"

namespace {

using fault_matrix::runSteps;

class ToneFaults;
using Step = fault_matrix::Step<ToneFaults>;

struct ToneRow {
    const char* name;
    ToneSimScript script;
    std::vector<Step> steps;
    DWORD budgetMs = 5000;
};
void PrintTo(const ToneRow& row, std::ostream* out) { *out << row.name; }

class ToneFaults : public ::testing::TestWithParam<ToneRow> {
public:
    jlong init() { return tone.Init(host().env(), host().receiver()); }
    jlong initWithServiceThreadInMta() {
        new_threads_in_mta::arm(true);
        const jlong status = init();
        new_threads_in_mta::arm(false);
        return status;
    }
    jlong cleanup() { return tone.cleanup(host().env(), host().receiver()); }
    jlong play() { return tone.playBellTone(host().env(), host().receiver()); }
    jlong playInMta() { return inMta(tone.playBellTone); }
    jlong cleanupInMta() { return inMta(tone.cleanup); }
    jlong componentsCreated() { return sim.counts().objectsCreated; }
    jlong creationsBegun() { return sim.counts().creationsBegun; }
    // 0 once the first creation has returned, bounded at 10 s (on a native build).
    jlong lateStartUpEnds() {
        for (DWORD tries = 0; tries < 100 * timeScale(); ++tries, Sleep(100))
            if (sim.counts().objectsCreated > 0) return 0;
        return 1;
    }
    jlong componentsAlive() { return sim.liveObjects(); }
    jlong losePort() {
        ToneSimScript noPort = GetParam().script;
        noPort.openPortFlag = VARIANT_FALSE;
        return sim.setScript(noPort), 0;
    }
    jlong findPort() { return sim.setScript(GetParam().script), 0; }
    // 0 once the thread that created the first component has ended. A failed start-up's thread
    // still releases and uninitialises after its signal; the row waits for that, since a process
    // that ends meanwhile may hang in its exit.
    jlong serviceThreadEnds() {
        const auto created = sim.calls(ToneSimCreate);
        if (created.empty()) return -1;
        HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, created[0].threadId);
        if (!thread) return 0;  // gone already
        const DWORD waited = WaitForSingleObject(thread, hangLimitMs(5000));
        CloseHandle(thread);
        return waited == WAIT_OBJECT_0 ? 0 : 1;
    }

protected:
    void SetUp() override { sim.reset(); }
    void TearDown() override { EXPECT_NO_JNI_VIOLATIONS(); }

    // On a Java thread of its own that is in the multithreaded apartment before the call.
    jlong inMta(TonePort::Native native) {
        jlong result = -100;
        host().runJavaThread([&](JNIEnv* env) {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            result = native(env, host().receiver());
            CoUninitialize();
        });
        return result;
    }

    ToneSim sim = ToneSim::load();
    TonePort tone;
};

TEST_P(ToneFaults, EveryCallReturnsItsDocumentedValue) {
    sim.setScript(GetParam().script);
    runSteps<ToneFaults>(*this, GetParam().steps, GetParam().budgetMs);
}

const char kReady[] = "Init(): sound is initialized successfully";
const char kTimedOut[] = "Init(): sound may not be initialzed due to timeout";
const char kPlayed[] = "Play Bell Tone";
const char kNotPlayed[] = "playSound(): cannot play sound";
const char kPlayTakeFailed[] = "playSound(): CoGetInterfaceAndReleaseStream failed";
const char kCleanupTakeFailed[] = "cleanup(): CoGetInterfaceAndReleaseStream failed";

const Step kInit{"Init", &ToneFaults::init, 0, {kReady}};
const Step kPlay{"play", &ToneFaults::play, 0, {kPlayed}};
const Step kPlayFailsAtTheTake{"play", &ToneFaults::play, 1, {kPlayTakeFailed}};
const Step kCleanup{"cleanup", &ToneFaults::cleanup, 0};
const Step kCleanupFindsNothing{"cleanup", &ToneFaults::cleanup, 1, {kCleanupTakeFailed}};
const Step kServiceThreadEnds{"the failed service thread ends", &ToneFaults::serviceThreadEnds, 0};
Step kComponentsAlive(jlong count) { return {"components alive", &ToneFaults::componentsAlive, count}; }

const ToneRow kRows[] = {
    // --- every start-up step failing
    {"ServiceThreadCannotInitializeCom", {},
     {{"Init, service thread in the MTA", &ToneFaults::initWithServiceThreadInMta, -1,
       {"Init(): cannot initialize COM library"}},
      kPlayFailsAtTheTake, kCleanupFindsNothing}},
    {"ComponentCannotBeCreated", script([](ToneSimScript& s) { s.createResult = E_OUTOFMEMORY; }),
     {{"Init", &ToneFaults::init, -2, {"Init(): cannot create COM object"}}, kServiceThreadEnds,
      kPlayFailsAtTheTake, kCleanupFindsNothing}},
    {"PortNotOpened", script([](ToneSimScript& s) { s.openPortFlag = VARIANT_FALSE; }),
     {{"Init", &ToneFaults::init, -3, {"Init(): cannot initialize sound"}}, kServiceThreadEnds,
      kPlayFailsAtTheTake, kCleanupFindsNothing}},
    {"ComponentCannotBeMarshalled", script([](ToneSimScript& s) { s.marshalResult = E_ACCESSDENIED; }),
     {{"Init", &ToneFaults::init, -4, {"Init(): CoMarshalInterThreadInterfaceInStream failed"}},
      kServiceThreadEnds, kPlayFailsAtTheTake, kCleanupFindsNothing}},
    {"StartUpOutlastsTheWait", script([](ToneSimScript& s) { s.createDelayMs = 11000; }),
     {{"Init", &ToneFaults::init, -5, {kTimedOut}},
      kPlayFailsAtTheTake,
      {"Init again, waits for the same start-up", &ToneFaults::init, 0, {kReady}},
      kPlay,
      {"components created", &ToneFaults::componentsCreated, 1}},
     25000},
    // An Init that gave up waiting starts no second start-up: it waits for the one still running,
    // and an Init after that one ended finds it done.
    {"StartUpOutlastsTwoWaits", script([](ToneSimScript& s) { s.createDelayMs = 23000; }),
     {{"Init", &ToneFaults::init, -5, {kTimedOut}},
      {"Init again, gives up too", &ToneFaults::init, -5, {kTimedOut}},
      {"creations begun", &ToneFaults::creationsBegun, 1},
      {"the late start-up ends", &ToneFaults::lateStartUpEnds, 0},
      kInit, kPlay,
      {"creations begun", &ToneFaults::creationsBegun, 1}},
     45000},

    // --- every component method failing
    {"OpenPortFailsButOpens", script([](ToneSimScript& s) { s.openPortResult = E_FAIL; }), {kInit, kPlay}},
    {"PlayToneNotPlayed", script([](ToneSimScript& s) { s.playToneFlag = VARIANT_FALSE; }),
     {kInit, {"play", &ToneFaults::play, 1, {kNotPlayed}}, {"play again", &ToneFaults::play, 1, {kNotPlayed}},
      kCleanup}},
    {"PlayToneFailsWithoutTheFlag", script([](ToneSimScript& s) {
         s.playToneLeavesFlag = TRUE;
         s.playToneResult = E_FAIL;
     }),
     {kInit, {"play", &ToneFaults::play, 1, {kNotPlayed}}, kCleanup}},
    // The spent set-up is still let go by cleanup, so that a new Init starts afresh.
    {"RefillFails", script([](ToneSimScript& s) { s.remarshalResult = E_ACCESSDENIED; }),
     {kInit, {"play", &ToneFaults::play, 1, {"playSound(): CoMarshalInterThreadInterfaceInStream failed"}},
      kPlayFailsAtTheTake, kCleanupFindsNothing, kComponentsAlive(0), kInit,
      {"components created", &ToneFaults::componentsCreated, 2}}},

    // --- callers in the multithreaded apartment
    {"CallersInTheMta", {},
     {kInit, {"play in the MTA", &ToneFaults::playInMta, 1, {"playSound(): CoInitialize failed"}}, kPlay,
      {"cleanup in the MTA", &ToneFaults::cleanupInMta, 1, {"cleanup(): CoInitialize failed"}}, kCleanup}},

    // --- orders of calls
    {"CallsBeforeInit", {}, {kPlayFailsAtTheTake, kCleanupFindsNothing, kInit, kPlay}},
    {"TwoInits", {},
     {kInit, kInit, kPlay, {"components created", &ToneFaults::componentsCreated, 1}}},
    {"CleanupTwiceThenPlay", {}, {kInit, kPlay, kCleanup, kCleanupFindsNothing, kPlayFailsAtTheTake}},
    // The living service thread starts up again: a new component, the keyboard port opened again.
    {"InitAfterCleanup", {},
     {kInit, kCleanup, kComponentsAlive(0), kInit, kPlay, {"components created", &ToneFaults::componentsCreated, 2},
      kComponentsAlive(1), kCleanup, kComponentsAlive(0)}},
    {"InitAfterCleanupFails", {},
     {kInit, kCleanup, {"no keyboard port", &ToneFaults::losePort, 0},
      {"Init", &ToneFaults::init, -3, {"Init(): cannot initialize sound"}}, kComponentsAlive(0),
      kPlayFailsAtTheTake, kCleanupFindsNothing, {"the keyboard port back", &ToneFaults::findPort, 0}, kInit, kPlay}},
};

INSTANTIATE_TEST_SUITE_P(Rows, ToneFaults, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
