// ChordGate.dll's service thread, set-up, clean-up and registration calls against the simulated
// keyboard hot-key component, on Wine's COM runtime. Each test case runs in a process of its
// own, so it starts with a freshly loaded library.
#include <gtest/gtest.h>
#include <olectl.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "chord_gate_service.h"
#include "host_fixture.h"
#include "scenario_helpers.h"
#include "hotkey_sim_control.h"
#include "new_threads_in_mta.h"
#include "win_resources.h"

namespace {

using jnihost::ListenerCall;

constexpr HRESULT kEmptyStreamCode = E_INVALIDARG;
constexpr jlong kTwoToThe32 = jlong{1} << 32;
// Arguments that need all 32 bits: 70000 is carried in a value whose high bits are set.
constexpr jlong kAllBits = 0x12345678, kSignBit = 0x80000000, kHighBitsAnd70000 = -7 * kTwoToThe32 + 70000;

class HotKeyServiceTest : public ::testing::Test {
protected:
    void SetUp() override { sim.reset(); }
    void TearDown() override { EXPECT_NO_JNI_VIOLATIONS(); }

    jclass receiver() { return host().receiver(); }
    jlong init() { return gate.Init(host().env(), receiver()); }
    // Every clean-up must let go of the library's event sink.
    jlong cleanup() {
        const jlong result = gate.Cleanup(host().env(), receiver());
        EXPECT_EQ(gate.LiveEventSinks(), 0) << "a sink outlived the clean-up";
        return result;
    }
    jlong registerListener(jobject listener) { return gate.RegisterListener(host().env(), receiver(), listener); }
    jlong registerStandard(jlong a = 1, jlong b = 2, jlong c = 3) {
        return gate.RegisterStandard(host().env(), receiver(), a, b, c);
    }
    jlong unregisterHot(jlong a = 1, jlong b = 2) { return gate.UnregisterHot(host().env(), receiver(), a, b); }
    jlong unregisterAllHot() { return gate.UnregisterAllHot(host().env(), receiver()); }

    DWORD serviceThreadId() { return sim.calls(HotKeySimCreate).at(0).threadId; }
    int softKeyReleases() { return static_cast<int>(sim.calls(HotKeySimSoftKeyRelease).size()); }
    // Waits, however loaded the machine, until the start-up's last step has been taken count times.
    void awaitSoftKeyQueries(size_t count) {
        for (int i = 0; i < 600 && sim.calls(HotKeySimQuerySoftKey).size() < count; ++i) Sleep(50);
        ASSERT_EQ(sim.calls(HotKeySimQuerySoftKey).size(), count) << "the late start-up never finished";
    }
    // The arguments of the component's one call of method; empty unless there was exactly one.
    std::vector<int32_t> onlyCallArgs(HotKeySimMethod method) {
        const auto calls = sim.calls(method);
        if (calls.size() != 1) return {};
        return std::vector<int32_t>(calls[0].args, calls[0].args + calls[0].argCount);
    }


    void expectOnlyDiagnostic(const char* level, const std::string& message, HRESULT code) {
        auto diagnostics = host().diagnostics();
        ASSERT_EQ(diagnostics.size(), 1u) << (diagnostics.empty() ? "none" : diagnostics[0].message);
        EXPECT_EQ(diagnostics[0].level, level);
        EXPECT_EQ(diagnostics[0].message, message);
        EXPECT_EQ(diagnostics[0].code, code);
    }
    void expectOnlySevere(const std::string& message, HRESULT code) { expectOnlyDiagnostic("severe", message, code); }
    // No component, reference, advised sink or library sink is left.
    void expectNothingLeft() {
        EXPECT_EQ(sim.liveObjects(), 0);
        EXPECT_EQ(sim.outstandingRefs(), 0);
        EXPECT_EQ(sim.advisedSinks(), 0);
        EXPECT_EQ(gate.LiveEventSinks(), 0);
    }

    // What Init returned, and where its service thread was at that moment.
    struct InitReturn {
        jlong status;
        bool attached;     // to the JVM
        bool inApartment;  // its single-threaded one
    };
    // Init with the service thread held as it detaches, still attached, until Init has returned
    // (or half a second has passed), so that a start-up that signals Init before its thread has
    // detached is seen doing so every time.
    InitReturn initWatchingTheServiceThread() {
        host().onDetach([this] { WaitForSingleObject(initReturned_.get(), 500); });
        const jlong status = init();
        const DWORD service = serviceThreadId();
        const InitReturn seen{status, host().isAttached(service), hasApartmentWindow(service)};
        SetEvent(initReturned_.get());
        return seen;
    }
    // COM keeps a message-only window on the thread of a single-threaded apartment until the
    // thread leaves it; another thread can see it there. Wine makes it at the apartment's first
    // marshalling, so a start-up that failed before its marshal shows none either way.
    static bool hasApartmentWindow(DWORD thread) {
        for (HWND window = nullptr; (window = FindWindowExA(HWND_MESSAGE, window, "OleMainThreadWndClass", nullptr));)
            if (GetWindowThreadProcessId(window, nullptr) == thread) return true;
        return false;
    }

    HotKeySim sim = HotKeySim::load();
    ChordGateService gate;
    UniqueHandle initReturned_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

// --- end to end ----------------------------------------------------------------------------

TEST_F(HotKeyServiceTest, EventsReachTheListenerOnTheServiceThread) {
    jobject listener = host().newListener();
    ASSERT_EQ(registerListener(listener), 0);
    ASSERT_EQ(init(), 0);
    const DWORD service = serviceThreadId();
    EXPECT_NE(service, GetCurrentThreadId());
    EXPECT_TRUE(host().isAttached(service)) << "attached at start-up";
    EXPECT_TRUE(host().isDaemon(service));

    // It stays attached as a daemon for its whole life: no attach or detach per event.
    EXPECT_EQ(sim.hotKeyHit(7, -1, 300).sinks, 1);
    EXPECT_TRUE(host().isAttached(service)) << "a forward detached it";
    EXPECT_EQ(sim.keyboardFailed().sinks, 1);
    EXPECT_EQ(sim.keyboardDetached().sinks, 1);
    EXPECT_TRUE(host().isAttached(service));
    EXPECT_TRUE(host().isDaemon(service));

    const int id = host().listenerId(listener);
    auto calls = host().listenerCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].method, "HotKeyHit");
    EXPECT_EQ(calls[0].args, (std::vector<jlong>{7, -1, 300}));
    EXPECT_EQ(calls[1].method, "KBFailed");
    EXPECT_EQ(calls[2].method, "KBDetached");
    for (const ListenerCall& call : calls) {
        EXPECT_EQ(call.listener, id);
        EXPECT_EQ(call.thread, service);
        EXPECT_TRUE(call.daemon) << call.method;
    }
    EXPECT_TRUE(host().nonDaemonThreadsBesidesCallers().empty());
}

// The service thread stays attached, so what the listener throws must be cleared after each
// call; the host records a listener call made while an exception is pending.
TEST_F(HotKeyServiceTest, AThrowingListenerLeavesNothingPendingForTheNextEvent) {
    ASSERT_EQ(registerListener(host().newListener({}, true)), 0);
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(sim.hotKeyHit(1, 2, 3).sinks, 1);
    EXPECT_EQ(sim.keyboardFailed().sinks, 1);
    EXPECT_EQ(sim.hotKeyHit(4, 5, 6).sinks, 1);
    EXPECT_EQ(host().listenerCalls().size(), 3u);
    EXPECT_TRUE(host().isAttached(serviceThreadId()));
}

TEST_F(HotKeyServiceTest, StartUpRunsItsStepsInOrderOnTheServiceThread) {
    ASSERT_EQ(init(), 0);

    const HotKeySimMethod expected[] = {HotKeySimCreate, HotKeySimQueryContainer, HotKeySimFindConnectionPoint,
                                        HotKeySimAdvise, HotKeySimQuerySoftKey};
    auto calls = sim.calls();
    ASSERT_EQ(calls.size(), std::size(expected));
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].method, expected[i]) << i;
        EXPECT_EQ(calls[i].threadId, serviceThreadId());
    }
    EXPECT_EQ(calls[2].args[0], 1) << "asked for IHotKeyEvents";
    EXPECT_EQ(sim.advisedSinks(), 1);
}

// --- start-up outcomes ---------------------------------------------------------------------

struct StartUpCase {
    const char* name;
    HotKeySimScript script;
    jlong status;
    const char* level;
    const char* message;
    HRESULT code;
    bool finishesLate;     // the start-up outlasts Init's wait and finishes on its own
    jlong cleanupResult;   // 1 after a failure, which leaves nothing to clean up
    int softKeyReleases;
};

void PrintTo(const StartUpCase& c, std::ostream* out) { *out << c.name; }

class HotKeyStartUp : public HotKeyServiceTest, public ::testing::WithParamInterface<StartUpCase> {};

TEST_P(HotKeyStartUp, ReturnsTheStatusWithItsDiagnosticAndCleanupReleasesWhatWasStored) {
    const StartUpCase& c = GetParam();
    sim.setScript(c.script);

    const bool ready = c.cleanupResult == 0 && c.softKeyReleases > 0;
    const DWORD started = GetTickCount();
    if (c.finishesLate) {
        EXPECT_EQ(init(), c.status);
        EXPECT_GE(GetTickCount() - started, 9900u);
    } else {
        // A failed first start-up has left its apartment and detached by the time Init hears of it
        // (a Java client may exit at once); a ready one keeps both.
        const InitReturn seen = initWatchingTheServiceThread();
        EXPECT_EQ(seen.status, c.status);
        EXPECT_EQ(seen.attached, ready) << "at Init's return";
        EXPECT_EQ(seen.inApartment, ready) << "at Init's return";
    }
    expectOnlyDiagnostic(c.level, c.message, c.code);
    if (c.finishesLate) awaitSoftKeyQueries(1);

    if (ready) {
        EXPECT_TRUE(host().isDaemon(serviceThreadId()));
        EXPECT_TRUE(host().nonDaemonThreadsBesidesCallers().empty());
        EXPECT_EQ(registerStandard(), 0) << "also after a start-up that outlasted Init's wait";
    } else {
        waitForThreadEnd(serviceThreadId());
        EXPECT_TRUE(host().attachedThreadsBesidesCallers().empty()) << "the failed thread detached";
    }

    host().clearRecords();
    const int softKeyReleasesBefore = softKeyReleases();
    EXPECT_EQ(cleanup(), c.cleanupResult);
    if (c.cleanupResult == 1)
        expectOnlySevere("Cleanup(): pHotKey is null", 0);
    else
        EXPECT_TRUE(host().diagnostics().empty());
    EXPECT_EQ(softKeyReleases() - softKeyReleasesBefore, c.softKeyReleases);
    expectNothingLeft();
}

// The same start-up again on the living service thread, after a clean-up: the same status and
// diagnostic, nothing left behind by a failure, and a later Init that tries again.
TEST_P(HotKeyStartUp, AfterCleanupReturnsTheStatusWithItsDiagnosticAndAFailureLeavesNothing) {
    const StartUpCase& c = GetParam();
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(cleanup(), 0);
    sim.setScript(c.script);
    host().clearRecords();

    EXPECT_EQ(init(), c.status);
    expectOnlyDiagnostic(c.level, c.message, c.code);
    if (c.finishesLate) awaitSoftKeyQueries(2);
    if (c.cleanupResult == 1) expectNothingLeft();
    const auto created = sim.calls(HotKeySimCreate);
    EXPECT_EQ(created.back().threadId, created.front().threadId) << "on the same service thread";

    sim.setScript({});
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(registerStandard(), 0);
    EXPECT_EQ(sim.calls(HotKeySimRegisterStandard).at(0).threadId, created.front().threadId);
    EXPECT_TRUE(host().nonDaemonThreadsBesidesCallers().empty());
}

const StartUpCase kStartUpCases[] = {
    {"Ready", {}, 0, "info", "Init(): hotkey is initialized successfully", 0, false, 0, 1},
    {"CreationFails", script([](HotKeySimScript& s) { s.createResult = E_OUTOFMEMORY; }), -2, "severe",
     "Init(): cannot create COM object", E_OUTOFMEMORY, false, 1, 0},
    {"NoConnectionPointContainer", script([](HotKeySimScript& s) { s.queryContainerResult = E_NOINTERFACE; }), -3,
     "severe", "Init(): query iconnection point container interface failed", E_NOINTERFACE, false, 1, 0},
    {"NoConnectionPoint", script([](HotKeySimScript& s) { s.findConnectionPointResult = CONNECT_E_NOCONNECTION; }),
     -4, "severe", "Init(): find connection hot key point failed", CONNECT_E_NOCONNECTION, false, 1, 0},
    // Past the Advise: the sink is unadvised again.
    {"NoSoftKey", script([](HotKeySimScript& s) { s.querySoftKeyResult = E_NOINTERFACE; }), -5, "severe",
     "Init(): query soft key interface failed", E_NOINTERFACE, false, 1, 0},
    {"CannotMarshal", script([](HotKeySimScript& s) { s.marshalResult = E_ACCESSDENIED; }), -7, "severe",
     "Init(): CoMarshalInterThreadInterfaceInStream failed", E_ACCESSDENIED, false, 1, 0},
    {"SlowCreationTimesOut", script([](HotKeySimScript& s) { s.createDelayMs = 11000; }), -8, "warning",
     "Init(): hotkey may not be initialzed due to timeout", 0, true, 0, 1},
};

INSTANTIATE_TEST_SUITE_P(Outcomes, HotKeyStartUp, ::testing::ValuesIn(kStartUpCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HotKeyServiceTest, FailedMarshalLeavesNothingBehind) {
    sim.setScript(script([](HotKeySimScript& s) { s.marshalResult = E_ACCESSDENIED; }));
    ASSERT_EQ(init(), -7);
    waitForThreadEnd(serviceThreadId());
    EXPECT_TRUE(sim.calls(HotKeySimQueryContainer).empty()) << "the marshal comes before the container";
    expectNothingLeft();
    EXPECT_EQ(cleanup(), 1);
}

TEST_F(HotKeyServiceTest, ServiceThreadOutsideASingleThreadedApartmentCannotInitializeCom) {
    new_threads_in_mta::arm(true);
    const jlong status = init();
    new_threads_in_mta::arm(false);

    EXPECT_EQ(status, -1);
    expectOnlySevere("Init(): cannot initialize COM library", RPC_E_CHANGED_MODE);
    EXPECT_EQ(sim.counts().objectsCreated, 0);
    for (int i = 0; i < 50 && !host().attachedThreadsBesidesCallers().empty(); ++i) Sleep(100);
    EXPECT_TRUE(host().attachedThreadsBesidesCallers().empty()) << "the failed thread detached";

    host().clearRecords();
    EXPECT_EQ(cleanup(), 1);
    expectOnlySevere("Cleanup(): pHotKey is null", 0);
}

TEST_F(HotKeyServiceTest, SinkThatCannotBeAllocatedEndsTheStartUpAsUnexpectedError) {
    gate.FailNextAllocation();
    const InitReturn seen = initWatchingTheServiceThread();
    EXPECT_EQ(seen.status, -9);
    EXPECT_FALSE(seen.attached) << "Init heard of the failure before its thread detached";
    EXPECT_FALSE(seen.inApartment) << "Init heard of the failure before its thread left its apartment";
    expectOnlySevere("Init(): unexpected error", 0);
    waitForThreadEnd(serviceThreadId());
    EXPECT_TRUE(host().attachedThreadsBesidesCallers().empty()) << "the failed thread detached";
    EXPECT_EQ(sim.calls(HotKeySimFindConnectionPoint).size(), 1u);
    EXPECT_TRUE(sim.calls(HotKeySimAdvise).empty());

    expectNothingLeft();
    EXPECT_EQ(cleanup(), 1) << "the failed start-up took back the component and the stream";
}

// --- repeated Init, the message loop -------------------------------------------------------

TEST_F(HotKeyServiceTest, RepeatedInitAfterSuccessStartsNoSecondServiceThread) {
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(init(), 0);

    EXPECT_EQ(sim.counts().objectsCreated, 1);
    EXPECT_EQ(sim.advisedSinks(), 1);
    EXPECT_EQ(host().countDiagnostics("Init(): hotkey is initialized successfully"), 2);
    EXPECT_EQ(registerStandard(), 0);
}

TEST_F(HotKeyServiceTest, RepeatedInitWhileStartingWaitsForTheSameServiceThread) {
    sim.setScript(script([](HotKeySimScript& s) { s.createDelayMs = 11000; }));
    ASSERT_EQ(init(), -8);

    EXPECT_EQ(init(), 0);
    EXPECT_EQ(sim.counts().objectsCreated, 1);
    EXPECT_EQ(registerStandard(), 0);
}

TEST_F(HotKeyServiceTest, RepeatedInitAfterFailedStartUpTriesAgain) {
    sim.setScript(script([](HotKeySimScript& s) { s.querySoftKeyResult = E_NOINTERFACE; }));
    ASSERT_EQ(init(), -5);
    waitForThreadEnd(serviceThreadId());

    sim.setScript(HotKeySimScript{});
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(sim.counts().objectsCreated, 2);
    EXPECT_EQ(registerStandard(), 0);
    EXPECT_EQ(sim.calls(HotKeySimRegisterStandard).at(0).objectId, 2u);
}

// Only the loop's own request message is a request: WM_QUIT, WM_NULL and an application message
// with a pointer-sized lParam that is no request must leave the thread serving calls and events.
TEST_F(HotKeyServiceTest, ThreadMessagesThatAreNoRequestsLeaveTheServiceThreadServing) {
    ASSERT_EQ(registerListener(host().newListener()), 0);
    ASSERT_EQ(init(), 0);
    const LPARAM notARequest = 0x12345678;
    for (UINT message : {UINT(WM_QUIT), UINT(WM_QUIT), UINT(WM_NULL), UINT(WM_APP + 1)}) {
        SCOPED_TRACE(message);
        ASSERT_TRUE(PostThreadMessageA(serviceThreadId(), message, 0, notARequest));
    }

    EXPECT_EQ(registerStandard(), 0);
    EXPECT_EQ(sim.calls(HotKeySimRegisterStandard).at(0).threadId, serviceThreadId());
    EXPECT_EQ(sim.hotKeyHit(7, 8, 9).sinks, 1);
    EXPECT_EQ(host().listenerCalls().size(), 1u);
}

// The library lets go of its sink with the cookie Advise gave it, on the thread that advised, so
// that a component someone else still holds (a driver's often outlives its client's reference)
// keeps no sink advised.
TEST_F(HotKeyServiceTest, CleanupUnadvisesWithTheCookieAdviseGaveOnTheServiceThread) {
    ASSERT_EQ(init(), 0);
    const auto advised = sim.calls(HotKeySimAdvise);
    ASSERT_EQ(advised.size(), 1u);
    ASSERT_NE(advised[0].args[0], 0);
    ASSERT_EQ(cleanup(), 0);
    const auto unadvised = sim.calls(HotKeySimUnadvise);
    ASSERT_EQ(unadvised.size(), 1u);
    EXPECT_EQ(unadvised[0].args[0], advised[0].args[0]) << "Unadvise was given another cookie";
    EXPECT_EQ(unadvised[0].result, S_OK);
    EXPECT_EQ(unadvised[0].threadId, advised[0].threadId);
    EXPECT_EQ(sim.advisedSinks(), 0);
}

// A JVM unloads the library with the class loader that loaded it; the service thread never ends,
// so the library must stay mapped for it: after Init and the host's FreeLibrary the module is
// still there and events and calls are served.
TEST_F(HotKeyServiceTest, FreeLibraryAfterInitLeavesTheLibraryServing) {
    ASSERT_EQ(registerListener(host().newListener()), 0);
    ASSERT_EQ(init(), 0);
    expectStillMappedAfterFreeLibrary(gate.library.handle(), L"ChordGate.dll");
    EXPECT_EQ(sim.hotKeyHit(1, 2, 3).sinks, 1);
    EXPECT_EQ(host().listenerCalls().size(), 1u);
    EXPECT_EQ(registerStandard(), 0);
    EXPECT_EQ(cleanup(), 0);
}

// --- clean-up ------------------------------------------------------------------------------

TEST_F(HotKeyServiceTest, CleanupBeforeInitHasNothingToRelease) {
    EXPECT_EQ(cleanup(), 1);
    expectOnlySevere("Cleanup(): pHotKey is null", 0);
}

TEST_F(HotKeyServiceTest, AfterARegistrationAndCleanupTheThreadHasLeftItsApartment) {
    ASSERT_EQ(init(), 0);
    int entries = -1;
    host().runJavaThread([&](JNIEnv* env) {
        ASSERT_EQ(gate.RegisterStandard(env, receiver(), 1, 2, 3), 0);
        ASSERT_EQ(gate.Cleanup(env, receiver()), 0);
        entries = leaveApartment();
    });
    EXPECT_EQ(entries, 0) << "Cleanup leaves the apartment the registration entered";
}

TEST_F(HotKeyServiceTest, RawFormsAreTheSameOperations) {
    ASSERT_EQ(gate.RawInit(host().env(), receiver()), 0);
    ASSERT_EQ(gate.Init(host().env(), receiver()), 0);
    EXPECT_EQ(sim.counts().objectsCreated, 1);
    EXPECT_EQ(gate.RawCleanup(host().env(), receiver()), 0);
    EXPECT_EQ(gate.Cleanup(host().env(), receiver()), 1);
}

TEST_F(HotKeyServiceTest, AfterCleanupNothingUsesWhatWasReleased) {
    jobject listener = host().newListener();
    ASSERT_EQ(registerListener(listener), 0);
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(cleanup(), 0);
    host().clearRecords();

    EXPECT_EQ(registerStandard(), 1);
    expectOnlySevere("RegisterStandard(): pHotKey is null", 0);
    host().clearRecords();
    EXPECT_EQ(unregisterHot(), kEmptyStreamCode);
    expectOnlySevere("UnregisterHot(): CoUnmarshalInterface failed", kEmptyStreamCode);
    host().clearRecords();
    EXPECT_EQ(unregisterAllHot(), kEmptyStreamCode);
    expectOnlySevere("UnregisterAllHot(): CoUnmarshalInterface failed", kEmptyStreamCode);
    host().clearRecords();

    EXPECT_EQ(gate.ChordGate_RegisterStandard(1, 2, 3), S_FALSE);
    EXPECT_EQ(gate.ChordGate_UnregisterHot(1, 2), S_FALSE);
    EXPECT_EQ(gate.ChordGate_UnregisterAllHot(), S_FALSE);
    EXPECT_EQ(cleanup(), 1) << "a second clean-up";
    expectOnlySevere("Cleanup(): pHotKey is null", 0);
    gate.ChordGate_Cleanup();  // releases nothing a second time

    // The sink was unadvised and released: no event reaches the listener.
    EXPECT_EQ(sim.hotKeyHit(4, 5, 6).sinks, 0);
    EXPECT_EQ(sim.keyboardFailed().sinks, 0);
    EXPECT_EQ(sim.keyboardDetached().sinks, 0);
    EXPECT_TRUE(host().listenerCalls().empty());
    EXPECT_TRUE(sim.calls(HotKeySimRegisterStandard).empty());
    expectNothingLeft();
}

TEST_F(HotKeyServiceTest, JavaCallsAfterAStartUpThatFailedPastTheMarshalFindNothing) {
    sim.setScript(script([](HotKeySimScript& s) { s.queryContainerResult = E_NOINTERFACE; }));
    ASSERT_EQ(init(), -3);
    waitForThreadEnd(serviceThreadId());
    host().clearRecords();

    EXPECT_EQ(registerStandard(), 1);
    expectOnlySevere("RegisterStandard(): pHotKey is null", 0);
    EXPECT_EQ(unregisterAllHot(), kEmptyStreamCode) << "the marshalled copy was taken back";
    EXPECT_EQ(cleanup(), 1);
    expectNothingLeft();
}

// --- Java registration calls ---------------------------------------------------------------

struct Operation {
    const char* name;
    jlong (*call)(ChordGateService&, JNIEnv*, jclass);  // with arguments that need narrowing
    HotKeySimMethod method;
    HRESULT HotKeySimScript::*result;
    std::vector<int32_t> narrowedArgs;
    std::string prefix;
    const char* methodFailed;
};

const Operation kOperations[] = {
    {"RegisterStandard",
     [](ChordGateService& g, JNIEnv* env, jclass c) {
         return g.RegisterStandard(env, c, kAllBits, kSignBit, kHighBitsAnd70000);
     },
     HotKeySimRegisterStandard, &HotKeySimScript::registerStandardResult, {0x12345678, INT32_MIN, 70000},
     "RegisterStandard(): ", "RegisterStandard(): failed to register standard"},
    {"UnregisterHot",
     [](ChordGateService& g, JNIEnv* env, jclass c) { return g.UnregisterHot(env, c, kHighBitsAnd70000, kSignBit); },
     HotKeySimUnregisterHot, &HotKeySimScript::unregisterHotResult, {70000, INT32_MIN}, "UnregisterHot(): ",
     "UnregisterHot(): failed to unregister hot key"},
    {"UnregisterAllHot", [](ChordGateService& g, JNIEnv* env, jclass c) { return g.UnregisterAllHot(env, c); },
     HotKeySimUnregisterAllHot, &HotKeySimScript::unregisterAllHotResult, {}, "UnregisterAllHot(): ",
     "UnregisterAllHot(): failed to unregister all hot"},
};

void PrintTo(const Operation& op, std::ostream* out) { *out << op.name; }

class JavaRegistration : public HotKeyServiceTest, public ::testing::WithParamInterface<Operation> {
protected:
    jlong call() { return GetParam().call(gate, host().env(), receiver()); }
    std::vector<HotKeySimCall> componentCalls() { return sim.calls(GetParam().method); }
};

TEST_P(JavaRegistration, ReachesTheComponentOnTheServiceThreadWithNarrowedArguments) {
    const Operation& op = GetParam();
    ASSERT_EQ(init(), 0);
    host().clearRecords();

    EXPECT_EQ(call(), 0);
    EXPECT_TRUE(host().diagnostics().empty());
    auto calls = componentCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(onlyCallArgs(op.method), op.narrowedArgs);
    EXPECT_EQ(calls[0].threadId, serviceThreadId());
}

TEST_P(JavaRegistration, ComponentResultComesBackSignExtended) {
    const Operation& op = GetParam();
    ASSERT_EQ(init(), 0);
    struct Outcome {
        HRESULT component;
        jlong returned;
        bool logged;
    };
    const Outcome outcomes[] = {{S_OK, 0, false},
                                {S_FALSE, 1, false},
                                {E_FAIL, jlong{-0x7FFFBFFB}, true},  // 0x80004005 sign-extended
                                {S_OK, 0, false}};
    int expectedCalls = 0;
    for (const Outcome& o : outcomes) {
        HotKeySimScript s;
        s.*op.result = o.component;
        sim.setScript(s);
        host().clearRecords();

        const jlong result = call();
        EXPECT_EQ(result, o.returned) << std::hex << o.component;
        EXPECT_EQ(static_cast<HRESULT>(result & 0xFFFFFFFF), o.component);
        if (o.logged)
            expectOnlySevere(op.methodFailed, o.component);
        else
            EXPECT_TRUE(host().diagnostics().empty());
        EXPECT_EQ(componentCalls().size(), size_t(++expectedCalls)) << "the hand-off stream was refilled";
    }
}

TEST_P(JavaRegistration, CallerInTheMultithreadedApartmentIsRefusedAndTheStreamStays) {
    const Operation& op = GetParam();
    ASSERT_EQ(init(), 0);
    host().clearRecords();

    jlong result = 0;
    host().runJavaThread([&](JNIEnv* env) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        result = op.call(gate, env, receiver());
        CoUninitialize();
    });

    EXPECT_EQ(result, jlong{RPC_E_CHANGED_MODE});
    EXPECT_LT(result, 0);
    expectOnlySevere(op.prefix + "CoInitialize failed", RPC_E_CHANGED_MODE);
    EXPECT_TRUE(componentCalls().empty());
    EXPECT_EQ(call(), 0) << "the hand-off stream was not touched";
}

TEST_P(JavaRegistration, CallsOnTwoThreadsInSequenceBothReachTheComponent) {
    ASSERT_EQ(init(), 0);
    jlong results[2] = {-1, -1};
    for (jlong& result : results)
        host().runJavaThread([&](JNIEnv* env) { result = GetParam().call(gate, env, receiver()); });

    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(componentCalls().size(), 2u);
}

TEST_P(JavaRegistration, AfterAFailedRefillEveryLaterJavaCallFailsCleanly) {
    const Operation& op = GetParam();
    sim.setScript(script([](HotKeySimScript& s) { s.remarshalResult = E_ACCESSDENIED; }));
    ASSERT_EQ(init(), 0);
    host().clearRecords();

    EXPECT_EQ(call(), jlong{E_ACCESSDENIED});
    expectOnlySevere(op.prefix + "CoMarshalInterThreadInterfaceInStream failed", E_ACCESSDENIED);
    EXPECT_TRUE(componentCalls().empty());

    for (const Operation& later : kOperations) {
        host().clearRecords();
        EXPECT_EQ(later.call(gate, host().env(), receiver()), kEmptyStreamCode) << later.name;
        expectOnlySevere(later.prefix + "CoUnmarshalInterface failed", kEmptyStreamCode);
    }
    EXPECT_EQ(cleanup(), 0);
}

INSTANTIATE_TEST_SUITE_P(ThreeForms, JavaRegistration, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HotKeyServiceTest, JavaCallsBeforeSetUpFailWithoutTouchingTheComponent) {
    jlong results[3] = {};
    HRESULT laterInit = E_FAIL;
    host().runJavaThread([&](JNIEnv* env) {
        results[0] = gate.RegisterStandard(env, receiver(), 1, 2, 3);
        laterInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // refused if the call had entered an STA
        if (SUCCEEDED(laterInit)) CoUninitialize();
    });
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(laterInit, S_OK) << "RegisterStandard's guard comes before CoInitialize";
    expectOnlySevere("RegisterStandard(): pHotKey is null", 0);

    host().clearRecords();
    EXPECT_EQ(unregisterHot(), kEmptyStreamCode);
    expectOnlySevere("UnregisterHot(): CoUnmarshalInterface failed", kEmptyStreamCode);
    host().clearRecords();
    EXPECT_EQ(unregisterAllHot(), kEmptyStreamCode);
    expectOnlySevere("UnregisterAllHot(): CoUnmarshalInterface failed", kEmptyStreamCode);
    EXPECT_TRUE(sim.calls().empty());
}

// --- plain exports -------------------------------------------------------------------------

TEST_F(HotKeyServiceTest, PlainSetUpCallsAndCleanupOnOneThread) {
    EXPECT_EQ(gate.ChordGate_Init(), S_OK);
    EXPECT_EQ(sim.advisedSinks(), 0) << "no sink, no service thread";

    sim.setScript(script([](HotKeySimScript& s) { s.unregisterHotResult = E_FAIL; }));
    EXPECT_EQ(gate.ChordGate_RegisterStandard(0x12345678, INT32_MIN, 70000), S_OK);
    EXPECT_EQ(gate.ChordGate_UnregisterHot(70000, INT32_MIN), E_FAIL);
    EXPECT_EQ(gate.ChordGate_UnregisterAllHot(), S_OK);
    EXPECT_EQ(onlyCallArgs(HotKeySimRegisterStandard), (std::vector<int32_t>{0x12345678, INT32_MIN, 70000}));
    EXPECT_EQ(onlyCallArgs(HotKeySimUnregisterHot), (std::vector<int32_t>{70000, INT32_MIN}));
    for (const HotKeySimCall& call : sim.calls()) EXPECT_EQ(call.threadId, GetCurrentThreadId()) << call.method;
    EXPECT_EQ(sim.calls(HotKeySimUnregisterAllHot).size(), 1u);

    const int refs = sim.outstandingRefs();
    gate.ChordGate_Cleanup();
    EXPECT_EQ(refs - sim.outstandingRefs(), 2) << "pSoftKey and pHotKey";
    EXPECT_EQ(softKeyReleases(), 1);
    EXPECT_EQ(sim.liveObjects(), 0);
    EXPECT_TRUE(host().diagnostics().empty());
    EXPECT_EQ(gate.ChordGate_RegisterStandard(1, 2, 3), S_FALSE);
}

// A second thread's ChordGate_Init may not release the first thread's component from the wrong
// thread: it is refused, and the first thread's set-up stays usable and is released by its owner.
TEST_F(HotKeyServiceTest, PlainInitOnASecondThreadIsRefusedAndTouchesNothingOfTheFirst) {
    EXPECT_EQ(gate.ChordGate_Init(), S_OK);
    HRESULT second = S_OK, secondCall = S_OK;
    std::thread([&] {
        second = gate.ChordGate_Init();
        secondCall = gate.ChordGate_RegisterStandard(1, 2, 3);
    }).join();
    EXPECT_EQ(second, RPC_E_WRONG_THREAD);
    EXPECT_EQ(secondCall, RPC_E_WRONG_THREAD);
    EXPECT_EQ(sim.counts().objectsCreated, 1);
    EXPECT_EQ(sim.wrongThreadCalls(), 0);
    EXPECT_EQ(gate.ChordGate_RegisterStandard(4, 5, 6), S_OK);
    gate.ChordGate_Cleanup();
    EXPECT_EQ(sim.liveObjects(), 0);
}

TEST_F(HotKeyServiceTest, PlainCallsBeforeSetUpReturnOne) {
    EXPECT_EQ(gate.ChordGate_RegisterStandard(1, 2, 3), 1);
    EXPECT_EQ(gate.ChordGate_UnregisterHot(1, 2), 1);
    EXPECT_EQ(gate.ChordGate_UnregisterAllHot(), 1);
    EXPECT_TRUE(sim.calls().empty());
    EXPECT_TRUE(host().diagnostics().empty());
}

TEST_F(HotKeyServiceTest, PlainInitGoesOnInAnExistingSingleThreadedApartment) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(gate.ChordGate_Init(), S_OK);
    EXPECT_EQ(gate.ChordGate_RegisterStandard(1, 2, 3), S_OK);
    gate.ChordGate_Cleanup();
    CoUninitialize();
}

TEST_F(HotKeyServiceTest, PlainInitInTheMultithreadedApartmentCreatesNothing) {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(gate.ChordGate_Init(), RPC_E_CHANGED_MODE);
    EXPECT_EQ(sim.counts().objectsCreated, 0);
    EXPECT_EQ(gate.ChordGate_RegisterStandard(1, 2, 3), 1);
    CoUninitialize();
}

// --- many threads at once ------------------------------------------------------------------

TEST_F(HotKeyServiceTest, ManyThreadsRegisteringWhileEventsArriveAndTheListenerChanges) {
    ASSERT_EQ(registerListener(host().newListener()), 0);
    ASSERT_EQ(init(), 0);
    ASSERT_EQ(registerStandard(), 0);  // the calling thread's apartment and proxy manager exist now
    const int baseline = sim.outstandingRefs();

    constexpr int kThreads = 4, kCalls = 150;
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    StartBarrier start(kThreads);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.push_back(host().startJavaThread([&, t](JNIEnv* env) {
            start.arriveAndWait();
            for (int i = 0; i < kCalls; ++i) {
                const jlong result = i % 3 == 0   ? gate.RegisterStandard(env, receiver(), t, i, 0)
                                     : i % 3 == 1 ? gate.UnregisterHot(env, receiver(), t, i)
                                                  : gate.UnregisterAllHot(env, receiver());
                if (result != 0) ++failures;
            }
        }));
    std::thread events([&] {
        for (int i = 0; !stop; ++i) {
            sim.hotKeyHit(i, -i, 1, true);
            sim.keyboardFailed(true);
            if (i % 20 == 0) sim.waitForPosted(5000);
        }
    });
    std::thread listeners = host().startJavaThread([&](JNIEnv* env) {
        for (int i = 0; !stop && i < 500; ++i) {
            gate.RegisterListener(env, receiver(), host().newListener());
            if (i % 7 == 0) gate.UnregisterAllListener(env, receiver());
            Sleep(1);
        }
    });
    for (auto& worker : workers) worker.join();
    stop = true;
    events.join();
    listeners.join();
    EXPECT_EQ(sim.waitForPosted(10000), S_OK);

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(sim.calls(HotKeySimRegisterStandard).size() + sim.calls(HotKeySimUnregisterHot).size() +
                  sim.calls(HotKeySimUnregisterAllHot).size(),
              size_t(1 + kThreads * kCalls));
    EXPECT_EQ(registerStandard(), 0) << "one copy is still in the hand-off stream";
    EXPECT_EQ(sim.outstandingRefs(), baseline);
    EXPECT_TRUE(host().nonDaemonThreadsBesidesCallers().empty());
}

} // namespace
