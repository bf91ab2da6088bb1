// The hot-key service and its lifecycle: the first Init starts the service thread, and every
// start-up and tear-down runs on it, so the keyboard hot-key component, its connection and the
// event sink live in the thread's single-threaded apartment from creation to release. A start-up
// creates the component, publishes it in the hand-off stream, advises the sink and takes ISoftKey;
// Cleanup has the thread take all that back.
#include "hotkey_lifecycle.h"

#include <ocidl.h>

#include <optional>
#include <utility>

#include "HotKeyEventSink.h"
#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "java_vm.h"
#include "listener_dispatch.h"
#include "log_diagnostic.h"
#include "service_thread.h"
#include "win_resources.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr LONG kReady = 0;
constexpr LONG kCannotInitializeCom = -1;
constexpr LONG kCannotCreateComponent = -2;
constexpr LONG kNoConnectionPointContainer = -3;
constexpr LONG kNoConnectionPoint = -4;
constexpr LONG kNoSoftKey = -5;
constexpr LONG kNoSinkUnknown = -6;
constexpr LONG kCannotMarshal = -7;
constexpr LONG kTimedOut = -8;
constexpr LONG kUnexpectedError = -9;

constexpr DWORD kStartUpWaitMs = 10000;

HandOffStream<IHotKeyService> handOff(IID_IHotKeyService, HandOffStream<IHotKeyService>::FailedTake::KeepsTheStream);

// What a start-up makes, in the service thread's apartment. Its destructor is the tear-down, in
// this order: the sink is cut off from the listener first, so that nothing reaches Java once it
// has run, even from a component that keeps its sinks; the hand-off stream is revoked; the sink
// is unadvised with the cookie Advise gave; then the connection point, ISoftKey, the component
// and the sink go. A sink whose Invoke is on the stack holds itself until it returns.
struct HotKeySetUp {
    ComPtr<IHotKeyService> hotKey;
    bool published = false;  // the hand-off stream holds a copy of hotKey
    ComPtr<IConnectionPoint> connectionPoint;
    ComPtr<HotKeyEventSink> eventSink;
    DWORD adviseCookie = 0;  // 0: not advised (a refused advice gives none)
    ComPtr<ISoftKey> softKey;

    HotKeySetUp() = default;
    HotKeySetUp(HotKeySetUp&& other) noexcept
        : hotKey(std::move(other.hotKey)),
          published(std::exchange(other.published, false)),
          connectionPoint(std::move(other.connectionPoint)),
          eventSink(std::move(other.eventSink)),
          adviseCookie(std::exchange(other.adviseCookie, 0)),
          softKey(std::move(other.softKey)) {}
    HotKeySetUp& operator=(HotKeySetUp&&) = delete;

    ~HotKeySetUp() {
        if (eventSink) eventSink->SetCallbacks(nullptr, nullptr);
        if (published) handOff.revoke();
        if (connectionPoint && adviseCookie) connectionPoint->Unadvise(adviseCookie);
        connectionPoint.Reset();
        softKey.Reset();
        hotKey.Reset();
        eventSink.Reset();
    }
};

// The Java set-up, touched on the service thread only.
NeverDestroyed<std::optional<HotKeySetUp>> held;

// Into made, which the caller keeps only when it is complete.
StartUpOutcome setUp(HotKeySetUp& made) {
    // Any other success code fails the start-up; an object that came with it goes with made.
    HRESULT hr = CoCreateInstance(CLSID_KeyboardHotKeyService, nullptr, CLSCTX_INPROC_SERVER, IID_IHotKeyService,
                                  reinterpret_cast<void**>(made.hotKey.GetAddressOf()));
    if (hr != S_OK) return {kCannotCreateComponent, hr};

    hr = handOff.publish(made.hotKey.Get());
    if (FAILED(hr)) return {kCannotMarshal, hr};
    made.published = true;

    ComPtr<IConnectionPointContainer> container;
    hr = made.hotKey->QueryInterface(IID_PPV_ARGS(&container));
    if (FAILED(hr)) return {kNoConnectionPointContainer, hr};

    hr = container->FindConnectionPoint(IID_IHotKeyEvents, made.connectionPoint.GetAddressOf());
    if (FAILED(hr)) return {kNoConnectionPoint, hr};
    container.Reset();

    // A failed allocation throws and ends the start-up as any exception does.
    made.eventSink = new HotKeyEventSink;
    made.eventSink->SetCallbacks(ForwardHotKeyHit, ForwardKeyboardStatus);

    ComPtr<IUnknown> sinkUnknown;
    hr = made.eventSink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(sinkUnknown.GetAddressOf()));
    if (FAILED(hr)) return {kNoSinkUnknown, hr};

    // Its result is not examined: a refused advice leaves a cookie of 0, which is not unadvised.
    made.connectionPoint->Advise(sinkUnknown.Get(), &made.adviseCookie);

    hr = made.hotKey->QueryInterface(IID_ISoftKey, reinterpret_cast<void**>(made.softKey.GetAddressOf()));
    if (FAILED(hr)) return {kNoSoftKey, hr};
    return {kReady, S_OK};
}

// On the service thread in its apartment. A failed start-up leaves nothing behind, so a later
// Init starts from scratch.
StartUpOutcome startUp() {
    try {
        HotKeySetUp made;
        const StartUpOutcome outcome = setUp(made);
        if (outcome.status == kReady) held.value.emplace(std::move(made));
        return outcome;
    } catch (...) {
        return {kUnexpectedError, S_OK};
    }
}

ServiceThread serviceThread({kCannotInitializeCom, kTimedOut, kUnexpectedError}, startUp);

// On the service thread, once a Cleanup has claimed the set-up.
void tearDown() { held.value.reset(); }

void logStartUpStatus(JNIEnv* env, jobject caller, const StartUpOutcome& outcome) {
    const HRESULT errorCode = outcome.errorCode;
    switch (outcome.status) {
    case kReady:
        return logDiagnostic(env, caller, "info", "Init(): hotkey is initialized successfully", 0);
    case kCannotInitializeCom:
        return logDiagnostic(env, caller, "severe", "Init(): cannot initialize COM library", errorCode);
    case kCannotCreateComponent:
        return logDiagnostic(env, caller, "severe", "Init(): cannot create COM object", errorCode);
    case kNoConnectionPointContainer:
        return logDiagnostic(env, caller, "severe", "Init(): query iconnection point container interface failed",
                             errorCode);
    case kNoConnectionPoint:
        return logDiagnostic(env, caller, "severe", "Init(): find connection hot key point failed", errorCode);
    case kNoSoftKey:
        return logDiagnostic(env, caller, "severe", "Init(): query soft key interface failed", errorCode);
    case kNoSinkUnknown:
        return logDiagnostic(env, caller, "severe", "Init(): query hot key event unknown interface failed", errorCode);
    case kCannotMarshal:
        return logDiagnostic(env, caller, "severe", "Init(): CoMarshalInterThreadInterfaceInStream failed", errorCode);
    case kTimedOut:
        return logDiagnostic(env, caller, "warning", "Init(): hotkey may not be initialzed due to timeout", 0);
    case kUnexpectedError:
        return logDiagnostic(env, caller, "severe", "Init(): unexpected error", 0);
    }
}

} // namespace

bool hotKeyServiceHeld() { return serviceThread.setUpHeld(); }

HandOffStream<IHotKeyService>& hotKeyHandOff() { return handOff; }

extern "C" {

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RawInit(JNIEnv* env, jclass caller) {
    try {
        storeJavaVM(env);
        const StartUpOutcome outcome = serviceThread.startUpForInit(kStartUpWaitMs);
        logStartUpStatus(env, caller, outcome);
        return outcome.status;
    } catch (...) {
        logCaughtException(env, caller, "Init(): unexpected error");
        return kUnexpectedError;
    }
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_Init(JNIEnv* env, jclass caller) {
    return Java_com_morvane_quorlink_services_keyboard_ChordGate_RawInit(env, caller);
}

// 0 once the set-up is claimed and the service thread has taken it back, or has the tear-down
// queued when it does not get to it within the start-up's wait (a listener method blocks it);
// 1 when there was nothing to take back (also after an exception).
JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RawCleanup(JNIEnv* env,
                                                                                        jclass caller) {
    try {
        if (!serviceThread.claimSetUp()) {
            logDiagnostic(env, caller, "severe", "Cleanup(): pHotKey is null", 0);
            return 1;
        }
        const bool onItsOwnThread = serviceThread.onThisThread();
        serviceThread.run(tearDown, kStartUpWaitMs);
        // The service thread keeps its apartment for good; a Java caller leaves its own once.
        if (!onItsOwnThread) CoUninitialize();
        return 0;
    } catch (...) {
        logCaughtException(env, caller, "Cleanup(): unexpected error");
        return 1;
    }
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_Cleanup(JNIEnv* env, jclass caller) {
    return Java_com_morvane_quorlink_services_keyboard_ChordGate_RawCleanup(env, caller);
}

} // extern "C"
