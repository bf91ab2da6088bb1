// The hot-key service thread and the set-up and clean-up around it. Init starts the thread,
// which creates the keyboard hot-key component in its own single-threaded apartment, publishes
// it in the hand-off stream, advises the event sink and then serves COM for the rest of the
// process's life; Cleanup releases what set-up stored. ChordGate_Init and ChordGate_Cleanup do
// the reduced set-up of native callers on their own thread.
#include "hotkey_lifecycle.h"

#include <ocidl.h>

#include <utility>

#include "HotKeyEventSink.h"
#include "chordgate_exports.h"
#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
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

// Module state.
UniqueHandle startUpEvent;
UniqueHandle serviceThread;
volatile LONG startUpStatus = kTimedOut;
volatile HRESULT startUpErrorCode = S_OK;
IHotKeyService* pHotKey = nullptr;
ISoftKey* pSoftKey = nullptr;
HotKeyEventSink* pEventSink = nullptr;
IStream* handOffStream = nullptr;
SRWLOCK moduleStateLock = SRWLOCK_INIT;
SRWLOCK initLock = SRWLOCK_INIT;

// Caller holds the module-state lock.
template <class Interface>
void releaseHeld(Interface*& held) {
    if (Interface* old = std::exchange(held, nullptr)) old->Release();
}

// Stores fresh as the module's reference, replacing (and releasing) what was stored. Pass a copy
// to keep a reference of one's own, or move it in to hand it over.
template <class Interface>
void hold(Interface*& held, ComPtr<Interface> fresh) {
    HandOffStreamAccess access;
    releaseHeld(held);
    held = fresh.Detach();
}

// In clean-up's order; each only if it is there.
void releaseEverything() {
    HandOffStreamAccess access;
    releaseHeld(pEventSink);
    releaseHeld(pSoftKey);
    releaseHeld(pHotKey);
    releaseHeld(access.stream());
}

// The same, but only when there is a component; false when there is none.
bool releaseSetUp() {
    HandOffStreamAccess access;
    if (!pHotKey) return false;
    releaseHeld(pEventSink);
    releaseHeld(pSoftKey);
    releaseHeld(pHotKey);
    releaseHeld(access.stream());
    return true;
}

struct StartUpOutcome {
    LONG status;
    HRESULT errorCode;
};

// Steps 2 to 11 of the start-up. Each step stores its result in the module state as soon as it
// has one, and keeps a reference of its own while it works, so that a clean-up that comes
// during a late start-up never releases a pointer the thread still uses.
StartUpOutcome startUp() {
    // The apartment is never left: after success the thread serves it for good, and after a
    // failure what the thread stored must stay usable for clean-up.
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) return {kCannotInitializeCom, hr};

    // Any other success code fails the start-up; an object that came with it is not kept.
    ComPtr<IHotKeyService> hotKey;
    hr = CoCreateInstance(CLSID_KeyboardHotKeyService, nullptr, CLSCTX_INPROC_SERVER, IID_IHotKeyService,
                          reinterpret_cast<void**>(hotKey.GetAddressOf()));
    if (hr != S_OK) return {kCannotCreateComponent, hr};
    hold(pHotKey, hotKey);

    ComPtr<IStream> stream;
    hr = CoMarshalInterThreadInterfaceInStream(IID_IHotKeyService, hotKey.Get(), &stream);
    if (FAILED(hr)) return {kCannotMarshal, hr};
    hold(handOffStream, std::move(stream));

    ComPtr<IConnectionPointContainer> container;
    hr = hotKey.As(&container);
    if (FAILED(hr)) return {kNoConnectionPointContainer, hr};

    ComPtr<IConnectionPoint> connectionPoint;
    hr = container->FindConnectionPoint(IID_IHotKeyEvents, &connectionPoint);
    if (FAILED(hr)) return {kNoConnectionPoint, hr};
    container.Reset();

    // A failed allocation throws and ends the start-up as any exception does.
    ComPtr<HotKeyEventSink> sink = new HotKeyEventSink;
    hold(pEventSink, sink);  // the module's one reference, which clean-up releases
    sink->SetCallbacks(ForwardHotKeyHit, ForwardKeyboardStatus);

    ComPtr<IUnknown> sinkUnknown;
    hr = sink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(sinkUnknown.GetAddressOf()));
    if (FAILED(hr)) return {kNoSinkUnknown, hr};

    // Neither the result nor the cookie is needed: the sink is never unadvised. The connection
    // point keeps the advice without the thread's reference on it, so that reference goes.
    DWORD cookie = 0;
    connectionPoint->Advise(sinkUnknown.Get(), &cookie);

    ComPtr<ISoftKey> softKey;
    hr = hotKey.As(&softKey);
    if (FAILED(hr)) return {kNoSoftKey, hr};
    hold(pSoftKey, std::move(softKey));

    return {kReady, S_OK};
}

// The status (and its error code) is written before the event is signalled.
void finishStartUp(const StartUpOutcome& outcome) {
    if (outcome.status != kReady) startUpErrorCode = outcome.errorCode;
    startUpStatus = outcome.status;
    SetEvent(startUpEvent.get());
}

void finishWithUnexpectedError() {
    startUpStatus = kUnexpectedError;
    SetEvent(startUpEvent.get());
}

DWORD WINAPI hotKeyServiceThread(LPVOID) {
    try {
        StartUpOutcome outcome{};
        {
            // Attached as a daemon, so that the thread never keeps the Java client from exiting.
            // After a successful start-up the thread never leaves this frame and stays attached;
            // the forwards use this attachment.
            DaemonJvmAttachment jvm(storedJavaVM());
            outcome = startUp();
            if (outcome.status == kReady) {
                finishStartUp(outcome);
                runMessageLoop();
            }
        }
        // A failed start-up is detached before RawInit hears of it.
        finishStartUp(outcome);
    } catch (...) {
        finishWithUnexpectedError();  // the attachment has been undone by the unwinding
    }
    return 0;
}

void startServiceThread() {
    if (serviceThread) {
        // The earlier thread ended: its outcome must not stand for this start-up, and what it
        // stored is replaced by what this one stores.
        serviceThread.reset();
        releaseEverything();
        startUpStatus = kTimedOut;
        startUpErrorCode = S_OK;
    }
    startUpEvent.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    serviceThread.reset(CreateThread(nullptr, 0, hotKeyServiceThread, nullptr, 0, nullptr));
}

void logStartUpStatus(JNIEnv* env, jobject caller, LONG status, HRESULT errorCode) {
    switch (status) {
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

HandOffStreamAccess::HandOffStreamAccess() : lock_(moduleStateLock) {}
IStream*& HandOffStreamAccess::stream() { return handOffStream; }

bool hotKeyServiceHeld() {
    HandOffStreamAccess access;
    return pHotKey != nullptr;
}

ComPtr<IHotKeyService> heldHotKeyService() {
    HandOffStreamAccess access;
    return ComPtr<IHotKeyService>(pHotKey);
}

void logCaughtException(JNIEnv* env, jobject caller, const char* message) noexcept {
    try {
        logDiagnostic(env, caller, "severe", message, 0);
    } catch (...) {
    }
}

extern "C" {

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RawInit(JNIEnv* env, jclass caller) {
    try {
        ExclusiveLock serialised(initLock);  // one Init at a time

        JavaVM* vm = nullptr;
        env->GetJavaVM(&vm);
        storeJavaVM(vm);

        if (!threadAlive(serviceThread.get())) {
            startServiceThread();
            WaitForSingleObject(startUpEvent.get(), kStartUpWaitMs);
        } else if (startUpStatus == kTimedOut) {
            // Still starting after an earlier Init timed out: wait for the same start-up.
            WaitForSingleObject(startUpEvent.get(), kStartUpWaitMs);
        }

        const LONG status = startUpStatus;
        logStartUpStatus(env, caller, status, startUpErrorCode);
        return status;
    } catch (...) {
        logCaughtException(env, caller, "Init(): unexpected error");
        return kUnexpectedError;
    }
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_Init(JNIEnv* env, jclass caller) {
    return Java_com_morvane_quorlink_services_keyboard_ChordGate_RawInit(env, caller);
}

// 0 after releasing, 1 when there was nothing to release (also after an exception).
JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RawCleanup(JNIEnv* env,
                                                                                        jclass caller) {
    try {
        if (!releaseSetUp()) {
            logDiagnostic(env, caller, "severe", "Cleanup(): pHotKey is null", 0);
            return 1;
        }
        CoUninitialize();
        return 0;
    } catch (...) {
        logCaughtException(env, caller, "Cleanup(): unexpected error");
        return 1;
    }
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_Cleanup(JNIEnv* env, jclass caller) {
    return Java_com_morvane_quorlink_services_keyboard_ChordGate_RawCleanup(env, caller);
}

HRESULT __cdecl ChordGate_Init(void) {
    // Balanced by ChordGate_Cleanup on the same thread.
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) return init;

    ComPtr<IHotKeyService> hotKey;
    HRESULT hr = CoCreateInstance(CLSID_KeyboardHotKeyService, nullptr, CLSCTX_INPROC_SERVER, IID_IHotKeyService,
                                  reinterpret_cast<void**>(hotKey.GetAddressOf()));
    if (hr != S_OK) return hr;
    hold(pHotKey, hotKey);

    ComPtr<ISoftKey> softKey;
    hr = hotKey.As(&softKey);
    hold(pSoftKey, std::move(softKey));
    return hr;
}

void __cdecl ChordGate_Cleanup(void) {
    releaseEverything();
    CoUninitialize();
}

} // extern "C"
