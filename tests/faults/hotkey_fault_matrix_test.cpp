// ChordGate.dll's fault matrix: every start-up step failing, every component method failing,
// callers in the multithreaded apartment, a listener that throws, events after clean-up, and
// orders of calls nobody plans for (two Inits, Cleanup twice, calls after Cleanup, the Java and
// the plain set-up mixed). Each row runs in a process of its own; every call must come back,
// with its documented value and diagnostics, and the host must have seen no JNI misuse.
#include <gtest/gtest.h>
#include <olectl.h>

#include <string>
#include <thread>
#include <vector>

#include "chord_gate_service.h"
#include "fault_matrix.h"
#include "host_fixture.h"
#include "scenario_helpers.h"
#include "time_scale.h"
#include "hotkey_sim_control.h"
#include "new_threads_in_mta.h"
#include "win_resources.h"

namespace {

using fault_matrix::kAnyNegative;
using fault_matrix::runSteps;

class HotKeyFaults;
using Step = fault_matrix::Step<HotKeyFaults>;

struct HotKeyRow {
    const char* name;
    HotKeySimScript script;
    std::vector<Step> steps;
    DWORD budgetMs = 5000;
};
void PrintTo(const HotKeyRow& row, std::ostream* out) { *out << row.name; }

class HotKeyFaults : public ::testing::TestWithParam<HotKeyRow> {
public:
    jlong init() { return gate.Init(host().env(), receiver()); }
    jlong initWithServiceThreadInMta() {
        new_threads_in_mta::arm(true);
        const jlong status = init();
        new_threads_in_mta::arm(false);
        return status;
    }
    jlong failNextAllocation() { return gate.FailNextAllocation(), 0; }
    // Every clean-up must let go of the library's event sink, but for one whose service thread a
    // listener keeps busy.
    jlong cleanup() {
        const jlong result = gate.Cleanup(host().env(), receiver());
        if (!listenerBlocking) {
            EXPECT_EQ(gate.LiveEventSinks(), 0) << "a sink outlived the clean-up";
        }
        return result;
    }
    jlong liveEventSinks() { return gate.LiveEventSinks(); }
    jlong registerStandard() { return gate.RegisterStandard(host().env(), receiver(), 1, 2, 3); }
    jlong unregisterHot() { return gate.UnregisterHot(host().env(), receiver(), 1, 2); }
    jlong unregisterAllHot() { return gate.UnregisterAllHot(host().env(), receiver()); }

    jlong registerStandardInMta() {
        return inMta([this](JNIEnv* env) { return gate.RegisterStandard(env, receiver(), 1, 2, 3); });
    }
    jlong unregisterHotInMta() {
        return inMta([this](JNIEnv* env) { return gate.UnregisterHot(env, receiver(), 1, 2); });
    }
    jlong unregisterAllHotInMta() {
        return inMta([this](JNIEnv* env) { return gate.UnregisterAllHot(env, receiver()); });
    }
    jlong cleanupInMta() {
        return inMta([this](JNIEnv* env) { return gate.Cleanup(env, receiver()); });
    }
    // A native caller whose thread is in the MTA: its set-up is refused, and so nothing is there
    // for its calls.
    jlong plainSetUpInMta() {
        return inMta([this](JNIEnv*) {
            const HRESULT init = gate.ChordGate_Init();
            return gate.ChordGate_RegisterStandard(1, 2, 3) == 1 ? jlong{init} : jlong{-100};
        });
    }

    // On a thread of its own, not the one that called ChordGate_Init.
    jlong plainRegisterStandardElsewhere() {
        HRESULT result = -100;
        std::thread([&] { result = gate.ChordGate_RegisterStandard(1, 2, 3); }).join();
        return result;
    }
    jlong plainCleanupElsewhere() {
        std::thread([&] { gate.ChordGate_Cleanup(); }).join();
        return 0;
    }
    jlong plainInit() { return gate.ChordGate_Init(); }

    // A listener whose HotKeyHit keeps the service thread busy until listenerReturns(): a hit is
    // posted and has reached it when this returns (1).
    jlong listenerBlocksTheServiceThread() {
        host().onListenerCall([this](const jnihost::ListenerCall& call) {
            if (call.method == "HotKeyHit") WaitForSingleObject(listenerMayReturn.get(), hangLimitMs(30000));
        });
        listenerBlocking = true;
        sim.hotKeyHit(1, 2, 3, true);
        return host().waitForListenerCalls(1, int(hangLimitMs(5000))) ? jlong(host().listenerCalls().size()) : 0;
    }
    jlong listenerReturns() {
        SetEvent(listenerMayReturn.get());
        listenerBlocking = false;
        return sim.waitForPosted(hangLimitMs(10000));
    }
    jlong plainCleanup() { return gate.ChordGate_Cleanup(), 0; }
    jlong plainRegisterStandard() { return gate.ChordGate_RegisterStandard(1, 2, 3); }
    jlong plainUnregisterHot() { return gate.ChordGate_UnregisterHot(1, 2); }
    jlong plainUnregisterAllHot() { return gate.ChordGate_UnregisterAllHot(); }

    jlong registerListener() { return gate.RegisterListener(host().env(), receiver(), host().newListener()); }
    jlong registerThrowingListener() {
        return gate.RegisterListener(host().env(), receiver(), host().newListener({}, true));
    }
    jlong unregisterAllListener() { return gate.UnregisterAllListener(host().env(), receiver()); }
    // The three events, raised on the component's thread; returns the listener calls so far.
    jlong raiseEvents() {
        sim.hotKeyHit(7, -1, 300);
        sim.keyboardFailed();
        sim.keyboardDetached();
        return jlong(host().listenerCalls().size());
    }

    // 0 once the thread that created the first component has ended (a failed start-up's thread
    // still detaches after its signal; a process that ends meanwhile may hang in its exit).
    jlong serviceThreadEnds() {
        const auto created = sim.calls(HotKeySimCreate);
        if (created.empty()) return -1;
        HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, created[0].threadId);
        if (!thread) return 0;  // gone already
        const DWORD waited = WaitForSingleObject(thread, hangLimitMs(5000));
        CloseHandle(thread);
        return waited == WAIT_OBJECT_0 ? 0 : 1;
    }
    jlong componentsCreated() { return sim.counts().objectsCreated; }
    jlong creationsBegun() { return sim.counts().creationsBegun; }
    // 0 once the first creation has returned, bounded at 10 s (on a native build).
    jlong lateStartUpEnds() {
        for (DWORD tries = 0; tries < 100 * timeScale(); ++tries, Sleep(100))
            if (sim.counts().objectsCreated > 0) return 0;
        return 1;
    }
    jlong componentsAlive() { return sim.liveObjects(); }
    jlong creationFails() { return setCreation(E_OUTOFMEMORY, S_OK), 0; }
    jlong marshalFails() { return setCreation(S_OK, E_ACCESSDENIED), 0; }
    jlong componentBack() { return setCreation(S_OK, S_OK), 0; }
    // The listener's KBDetached cleans up and initialises again, on the service thread, from
    // within the event; returns 100 * Cleanup's result + Init's.
    jlong detachedListenerStartsAgain() {
        jlong cleaned = -100, started = -100;
        host().onListenerCall([&](const jnihost::ListenerCall& call) {
            if (call.method != "KBDetached") return;
            cleaned = gate.Cleanup(host().env(), receiver());
            started = gate.Init(host().env(), receiver());
        });
        sim.keyboardDetached();
        host().onListenerCall(nullptr);
        return 100 * cleaned + started;
    }
    jlong advisedSinks() { return sim.advisedSinks(); }
    // Which component (1, 2, ... in creation order) the last RegisterStandard reached, and whether
    // on the thread that created it: the component's number, negated when on another thread; 0
    // for none.
    jlong lastRegistrationReached() {
        const auto calls = sim.calls(HotKeySimRegisterStandard);
        if (calls.empty()) return 0;
        const HotKeySimCall& last = calls.back();
        for (const HotKeySimCall& created : sim.calls(HotKeySimCreate))
            if (created.objectId == last.objectId && created.threadId == last.threadId) return jlong(last.objectId);
        return -jlong(last.objectId);
    }

protected:
    void SetUp() override { sim.reset(); }
    void TearDown() override { EXPECT_NO_JNI_VIOLATIONS(); }

    jclass receiver() { return host().receiver(); }

    // On a Java thread of its own that is in the multithreaded apartment before the call.
    template <class Call>
    jlong inMta(Call call) {
        jlong result = -100;
        host().runJavaThread([&](JNIEnv* env) {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            result = call(env);
            CoUninitialize();
        });
        return result;
    }

    void setCreation(HRESULT create, HRESULT marshal) {
        HotKeySimScript changed = GetParam().script;
        changed.createResult = create;
        changed.marshalResult = marshal;
        sim.setScript(changed);
    }

    HotKeySim sim = HotKeySim::load();
    ChordGateService gate;
    UniqueHandle listenerMayReturn{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    bool listenerBlocking = false;
};

TEST_P(HotKeyFaults, EveryCallReturnsItsDocumentedValue) {
    sim.setScript(GetParam().script);
    runSteps<HotKeyFaults>(*this, GetParam().steps, GetParam().budgetMs);
}

constexpr jlong kEmptyStream = E_INVALIDARG;  // a take from an absent hand-off stream
constexpr jlong kNotSetUp = 1;

const char kReady[] = "Init(): hotkey is initialized successfully";
const char kTimedOut[] = "Init(): hotkey may not be initialzed due to timeout";
const char kNoHotKey[] = "RegisterStandard(): pHotKey is null";
const char kCleanupNoHotKey[] = "Cleanup(): pHotKey is null";

const Step kInit{"Init", &HotKeyFaults::init, 0, {kReady}};
const Step kCleanup{"Cleanup", &HotKeyFaults::cleanup, 0};
const Step kCleanupFindsNothing{"Cleanup", &HotKeyFaults::cleanup, 1, {kCleanupNoHotKey}};
const Step kRegister{"RegisterStandard", &HotKeyFaults::registerStandard, 0};
const Step kUnregister{"UnregisterHot", &HotKeyFaults::unregisterHot, 0};
const Step kUnregisterAll{"UnregisterAllHot", &HotKeyFaults::unregisterAllHot, 0};
const Step kRegisterNotSetUp{"RegisterStandard", &HotKeyFaults::registerStandard, kNotSetUp, {kNoHotKey}};
const Step kUnregisterFindsNoStream{"UnregisterHot", &HotKeyFaults::unregisterHot, kEmptyStream,
                                    {"UnregisterHot(): CoUnmarshalInterface failed"}};
const Step kUnregisterAllFindsNoStream{"UnregisterAllHot", &HotKeyFaults::unregisterAllHot, kEmptyStream,
                                       {"UnregisterAllHot(): CoUnmarshalInterface failed"}};
const Step kServiceThreadEnds{"the failed service thread ends", &HotKeyFaults::serviceThreadEnds, 0};
const Step kPlainRegisterNotSetUp{"ChordGate_RegisterStandard", &HotKeyFaults::plainRegisterStandard, kNotSetUp};
const Step kPlainUnregisterNotSetUp{"ChordGate_UnregisterHot", &HotKeyFaults::plainUnregisterHot, kNotSetUp};
const Step kPlainUnregisterAllNotSetUp{"ChordGate_UnregisterAllHot", &HotKeyFaults::plainUnregisterAllHot,
                                       kNotSetUp};
const Step kListener{"RegisterListener", &HotKeyFaults::registerListener, 0};
Step kComponentsAlive(jlong count) { return {"components alive", &HotKeyFaults::componentsAlive, count}; }

// A failed start-up leaves nothing behind: nothing to call, nothing to clean up.
std::vector<Step> failedStartUp(jlong status, const char* message) {
    return {{"Init", &HotKeyFaults::init, status, {message}}, kServiceThreadEnds, kRegisterNotSetUp,
            kUnregisterFindsNoStream, kCleanupFindsNothing};
}

const HotKeyRow kRows[] = {
    // --- every start-up step failing (-6 cannot: the library's own sink always answers IUnknown)
    {"ServiceThreadCannotInitializeCom", {},
     {{"Init, service thread in the MTA", &HotKeyFaults::initWithServiceThreadInMta, -1,
       {"Init(): cannot initialize COM library"}},
      kRegisterNotSetUp, kUnregisterFindsNoStream, kCleanupFindsNothing}},
    {"ComponentCannotBeCreated", script([](HotKeySimScript& s) { s.createResult = E_OUTOFMEMORY; }),
     failedStartUp(-2, "Init(): cannot create COM object")},
    {"NoConnectionPointContainer", script([](HotKeySimScript& s) { s.queryContainerResult = E_NOINTERFACE; }),
     failedStartUp(-3, "Init(): query iconnection point container interface failed")},
    {"NoConnectionPoint",
     script([](HotKeySimScript& s) { s.findConnectionPointResult = CONNECT_E_NOCONNECTION; }),
     failedStartUp(-4, "Init(): find connection hot key point failed")},
    {"NoSoftKey", script([](HotKeySimScript& s) { s.querySoftKeyResult = E_NOINTERFACE; }),
     failedStartUp(-5, "Init(): query soft key interface failed")},
    {"ComponentCannotBeMarshalled", script([](HotKeySimScript& s) { s.marshalResult = E_ACCESSDENIED; }),
     failedStartUp(-7, "Init(): CoMarshalInterThreadInterfaceInStream failed")},
    {"StartUpOutlastsTheWait", script([](HotKeySimScript& s) { s.createDelayMs = 11000; }),
     {{"Init", &HotKeyFaults::init, -8, {kTimedOut}},
      kRegisterNotSetUp,
      {"Init again, waits for the same start-up", &HotKeyFaults::init, 0, {kReady}},
      kRegister,
      {"components created", &HotKeyFaults::componentsCreated, 1}},
     25000},
    // An Init that gave up waiting starts no second start-up: it waits for the one still running,
    // and an Init after that one ended finds it done.
    {"StartUpOutlastsTwoWaits", script([](HotKeySimScript& s) { s.createDelayMs = 23000; }),
     {{"Init", &HotKeyFaults::init, -8, {kTimedOut}},
      {"Init again, gives up too", &HotKeyFaults::init, -8, {kTimedOut}},
      {"creations begun", &HotKeyFaults::creationsBegun, 1},
      {"the late start-up ends", &HotKeyFaults::lateStartUpEnds, 0},
      kInit, kRegister,
      {"creations begun", &HotKeyFaults::creationsBegun, 1}},
     45000},
    {"SinkCannotBeAllocated", {},
     {{"the library's next allocation fails", &HotKeyFaults::failNextAllocation, 0},
      {"Init", &HotKeyFaults::init, -9, {"Init(): unexpected error"}},
      kServiceThreadEnds, kCleanupFindsNothing, kInit, kRegister, kCleanup}},
    // Advise's result is not looked at: the start-up succeeds, and no event can arrive.
    {"AdviseRefused", script([](HotKeySimScript& s) { s.adviseResult = CONNECT_E_ADVISELIMIT; }),
     {kListener, kInit, {"advised sinks", &HotKeyFaults::advisedSinks, 0},
      {"events, listener calls", &HotKeyFaults::raiseEvents, 0}, kRegister, kCleanup}},

    // --- every component method failing
    {"RegistrationMethodsFail", script([](HotKeySimScript& s) {
         s.registerStandardResult = E_FAIL;
         s.unregisterHotResult = E_ACCESSDENIED;
         s.unregisterAllHotResult = E_UNEXPECTED;
     }),
     {kInit,
      {"RegisterStandard", &HotKeyFaults::registerStandard, E_FAIL, {"RegisterStandard(): failed to register standard"}},
      {"UnregisterHot", &HotKeyFaults::unregisterHot, E_ACCESSDENIED, {"UnregisterHot(): failed to unregister hot key"}},
      {"UnregisterAllHot", &HotKeyFaults::unregisterAllHot, E_UNEXPECTED,
       {"UnregisterAllHot(): failed to unregister all hot"}},
      {"RegisterStandard again: the copy was put back", &HotKeyFaults::registerStandard, E_FAIL,
       {"RegisterStandard(): failed to register standard"}},
      {"ChordGate_Init", &HotKeyFaults::plainInit, S_OK},
      {"ChordGate_RegisterStandard", &HotKeyFaults::plainRegisterStandard, E_FAIL},
      {"ChordGate_UnregisterHot", &HotKeyFaults::plainUnregisterHot, E_ACCESSDENIED},
      {"ChordGate_UnregisterAllHot", &HotKeyFaults::plainUnregisterAllHot, E_UNEXPECTED}}},
    {"RegistrationMethodsSucceedWithFalse", script([](HotKeySimScript& s) {
         s.registerStandardResult = S_FALSE;
         s.unregisterHotResult = S_FALSE;
     }),
     {kInit, {"RegisterStandard", &HotKeyFaults::registerStandard, 1},
      {"UnregisterHot", &HotKeyFaults::unregisterHot, 1}, kUnregisterAll}},
    {"RefillFails", script([](HotKeySimScript& s) { s.remarshalResult = E_ACCESSDENIED; }),
     {kInit,
      {"RegisterStandard", &HotKeyFaults::registerStandard, E_ACCESSDENIED,
       {"RegisterStandard(): CoMarshalInterThreadInterfaceInStream failed"}},
      {"RegisterStandard", &HotKeyFaults::registerStandard, kEmptyStream,
       {"RegisterStandard(): CoUnmarshalInterface failed"}},
      kUnregisterFindsNoStream, kUnregisterAllFindsNoStream, kCleanup}},

    // --- callers in the multithreaded apartment
    {"JavaCallersInTheMta", {},
     {kInit,
      {"RegisterStandard in the MTA", &HotKeyFaults::registerStandardInMta, RPC_E_CHANGED_MODE,
       {"RegisterStandard(): CoInitialize failed"}},
      {"UnregisterHot in the MTA", &HotKeyFaults::unregisterHotInMta, RPC_E_CHANGED_MODE,
       {"UnregisterHot(): CoInitialize failed"}},
      {"UnregisterAllHot in the MTA", &HotKeyFaults::unregisterAllHotInMta, RPC_E_CHANGED_MODE,
       {"UnregisterAllHot(): CoInitialize failed"}},
      kRegister, {"Cleanup in the MTA", &HotKeyFaults::cleanupInMta, 0}, kRegisterNotSetUp}},
    {"NativeCallerInTheMta", {},
     {{"ChordGate_Init in the MTA", &HotKeyFaults::plainSetUpInMta, RPC_E_CHANGED_MODE},
      {"components created", &HotKeyFaults::componentsCreated, 0}}},

    // --- the listener
    // Each call leaves the listener's exception pending; it goes with the detach after the call.
    {"ListenerThrows", {},
     {{"RegisterListener, a throwing one", &HotKeyFaults::registerThrowingListener, 0}, kInit,
      {"events, listener calls", &HotKeyFaults::raiseEvents, 3},
      {"events again, listener calls", &HotKeyFaults::raiseEvents, 6}, kRegister}},
    // Clean-up unadvises the sink: no event reaches the listener afterwards.
    {"EventsAfterCleanup", {},
     {kListener, kInit, {"events, listener calls", &HotKeyFaults::raiseEvents, 3}, kCleanup,
      {"events, listener calls", &HotKeyFaults::raiseEvents, 3}, {"advised sinks", &HotKeyFaults::advisedSinks, 0},
      kComponentsAlive(0), kCleanupFindsNothing}},
    // A listener that lets go of the detached keyboard and takes hold again, from within KBDetached.
    {"DetachedListenerCleansUpAndInitsAgain", {},
     {kListener, kInit,
      {"KBDetached cleans up and inits: 100 * Cleanup + Init", &HotKeyFaults::detachedListenerStartsAgain, 0,
       {kReady}},
      {"components created", &HotKeyFaults::componentsCreated, 2}, kComponentsAlive(1),
      {"advised sinks", &HotKeyFaults::advisedSinks, 1}, kRegister,
      {"...reached the new component on its thread", &HotKeyFaults::lastRegistrationReached, 2},
      {"events, listener calls (KBDetached was one)", &HotKeyFaults::raiseEvents, 4}, kListener,
      {"events, listener calls", &HotKeyFaults::raiseEvents, 7}, kCleanup, kComponentsAlive(0)}},

    // --- orders of calls
    {"CallsBeforeInit", {},
     {kRegisterNotSetUp, kUnregisterFindsNoStream, kUnregisterAllFindsNoStream, kPlainRegisterNotSetUp,
      kPlainUnregisterNotSetUp, kPlainUnregisterAllNotSetUp, kCleanupFindsNothing,
      {"ChordGate_Cleanup", &HotKeyFaults::plainCleanup, 0}, kInit, kRegister}},
    {"TwoInits", {},
     {kInit, kInit, kRegister, {"components created", &HotKeyFaults::componentsCreated, 1},
      {"advised sinks", &HotKeyFaults::advisedSinks, 1}}},
    {"CallsAfterCleanupAndCleanupTwice", {},
     {kInit, kRegister, kCleanup, kRegisterNotSetUp, kUnregisterFindsNoStream, kUnregisterAllFindsNoStream,
      kPlainRegisterNotSetUp, kPlainUnregisterNotSetUp, kPlainUnregisterAllNotSetUp, kCleanupFindsNothing,
      {"ChordGate_Cleanup", &HotKeyFaults::plainCleanup, 0}, kCleanupFindsNothing}},
    // Clean-up gets no answer within 10 s from a thread that a listener keeps busy: it gives the
    // set-up up at once and returns 0; the thread releases everything once the listener returns,
    // and an Init queued after that starts up afresh.
    {"CleanupWhileAListenerBlocksTheServiceThread", {},
     {kListener, kInit, {"a hit's listener blocks the service thread", &HotKeyFaults::listenerBlocksTheServiceThread, 1},
      kCleanup, kRegisterNotSetUp, kCleanupFindsNothing, kComponentsAlive(1),
      {"the listener returns", &HotKeyFaults::listenerReturns, S_OK}, kInit,
      {"components created", &HotKeyFaults::componentsCreated, 2}, kComponentsAlive(1),
      {"sinks alive", &HotKeyFaults::liveEventSinks, 1}, kRegister,
      {"...reached the new component on its thread", &HotKeyFaults::lastRegistrationReached, 2},
      {"events, listener calls", &HotKeyFaults::raiseEvents, 4}, kCleanup},
     30000},
    // The living service thread starts up again: a new component, connection and sink, and each
    // event reaches the listener once, through the new sink only.
    {"InitAfterCleanup", {},
     {kListener, kInit, {"events, listener calls", &HotKeyFaults::raiseEvents, 3}, kCleanup, kComponentsAlive(0),
      kInit, {"components created", &HotKeyFaults::componentsCreated, 2}, kRegister,
      {"...reached the new component on its thread", &HotKeyFaults::lastRegistrationReached, 2},
      {"events, listener calls", &HotKeyFaults::raiseEvents, 6}, kCleanup, kComponentsAlive(0)}},
    {"InitAfterCleanupCannotCreate", {},
     {kInit, kCleanup, {"the component cannot be created", &HotKeyFaults::creationFails, 0},
      {"Init", &HotKeyFaults::init, -2, {"Init(): cannot create COM object"}}, kRegisterNotSetUp,
      kUnregisterFindsNoStream, kCleanupFindsNothing, {"the component back", &HotKeyFaults::componentBack, 0}, kInit,
      kRegister, kCleanup}},
    {"InitAfterCleanupCannotMarshal", {},
     {kInit, kCleanup, {"the component cannot be marshalled", &HotKeyFaults::marshalFails, 0},
      {"Init", &HotKeyFaults::init, -7, {"Init(): CoMarshalInterThreadInterfaceInStream failed"}},
      kComponentsAlive(0), kRegisterNotSetUp, kCleanupFindsNothing,
      {"the component back", &HotKeyFaults::componentBack, 0}, kInit, kRegister, kCleanup}},
    // The two set-ups stay apart: each form reaches its own component on the thread that made it,
    // and each clean-up releases only its own.
    {"PlainSetUpAfterJavaSetUp", {},
     {kInit, {"ChordGate_Init", &HotKeyFaults::plainInit, S_OK},
      {"ChordGate_RegisterStandard", &HotKeyFaults::plainRegisterStandard, S_OK},
      {"...reached the caller's own component on its thread", &HotKeyFaults::lastRegistrationReached, 2}, kRegister,
      {"...reached the service thread's component on its thread", &HotKeyFaults::lastRegistrationReached, 1},
      kCleanup, kComponentsAlive(1), kRegisterNotSetUp,
      {"ChordGate_RegisterStandard", &HotKeyFaults::plainRegisterStandard, S_OK},
      {"...reached the caller's own component on its thread", &HotKeyFaults::lastRegistrationReached, 2},
      {"ChordGate_Cleanup", &HotKeyFaults::plainCleanup, 0}, kComponentsAlive(0), kPlainRegisterNotSetUp}},
    {"JavaSetUpAfterPlainSetUp", {},
     {{"ChordGate_Init", &HotKeyFaults::plainInit, S_OK},
      {"ChordGate_RegisterStandard", &HotKeyFaults::plainRegisterStandard, S_OK},
      {"...reached the caller's own component on its thread", &HotKeyFaults::lastRegistrationReached, 1},
      kRegisterNotSetUp, kUnregisterFindsNoStream, kInit, kRegister,
      {"...reached the service thread's component on its thread", &HotKeyFaults::lastRegistrationReached, 2},
      {"ChordGate_RegisterStandard", &HotKeyFaults::plainRegisterStandard, S_OK},
      {"...reached the caller's own component on its thread", &HotKeyFaults::lastRegistrationReached, 1},
      {"ChordGate_Cleanup", &HotKeyFaults::plainCleanup, 0}, kComponentsAlive(1), kPlainRegisterNotSetUp, kRegister,
      {"...reached the service thread's component on its thread", &HotKeyFaults::lastRegistrationReached, 2},
      kCleanup, kComponentsAlive(0)}},
    // The plain set-up's component is called and released only on the thread that made it.
    {"PlainCallsOnAnotherThread", {},
     {{"ChordGate_Init", &HotKeyFaults::plainInit, S_OK},
      {"ChordGate_RegisterStandard elsewhere", &HotKeyFaults::plainRegisterStandardElsewhere, RPC_E_WRONG_THREAD},
      {"ChordGate_Cleanup elsewhere", &HotKeyFaults::plainCleanupElsewhere, 0}, kComponentsAlive(1),
      {"ChordGate_RegisterStandard", &HotKeyFaults::plainRegisterStandard, S_OK},
      {"ChordGate_Cleanup", &HotKeyFaults::plainCleanup, 0}, kComponentsAlive(0), kPlainRegisterNotSetUp}},
    {"PlainSetUpAndCleanupThenJavaSetUp", {},
     {{"ChordGate_Init", &HotKeyFaults::plainInit, S_OK},
      {"ChordGate_RegisterStandard", &HotKeyFaults::plainRegisterStandard, S_OK},
      {"ChordGate_Cleanup", &HotKeyFaults::plainCleanup, 0}, kInit, kRegister, kListener,
      {"events, listener calls", &HotKeyFaults::raiseEvents, 3}, kCleanup}},
};

INSTANTIATE_TEST_SUITE_P(Rows, HotKeyFaults, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
