// ChordGate.dll's listener dispatch through the checking JNI host: Java threads register and
// unregister listeners, native threads raise the forwards as the service thread does.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chord_gate.h"
#include "host_fixture.h"
#include "time_scale.h"

namespace {

using jnihost::ListenerCall;
using jnihost::ListenerClass;

struct Call {
    int listener;
    std::string method;
    std::vector<jlong> args;
    bool operator==(const Call& o) const { return listener == o.listener && method == o.method && args == o.args; }
};

std::ostream& operator<<(std::ostream& out, const Call& call) {
    out << call.listener << "." << call.method << "(";
    for (size_t i = 0; i < call.args.size(); ++i) out << (i ? ", " : "") << call.args[i];
    return out << ")";
}

std::vector<Call> calls() {
    std::vector<Call> result;
    for (const ListenerCall& call : host().listenerCalls()) result.push_back({call.listener, call.method, call.args});
    return result;
}

DWORD WINAPI runTask(LPVOID task) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(task));
    (*body)();
    return 0;
}

// Runs body on a new native thread, unattached like the service thread. False when it does not
// end in time (a deadlock); the thread is then left behind.
bool onNativeThread(std::function<void()> body, DWORD timeoutMs = hangLimitMs(10000)) {
    auto task = std::make_unique<std::function<void()>>(std::move(body));
    HANDLE thread = CreateThread(nullptr, 0, runTask, task.get(), 0, nullptr);
    if (!thread) return false;
    task.release();
    const bool ended = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}

class ListenerDispatch : public ::testing::Test {
protected:
    void SetUp() override { baseGlobalRefs = host().liveGlobalRefs(); }
    void TearDown() override { EXPECT_NO_JNI_VIOLATIONS(); }

    jlong registerListener(jobject listener) {
        return gate.RegisterListener(host().env(), host().receiver(), listener);
    }
    jlong unregisterAll() { return gate.UnregisterAllListener(host().env(), host().receiver()); }

    void forwardAll() {
        ASSERT_TRUE(onNativeThread([this] {
            gate.ForwardHotKeyHit(1, 2, 3);
            gate.ForwardKeyboardStatus(2);
            gate.ForwardKeyboardStatus(3);
        }));
    }
    static std::vector<Call> allThreeTo(int listener) {
        return {{listener, "HotKeyHit", {1, 2, 3}}, {listener, "KBFailed", {}}, {listener, "KBDetached", {}}};
    }

    ChordGate gate;
    int baseGlobalRefs = 0;
};

// --- delivery ------------------------------------------------------------------------------

TEST_F(ListenerDispatch, EventsBeforeAnyRegistrationAreDropped) {
    forwardAll();
    EXPECT_TRUE(calls().empty());
}

struct HitCase {
    std::int32_t first, second, third;
};
void PrintTo(const HitCase& c, std::ostream* out) { *out << c.first << ", " << c.second << ", " << c.third; }

class ListenerHotKeyValues : public ListenerDispatch, public ::testing::WithParamInterface<HitCase> {};

TEST_P(ListenerHotKeyValues, ArriveSignExtendedInOrder) {
    jobject listener = host().newListener();
    ASSERT_EQ(registerListener(listener), 0);
    const HitCase hit = GetParam();
    DWORD forwardThread = 0;
    ASSERT_TRUE(onNativeThread([&] {
        forwardThread = GetCurrentThreadId();
        gate.ForwardHotKeyHit(hit.first, hit.second, hit.third);
    }));
    const auto recorded = host().listenerCalls();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].listener, host().listenerId(listener));
    EXPECT_EQ(recorded[0].method, "HotKeyHit");
    EXPECT_EQ(recorded[0].args, (std::vector<jlong>{hit.first, hit.second, hit.third}));
    EXPECT_EQ(recorded[0].thread, forwardThread);
}

INSTANTIATE_TEST_SUITE_P(, ListenerHotKeyValues, ::testing::Values(
    HitCase{-1, 2147483647, INT32_MIN},
    HitCase{7, -1, 300},
    HitCase{INT32_MIN, 0, -2}));

TEST_F(ListenerDispatch, StatusCodesTwoAndThreeReachTheirMethodsAndNoOtherCodeCallsAnything) {
    jobject listener = host().newListener();
    ASSERT_EQ(registerListener(listener), 0);
    const int id = host().listenerId(listener);
    ASSERT_TRUE(onNativeThread([this] {
        for (std::int32_t code : {0, 1, 4, -1, -2, 3 + 256, INT32_MIN, INT32_MAX}) gate.ForwardKeyboardStatus(code);
    }));
    EXPECT_TRUE(calls().empty());
    ASSERT_TRUE(onNativeThread([this] {
        gate.ForwardKeyboardStatus(3);
        gate.ForwardKeyboardStatus(2);
    }));
    EXPECT_EQ(calls(), (std::vector<Call>{{id, "KBDetached", {}}, {id, "KBFailed", {}}}));
}

// How the forwarding thread stands towards the JVM before the forwards: the service thread is
// attached as a daemon from its start-up on; a thread attached by someone else keeps that
// attachment; an unattached thread (none is expected) is attached as a daemon for each call.
struct AttachCase {
    const char* name;
    enum { Unattached, AttachedAsDaemon, AttachedByOthers } before;
};
void PrintTo(const AttachCase& c, std::ostream* out) { *out << c.name; }

class ForwardingThread : public ListenerDispatch, public ::testing::WithParamInterface<AttachCase> {
protected:
    // Runs body on a new native thread in the case's state, detaching it afterwards if the case
    // attached it. False when the thread did not end in time or could not be attached.
    bool onCaseThread(const std::function<void()>& body) {
        bool attached = true;
        const bool ended = onNativeThread([&] {
            JNIEnv* env = nullptr;
            JavaVM* vm = host().vm();
            if (GetParam().before == AttachCase::AttachedAsDaemon)
                attached = vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) == JNI_OK;
            else if (GetParam().before == AttachCase::AttachedByOthers)
                attached = vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) == JNI_OK;
            if (attached) body();
            if (GetParam().before != AttachCase::Unattached) vm->DetachCurrentThread();
        });
        return ended && attached;
    }
    bool attachedBefore() const { return GetParam().before != AttachCase::Unattached; }
};

// A native thread left attached as a non-daemon keeps the JVM from exiting; a detach per event
// undoes the service thread's attachment (and, in a JVM, an attach per event can deadlock with
// its shutdown).
TEST_P(ForwardingThread, KeepsAnAttachmentItFoundAndOtherwiseAttachesAsADaemonForTheCallOnly) {
    ASSERT_EQ(registerListener(host().newListener()), 0);
    std::vector<bool> attachedAfterwards;
    ASSERT_TRUE(onCaseThread([&] {
        gate.ForwardHotKeyHit(1, 2, 3);
        attachedAfterwards.push_back(host().isAttached(GetCurrentThreadId()));
        gate.ForwardKeyboardStatus(2);
        attachedAfterwards.push_back(host().isAttached(GetCurrentThreadId()));
        gate.ForwardKeyboardStatus(3);
        attachedAfterwards.push_back(host().isAttached(GetCurrentThreadId()));
    }));
    const auto recorded = host().listenerCalls();
    ASSERT_EQ(recorded.size(), 3u);
    for (const ListenerCall& call : recorded)
        EXPECT_EQ(call.daemon, GetParam().before != AttachCase::AttachedByOthers) << call.method;
    EXPECT_EQ(attachedAfterwards, std::vector<bool>(3, attachedBefore()));
}

// An attached thread needs no attach: the forwards get through while every attach fails.
TEST_P(ForwardingThread, AFailedAttachDropsTheEventOnlyOnAThreadThatNeedsOne) {
    jobject listener = host().newListener();
    ASSERT_EQ(registerListener(listener), 0);
    std::vector<Call> during;
    ASSERT_TRUE(onCaseThread([&] {
        host().setAttachAsDaemonFails(true);
        host().setAttachFails(true);
        gate.ForwardHotKeyHit(1, 2, 3);
        gate.ForwardKeyboardStatus(2);
        gate.ForwardKeyboardStatus(3);
        during = calls();
    }));
    host().setAttachAsDaemonFails(false);
    host().setAttachFails(false);
    EXPECT_EQ(during, attachedBefore() ? allThreeTo(host().listenerId(listener)) : std::vector<Call>{});
    host().clearRecords();
    forwardAll();
    EXPECT_EQ(calls(), allThreeTo(host().listenerId(listener)));
}

// What a listener throws is cleared after its call, so it never stays pending into the next one
// on a thread that stays attached; the host records any call made while it is pending.
TEST_P(ForwardingThread, AThrowingListenerStillReceivesTheNextEventsWithNothingLeftPending) {
    ASSERT_EQ(registerListener(host().newListener({}, true)), 0);
    std::vector<std::string> pendingAfter;
    ASSERT_TRUE(onCaseThread([&] {
        for (int round = 0; round < 2; ++round) {
            gate.ForwardHotKeyHit(1, 2, 3);
            gate.ForwardKeyboardStatus(2);
            gate.ForwardKeyboardStatus(3);
            if (JNIEnv* env = host().env()) pendingAfter.push_back(host().pendingException(env));
        }
    }));
    EXPECT_EQ(calls().size(), 6u);
    for (const std::string& pending : pendingAfter) EXPECT_EQ(pending, "");
}

INSTANTIATE_TEST_SUITE_P(, ForwardingThread, ::testing::Values(
    AttachCase{"Unattached", AttachCase::Unattached},
    AttachCase{"AttachedAsDaemon", AttachCase::AttachedAsDaemon},
    AttachCase{"AttachedByOthers", AttachCase::AttachedByOthers}),
    [](const auto& info) { return std::string(info.param.name); });

// --- registration --------------------------------------------------------------------------

TEST_F(ListenerDispatch, UnregisterStopsDeliveryAndANewRegistrationRestoresIt) {
    jobject first = host().newListener();
    ASSERT_EQ(registerListener(first), 0);
    EXPECT_EQ(unregisterAll(), 0);
    EXPECT_EQ(host().liveGlobalRefs(first), 0);
    forwardAll();
    EXPECT_TRUE(calls().empty());

    jobject second = host().newListener();
    ASSERT_EQ(registerListener(second), 0);
    forwardAll();
    EXPECT_EQ(calls(), allThreeTo(host().listenerId(second)));
}

TEST_F(ListenerDispatch, UnregisterWithoutAListenerChangesNothing) {
    EXPECT_EQ(unregisterAll(), 0);
    EXPECT_EQ(unregisterAll(), 0);
    EXPECT_EQ(host().liveGlobalRefs(), baseGlobalRefs);
    forwardAll();
    EXPECT_TRUE(calls().empty());
}

TEST_F(ListenerDispatch, ASecondListenerReplacesTheFirstAndItsReferenceIsDeleted) {
    jobject first = host().newListener();
    jobject second = host().newListener();
    ASSERT_EQ(registerListener(first), 0);
    ASSERT_EQ(registerListener(second), 0);
    EXPECT_EQ(host().liveGlobalRefs(first), 0);
    EXPECT_EQ(host().liveGlobalRefs(second), 1);
    forwardAll();
    EXPECT_EQ(calls(), allThreeTo(host().listenerId(second)));
    EXPECT_EQ(unregisterAll(), 0);
    EXPECT_EQ(host().liveGlobalRefs(), baseGlobalRefs);
}

// A null listener, or one whose global reference cannot be made, leaves no listener behind.
TEST_F(ListenerDispatch, ARegistrationWithoutAReferenceReturnsOneAndReleasesTheEarlierListener) {
    for (bool nullListener : {true, false}) {
        jobject earlier = host().newListener();
        ASSERT_EQ(registerListener(earlier), 0);
        if (!nullListener) host().failNextNewGlobalRef();
        EXPECT_EQ(registerListener(nullListener ? nullptr : host().newListener()), 1);
        EXPECT_EQ(host().liveGlobalRefs(earlier), 0);
        forwardAll();
        EXPECT_TRUE(calls().empty());
    }
}

// A listener lacking a method fails its registration with JNI's error pending, and receives what
// the lookups before the failing one found on its own class. Identifiers of the listener it
// replaced are never used on it.
struct PartialCase {
    const char* name;
    ListenerClass methods;
    std::vector<std::string> delivered;
};
void PrintTo(const PartialCase& c, std::ostream* out) { *out << c.name; }

class PartialListener : public ListenerDispatch, public ::testing::WithParamInterface<PartialCase> {};

TEST_P(PartialListener, ReturnsOneWithTheErrorPendingAndGetsOnlyWhatItsClassGave) {
    jobject earlier = host().newListener();
    ASSERT_EQ(registerListener(earlier), 0);
    int id = -1;
    // On a Java thread of its own, so the pending error ends with it.
    host().runJavaThread([&](JNIEnv* env) {
        jobject partial = host().newListener(GetParam().methods);
        id = host().listenerId(partial);
        EXPECT_EQ(gate.RegisterListener(env, host().receiver(), partial), 1);
        EXPECT_EQ(host().pendingException(env), "java/lang/NoSuchMethodError");
    });
    EXPECT_EQ(host().liveGlobalRefs(earlier), 0);
    forwardAll();
    std::vector<Call> expected;
    for (const Call& call : allThreeTo(id))
        for (const std::string& method : GetParam().delivered)
            if (call.method == method) expected.push_back(call);
    EXPECT_EQ(calls(), expected);
}

INSTANTIATE_TEST_SUITE_P(, PartialListener, ::testing::Values(
    PartialCase{"NoKBDetached", {true, true, false}, {"HotKeyHit", "KBFailed"}},
    PartialCase{"NoKBFailed", {true, false, true}, {"HotKeyHit"}},
    PartialCase{"NoHotKeyHit", {false, true, true}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A Java listener may well unregister itself when told the keyboard went away.
TEST_F(ListenerDispatch, AListenerMayUnregisterFromWithinItsOwnCall) {
    ASSERT_EQ(registerListener(host().newListener()), 0);
    std::atomic<jlong> nested{-1};
    host().onListenerCall([&](const ListenerCall&) {
        nested = gate.UnregisterAllListener(host().env(), host().receiver());
    });
    EXPECT_TRUE(onNativeThread([this] { gate.ForwardKeyboardStatus(3); }, hangLimitMs(5000))) << "the forward did not return";
    EXPECT_EQ(nested, 0);
    forwardAll();
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_EQ(host().liveGlobalRefs(), baseGlobalRefs);
}

TEST_F(ListenerDispatch, RegisterNativeCallbackHandsBackItsArgumentAndNeverCallsIt) {
    static std::atomic<int> called{0};
    void (*callback)() = [] { ++called; };
    ASSERT_EQ(registerListener(host().newListener()), 0);
    for (void* pointer : {reinterpret_cast<void*>(callback), static_cast<void*>(nullptr), reinterpret_cast<void*>(callback)})
        EXPECT_EQ(gate.ChordGate_RegisterNativeCallback(pointer), pointer);
    forwardAll();
    EXPECT_EQ(called, 0);
    EXPECT_EQ(calls().size(), 3u);
}

// --- concurrency ---------------------------------------------------------------------------

// One thread forwards without pause while a Java thread registers, replaces and unregisters.
// Each delivered call must reach a listener registered at that moment: the one in force, or the
// one whose registration is under way.
TEST_F(ListenerDispatch, ListenerChangesWhileEventsAreForwardedNeverMisdirectACall) {
    constexpr std::int32_t kNone = -1;
    auto pair = [](std::int32_t a, std::int32_t b) { return (std::uint64_t(std::uint32_t(a)) << 32) | std::uint32_t(b); };
    std::atomic<std::uint64_t> mayReceive{pair(kNone, kNone)};
    std::atomic<int> misdirected{0}, delivered{0};
    host().onListenerCall([&](const ListenerCall& call) {
        const std::uint64_t now = mayReceive;
        if (call.listener != std::int32_t(now >> 32) && call.listener != std::int32_t(now & 0xFFFFFFFF)) ++misdirected;
        ++delivered;
    });

    std::atomic<bool> stop{false};
    std::thread service([&] {
        for (std::int32_t i = 0; !stop; ++i) {
            gate.ForwardHotKeyHit(i, -i, i);
            gate.ForwardKeyboardStatus(2 + (i & 1));
        }
    });
    host().runJavaThread([&](JNIEnv* env) {
        jobject listeners[] = {host().newListener(), host().newListener()};
        const std::int32_t ids[] = {host().listenerId(listeners[0]), host().listenerId(listeners[1])};
        std::int32_t current = kNone;
        auto change = [&](std::int32_t next, const std::function<void()>& call) {
            mayReceive = pair(current, next);
            call();
            mayReceive = pair(next, kNone);
            current = next;
        };
        // The forwarding thread is running before the swaps start, however busy the machine is.
        change(ids[0], [&] { EXPECT_EQ(gate.RegisterListener(env, host().receiver(), listeners[0]), 0); });
        EXPECT_TRUE(host().waitForListenerCalls(1, int(hangLimitMs(10000))));
        const DWORD until = GetTickCount() + 3000;
        for (int round = 0; round < 2000 && GetTickCount() < until; ++round) {
            const int which = round & 1;
            switch (round % 5) {
            case 0:
            case 1:
            case 3:
                change(ids[which], [&] { EXPECT_EQ(gate.RegisterListener(env, host().receiver(), listeners[which]), 0); });
                break;
            case 2:
                change(kNone, [&] { EXPECT_EQ(gate.UnregisterAllListener(env, host().receiver()), 0); });
                break;
            case 4:
                change(kNone, [&] { EXPECT_EQ(gate.RegisterListener(env, host().receiver(), nullptr), 1); });
                break;
            }
            Sleep(0);
        }
        change(kNone, [&] { gate.UnregisterAllListener(env, host().receiver()); });
    });
    stop = true;
    service.join();

    EXPECT_EQ(misdirected, 0);
    EXPECT_GT(delivered, 0);
    EXPECT_EQ(host().liveGlobalRefs(), baseGlobalRefs);
}

}  // namespace
