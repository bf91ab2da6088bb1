// TonePort.dll against the simulated keyboard tone component, on Wine's COM runtime. Each test
// case runs in a process of its own, so it starts with a freshly loaded library.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host_fixture.h"
#include "scenario_helpers.h"
#include "time_scale.h"
#include "new_threads_in_mta.h"
#include "tone_port.h"
#include "tone_sim_control.h"
#include "win_resources.h"

namespace {

constexpr HRESULT kEmptyStreamCode = E_INVALIDARG;

class ToneBridge : public ::testing::Test {
protected:
    void SetUp() override { sim.reset(); }
    void TearDown() override { EXPECT_NO_JNI_VIOLATIONS(); }

    jlong init() { return tone.Init(host().env(), host().receiver()); }
    jlong cleanup() { return tone.cleanup(host().env(), host().receiver()); }
    jlong playBell() { return tone.playBellTone(host().env(), host().receiver()); }

    std::vector<ToneSimCall> plays() { return sim.calls(ToneSimPlayTone); }
    DWORD serviceThreadId() { return sim.calls(ToneSimOpenPort).at(0).threadId; }


    void expectOnlyDiagnostic(const char* level, const std::string& message, HRESULT code) {
        auto diagnostics = host().diagnostics();
        ASSERT_EQ(diagnostics.size(), 1u) << "diagnostics: " << diagnostics.size();
        EXPECT_EQ(diagnostics[0].level, level);
        EXPECT_EQ(diagnostics[0].message, message);
        EXPECT_EQ(diagnostics[0].code, code);
        EXPECT_EQ(diagnostics[0].env, host().env());
    }

    ToneSim sim = ToneSim::load();
    TonePort tone;
};

// --- start-up ------------------------------------------------------------------------------

struct StartUpCase {
    const char* name;
    ToneSimScript script;
    jlong status;
    const char* level;
    const char* message;
    HRESULT code;
};

class ToneStartUp : public ToneBridge, public ::testing::WithParamInterface<StartUpCase> {};

TEST_P(ToneStartUp, ReturnsTheStatusWithItsDiagnostic) {
    const StartUpCase& c = GetParam();
    sim.setScript(c.script);

    EXPECT_EQ(init(), c.status);
    expectOnlyDiagnostic(c.level, c.message, c.code);
}

// The same start-up again on the living service thread, after a cleanup: the same status and
// diagnostic, nothing left behind by a failure, and a later Init that tries again.
TEST_P(ToneStartUp, AfterCleanupReturnsTheStatusWithItsDiagnosticAndAFailureLeavesNothing) {
    const StartUpCase& c = GetParam();
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(cleanup(), 0);
    sim.setScript(c.script);
    host().clearRecords();

    EXPECT_EQ(init(), c.status);
    expectOnlyDiagnostic(c.level, c.message, c.code);
    EXPECT_EQ(sim.liveObjects(), c.status == 0 ? 1 : 0);
    EXPECT_EQ(sim.calls(ToneSimCreate).back().threadId, sim.calls(ToneSimCreate).front().threadId)
        << "on the same service thread";

    sim.setScript({});
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(playBell(), 0);
    EXPECT_EQ(sim.liveObjects(), 1);
}

const StartUpCase kStartUpCases[] = {
    {"Ready", {}, 0, "info", "Init(): sound is initialized successfully", 0},
    {"ReadyAlthoughOpenPortFailed", script([](ToneSimScript& s) { s.openPortResult = E_FAIL; }), 0, "info",
     "Init(): sound is initialized successfully", 0},
    {"PortNotOpened", script([](ToneSimScript& s) { s.openPortFlag = VARIANT_FALSE; }), -3, "severe",
     "Init(): cannot initialize sound", 0},
    {"PortNotOpenedWithFailure", script([](ToneSimScript& s) {
         s.openPortFlag = VARIANT_FALSE;
         s.openPortResult = E_ACCESSDENIED;
     }),
     -3, "severe", "Init(): cannot initialize sound", 0},
    {"CreationFails", script([](ToneSimScript& s) { s.createResult = E_OUTOFMEMORY; }), -2, "severe",
     "Init(): cannot create COM object", E_OUTOFMEMORY},
    {"MarshalFails", script([](ToneSimScript& s) { s.marshalResult = CO_E_NOT_SUPPORTED; }), -4, "severe",
     "Init(): CoMarshalInterThreadInterfaceInStream failed", CO_E_NOT_SUPPORTED},
};

INSTANTIATE_TEST_SUITE_P(Outcomes, ToneStartUp, ::testing::ValuesIn(kStartUpCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToneBridge, ServiceThreadOutsideASingleThreadedApartmentCannotInitializeCom) {
    new_threads_in_mta::arm(true);
    const jlong status = init();
    new_threads_in_mta::arm(false);

    EXPECT_EQ(status, -1);
    expectOnlyDiagnostic("severe", "Init(): cannot initialize COM library", RPC_E_CHANGED_MODE);
    EXPECT_EQ(sim.counts().objectsCreated, 0);
    EXPECT_EQ(playBell(), 1);
}

TEST_F(ToneBridge, ServiceThreadOpensTheKeyboardPortOnceBeforePublishing) {
    ASSERT_EQ(init(), 0);

    auto calls = sim.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].method, ToneSimCreate);
    EXPECT_EQ(calls[1].method, ToneSimOpenPort);
    EXPECT_STREQ(calls[1].text, L"\\\\.\\KeyboardPort0");
    EXPECT_NE(calls[1].threadId, GetCurrentThreadId());
}

TEST_F(ToneBridge, StartUpPastTenSecondsTimesOutAndPlaysOnceTheThreadFinishes) {
    ToneSimScript slow;
    slow.createDelayMs = 11000;
    sim.setScript(slow);

    const DWORD started = GetTickCount();
    EXPECT_EQ(init(), -5);
    const DWORD waited = GetTickCount() - started;
    EXPECT_GE(waited, 9900u);
    EXPECT_LT(waited, 10000u + hangLimitMs(900)) << "Init waits 10 s, not until the start-up ends";
    expectOnlyDiagnostic("warning", "Init(): sound may not be initialzed due to timeout", 0);

    // The creation ends at 11 s and the thread then publishes the interface; a play before that
    // finds the hand-off stream empty and changes nothing. Bounded, however loaded the machine.
    const int limit = int(100 * timeScale());
    int tries = 1;
    for (; tries < limit && playBell() != 0; ++tries) Sleep(100);
    EXPECT_LT(tries, limit) << "no play worked within " << limit / 10 << " s of Init's time-out";
}

TEST_F(ToneBridge, RepeatedInitWhileStartingWaitsForTheSameServiceThread) {
    ToneSimScript slow;
    slow.createDelayMs = 11000;
    sim.setScript(slow);
    ASSERT_EQ(init(), -5);

    EXPECT_EQ(init(), 0);
    EXPECT_EQ(sim.counts().objectsCreated, 1);
    EXPECT_EQ(playBell(), 0);
}

TEST_F(ToneBridge, RepeatedInitAfterSuccessStartsNoSecondServiceThread) {
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(init(), 0);

    EXPECT_EQ(sim.counts().objectsCreated, 1);
    EXPECT_EQ(host().countDiagnostics("Init(): sound is initialized successfully"), 2);
    EXPECT_EQ(playBell(), 0);
    EXPECT_EQ(playBell(), 0);
}

TEST_F(ToneBridge, RepeatedInitAfterFailedStartUpTriesAgain) {
    ToneSimScript noPort;
    noPort.openPortFlag = VARIANT_FALSE;
    sim.setScript(noPort);
    ASSERT_EQ(init(), -3);
    waitForThreadEnd(serviceThreadId());

    sim.setScript(ToneSimScript{});
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(playBell(), 0);
    EXPECT_EQ(sim.counts().liveObjects, 1) << "the failed start-up's component is released";
}

// Only the loop's own request message is a request (see the hot-key twin of this test).
TEST_F(ToneBridge, ThreadMessagesThatAreNoRequestsLeaveTheServiceThreadServing) {
    ASSERT_EQ(init(), 0);
    for (UINT message : {UINT(WM_QUIT), UINT(WM_QUIT), UINT(WM_NULL), UINT(WM_APP + 1)}) {
        SCOPED_TRACE(message);
        ASSERT_TRUE(PostThreadMessageA(serviceThreadId(), message, 0, 0x12345678));
    }

    EXPECT_EQ(playBell(), 0);
    EXPECT_EQ(plays().at(0).threadId, serviceThreadId());
}

// The service thread keeps its library mapped when the JVM frees it (class loader collected).
TEST_F(ToneBridge, FreeLibraryAfterInitLeavesTheLibraryServing) {
    ASSERT_EQ(init(), 0);
    expectStillMappedAfterFreeLibrary(tone.library.handle(), L"TonePort.dll");
    EXPECT_EQ(playBell(), 0);
    EXPECT_EQ(plays().at(0).threadId, serviceThreadId());
}

// --- the JVM: library threads never keep the client from exiting ---------------------------

TEST_F(ToneBridge, ServiceThreadIsAttachedAsDaemonAfterSuccess) {
    ASSERT_EQ(init(), 0);

    EXPECT_TRUE(host().isAttached(serviceThreadId()));
    EXPECT_TRUE(host().isDaemon(serviceThreadId()));
    EXPECT_TRUE(host().nonDaemonThreadsBesidesCallers().empty());
}

TEST_F(ToneBridge, ServiceThreadDetachesAfterAFailedStartUp) {
    ToneSimScript noPort;
    noPort.openPortFlag = VARIANT_FALSE;
    sim.setScript(noPort);
    ASSERT_EQ(init(), -3);
    waitForThreadEnd(serviceThreadId());

    EXPECT_TRUE(host().attachedThreadsBesidesCallers().empty());
    EXPECT_EQ(sim.counts().liveObjects, 0);
}

// --- playback ------------------------------------------------------------------------------

struct ToneCase {
    TonePort::Native TonePort::*method;
    const wchar_t* tone;
    const char* message;
};

class TonePlayback : public ToneBridge, public ::testing::WithParamInterface<ToneCase> {};

TEST_P(TonePlayback, PlaysItsToneOnTheServiceThread) {
    const ToneCase& c = GetParam();
    ASSERT_EQ(init(), 0);
    host().clearRecords();

    EXPECT_EQ((tone.*c.method)(host().env(), host().receiver()), 0);

    auto played = plays();
    ASSERT_EQ(played.size(), 1u);
    EXPECT_STREQ(played[0].text, c.tone);
    EXPECT_EQ(played[0].value, 1);
    EXPECT_EQ(played[0].threadId, serviceThreadId());
    expectOnlyDiagnostic("info", c.message, 0);
}

const ToneCase kTones[] = {
    {&TonePort::playNewsTone, L"News", "Play News Tone"},
    {&TonePort::playIncomingConvTone, L"Incoming", "Play Incoming Tone"},
    {&TonePort::playBellTone, L"Bell", "Play Bell Tone"},
    {&TonePort::playLimitTone, L"Limit", "Play Limit Tone"},
    {&TonePort::playShortTone, L"Short", "Play Short Tone"},
    {&TonePort::playBusyTone, L"Busy", "Play Busy Tone"},
    {&TonePort::playInterruptTone, L"Interrupt", "Play Interrupt Tone"},
};

INSTANTIATE_TEST_SUITE_P(SevenTones, TonePlayback, ::testing::ValuesIn(kTones), [](const auto& info) {
    const std::wstring tone = info.param.tone;
    return std::string(tone.begin(), tone.end());
});

struct PlayOutcomeCase {
    const char* name;
    ToneSimScript script;
    jlong result;
    const char* level;
    const char* message;
};

class TonePlayOutcome : public ToneBridge, public ::testing::WithParamInterface<PlayOutcomeCase> {};

TEST_P(TonePlayOutcome, FlagAloneDecides) {
    const PlayOutcomeCase& c = GetParam();
    ASSERT_EQ(init(), 0);
    host().clearRecords();
    sim.setScript(c.script);  // the component reads its script on every call

    EXPECT_EQ(playBell(), c.result);
    expectOnlyDiagnostic(c.level, c.message, 0);
    EXPECT_EQ(playBell(), c.result) << "the hand-off stream holds a fresh copy after each call";
}

const PlayOutcomeCase kPlayOutcomes[] = {
    {"NotPlayed", script([](ToneSimScript& s) { s.playToneFlag = VARIANT_FALSE; }), 1, "warning",
     "playSound(): cannot play sound"},
    {"FailsWithoutWritingTheFlag", script([](ToneSimScript& s) {
         s.playToneLeavesFlag = TRUE;
         s.playToneResult = E_FAIL;
     }),
     1, "warning", "playSound(): cannot play sound"},
    {"PlayedDespiteAFailureResult", script([](ToneSimScript& s) { s.playToneResult = E_FAIL; }), 0, "info",
     "Play Bell Tone"},
    {"AnyNonzeroFlagIsPlayed", script([](ToneSimScript& s) { s.playToneFlag = 1; }), 0, "info", "Play Bell Tone"},
};

INSTANTIATE_TEST_SUITE_P(Outcomes, TonePlayOutcome, ::testing::ValuesIn(kPlayOutcomes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToneBridge, PlayBeforeInitFailsAtTheTake) {
    EXPECT_EQ(playBell(), 1);
    expectOnlyDiagnostic("severe", "playSound(): CoGetInterfaceAndReleaseStream failed", kEmptyStreamCode);
    EXPECT_TRUE(plays().empty());
}

TEST_F(ToneBridge, PlayAfterFailedStartUpFailsAtTheTake) {
    ToneSimScript noPort;
    noPort.openPortFlag = VARIANT_FALSE;
    sim.setScript(noPort);
    ASSERT_EQ(init(), -3);
    host().clearRecords();

    EXPECT_EQ(playBell(), 1);
    expectOnlyDiagnostic("severe", "playSound(): CoGetInterfaceAndReleaseStream failed", kEmptyStreamCode);
}

TEST_F(ToneBridge, CallerInTheMultithreadedApartmentIsRefusedAndTheStreamStays) {
    ASSERT_EQ(init(), 0);
    host().clearRecords();

    jlong result = -1;
    host().runJavaThread([&](JNIEnv* env) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        result = tone.playBellTone(env, host().receiver());
        CoUninitialize();
    });

    EXPECT_EQ(result, 1);
    auto diagnostics = host().diagnostics();
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0].message, "playSound(): CoInitialize failed");
    EXPECT_EQ(diagnostics[0].level, "severe");
    EXPECT_EQ(diagnostics[0].code, RPC_E_CHANGED_MODE);
    EXPECT_TRUE(plays().empty());
    EXPECT_EQ(playBell(), 0) << "the hand-off stream was not touched";
}

TEST_F(ToneBridge, FailedRefillEmptiesTheHandOffStreamForGood) {
    ToneSimScript refuses;
    refuses.remarshalResult = E_ACCESSDENIED;
    sim.setScript(refuses);
    ASSERT_EQ(init(), 0);
    host().clearRecords();

    EXPECT_EQ(playBell(), 1);
    expectOnlyDiagnostic("severe", "playSound(): CoMarshalInterThreadInterfaceInStream failed", E_ACCESSDENIED);
    EXPECT_TRUE(plays().empty()) << "nothing is played after a failed refill";
    EXPECT_EQ(sim.counts().liveObjects, 1) << "the taken copy was released";

    host().clearRecords();
    EXPECT_EQ(playBell(), 1);
    expectOnlyDiagnostic("severe", "playSound(): CoGetInterfaceAndReleaseStream failed", kEmptyStreamCode);
    EXPECT_EQ(cleanup(), 1);
}

TEST_F(ToneBridge, CallsFromManyThreadsAtOnceKeepTheHandOffStream) {
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(playBell(), 0);  // the calling thread's apartment and proxy manager exist now
    const int baseline = sim.outstandingRefs();

    constexpr int kThreads = 4, kCalls = 500;
    std::atomic<int> failures{0};
    StartBarrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.push_back(host().startJavaThread([&](JNIEnv* env) {
            start.arriveAndWait();
            for (int i = 0; i < kCalls; ++i)
                if (tone.playBellTone(env, host().receiver()) != 0) ++failures;
        }));
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(plays().size(), 1u + kThreads * kCalls);
    EXPECT_EQ(playBell(), 0) << "one copy is still in the hand-off stream";
    EXPECT_EQ(sim.outstandingRefs(), baseline);
}

// --- running out of memory: the documented failure, its diagnostic, and the process lives ---

TEST_F(ToneBridge, InitThatRunsOutOfMemoryAnswersWithTheTimeOutAndALaterInitStartsUp) {
    tone.FailNextAllocation();
    EXPECT_EQ(init(), -5);
    expectOnlyDiagnostic("warning", "Init(): sound may not be initialzed due to timeout", 0);

    host().clearRecords();
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(playBell(), 0);
    EXPECT_EQ(sim.counts().creationsBegun, 1);
}

TEST_F(ToneBridge, PlayThatRunsOutOfMemoryReturnsOneWithItsUnexpectedError) {
    ASSERT_EQ(init(), 0);
    host().clearRecords();
    tone.FailNextAllocation();

    EXPECT_EQ(playBell(), 1);
    expectOnlyDiagnostic("severe", "playSound(): unexpected error", 0);
    EXPECT_EQ(playBell(), 0) << "the hand-off stream still holds its copy";
    EXPECT_EQ(plays().size(), 2u);
}

// --- cleanup -------------------------------------------------------------------------------

TEST_F(ToneBridge, CleanupAfterSuccessTakesTheLastCopy) {
    ASSERT_EQ(init(), 0);
    host().clearRecords();

    EXPECT_EQ(cleanup(), 0);
    EXPECT_TRUE(host().diagnostics().empty());

    EXPECT_EQ(playBell(), 1);
    expectOnlyDiagnostic("severe", "playSound(): CoGetInterfaceAndReleaseStream failed", kEmptyStreamCode);
    EXPECT_TRUE(plays().empty());
}

TEST_F(ToneBridge, AfterAPlayAndCleanupTheThreadIsStillInItsApartmentOnce) {
    ASSERT_EQ(init(), 0);
    int entries = -1;
    host().runJavaThread([&](JNIEnv* env) {
        ASSERT_EQ(tone.playBellTone(env, host().receiver()), 0);
        ASSERT_EQ(tone.cleanup(env, host().receiver()), 0);
        entries = leaveApartment();
    });
    EXPECT_EQ(entries, 1) << "the play's entry stays; cleanup leaves the one it made";
}

TEST_F(ToneBridge, CleanupWithNothingToTakeFails) {
    EXPECT_EQ(cleanup(), 1) << "before Init";
    expectOnlyDiagnostic("severe", "cleanup(): CoGetInterfaceAndReleaseStream failed", kEmptyStreamCode);

    ASSERT_EQ(init(), 0);
    ASSERT_EQ(cleanup(), 0);
    host().clearRecords();
    EXPECT_EQ(cleanup(), 1) << "a second time";
    expectOnlyDiagnostic("severe", "cleanup(): CoGetInterfaceAndReleaseStream failed", kEmptyStreamCode);
}

TEST_F(ToneBridge, CleanupInTheMultithreadedApartmentFails) {
    ASSERT_EQ(init(), 0);
    host().clearRecords();

    jlong result = -1;
    host().runJavaThread([&](JNIEnv* env) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        result = tone.cleanup(env, host().receiver());
        CoUninitialize();
    });

    EXPECT_EQ(result, 1);
    auto diagnostics = host().diagnostics();
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0].message, "cleanup(): CoInitialize failed");
    EXPECT_EQ(diagnostics[0].code, RPC_E_CHANGED_MODE);
    EXPECT_EQ(playBell(), 0) << "the copy is still there";
}

TEST_F(ToneBridge, CleanupReleasesWhatPlayCallsTook) {
    ASSERT_EQ(init(), 0);
    const int published = sim.outstandingRefs();
    for (int i = 0; i < 20; ++i) ASSERT_EQ(playBell(), 0);
    EXPECT_EQ(sim.outstandingRefs(), published);
    ASSERT_EQ(cleanup(), 0);
    EXPECT_EQ(sim.outstandingRefs(), 0) << "the marshalled copy's references and the component's own are gone";
    EXPECT_EQ(sim.counts().liveObjects, 0) << "the service thread released the component";
}

} // namespace
