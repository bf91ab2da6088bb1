// The hot-key service thread and the set-up and clean-up around it. The first Init starts the
// thread, and every start-up and tear-down runs on it, so the keyboard hot-key component, its
// connection and the event sink live in the thread's single-threaded apartment from creation to
// release. A start-up creates the component, publishes it in the hand-off stream, advises the
// sink and takes ISoftKey; Cleanup has the thread take all that back. ChordGate_Init and
// ChordGate_Cleanup keep a separate, reduced set-up of native callers on their own thread.
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

// Module state of the Java set-up. The pointers belong to the service thread's apartment and are
// touched on that thread only; other threads see the set-up through the flag and the stream.
UniqueHandle serviceThread;
DWORD serviceThreadId = 0;
volatile LONG serving = 0;             // the thread came through its first start-up and takes requests
volatile LONG serviceSetUpHeld = 0;    // a start-up succeeded and no Cleanup has claimed it since
PendingRequest pendingStartUp;         // the latest start-up, which a timed-out Init may still wait for
volatile LONG startUpStatus = kTimedOut;
volatile HRESULT startUpErrorCode = S_OK;
IHotKeyService* pHotKey = nullptr;
ISoftKey* pSoftKey = nullptr;
HotKeyEventSink* pEventSink = nullptr;
IConnectionPoint* pConnectionPoint = nullptr;
DWORD adviseCookie = 0;
IStream* handOffStream = nullptr;
SRWLOCK moduleStateLock = SRWLOCK_INIT;
SRWLOCK initLock = SRWLOCK_INIT;

// Module state of the plain set-up: made, called and released on one native caller's thread.
IHotKeyService* plainHotKey = nullptr;
ISoftKey* plainSoftKey = nullptr;
DWORD plainOwnerThreadId = 0;

template <class Interface>
void releaseHeld(Interface*& held) {
    if (Interface* old = std::exchange(held, nullptr)) old->Release();
}

// Gives back the reference that the stream's marshalled copy holds, then the stream.
void releaseHandOffStream() {
    IStream* stream = nullptr;
    {
        HandOffStreamAccess access;
        stream = std::exchange(access.stream(), nullptr);
    }
    if (!stream) return;
    const LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    CoReleaseMarshalData(stream);
    stream->Release();
}

// On the service thread: takes back whatever a start-up made, complete or not. The sink is cut
// off from the listener first, so that nothing reaches Java once this has run, even from a
// component that keeps its sinks; a sink whose Invoke is on the stack holds itself until it returns.
void tearDown() {
    InterlockedExchange(&serviceSetUpHeld, 0);
    if (pEventSink) pEventSink->SetCallbacks(nullptr, nullptr);
    releaseHandOffStream();
    if (pConnectionPoint) {
        if (adviseCookie) pConnectionPoint->Unadvise(std::exchange(adviseCookie, 0));
        releaseHeld(pConnectionPoint);
    }
    releaseHeld(pSoftKey);
    releaseHeld(pHotKey);
    releaseHeld(pEventSink);
}

struct StartUpOutcome {
    LONG status;
    HRESULT errorCode;
};

// Steps 3 to 11 of a start-up, on the service thread in its apartment, into the module state.
StartUpOutcome setUp() {
    // Any other success code fails the start-up; an object that came with it is released with
    // the rest.
    HRESULT hr = CoCreateInstance(CLSID_KeyboardHotKeyService, nullptr, CLSCTX_INPROC_SERVER, IID_IHotKeyService,
                                  reinterpret_cast<void**>(&pHotKey));
    if (hr != S_OK) return {kCannotCreateComponent, hr};

    {
        HandOffStreamAccess handOff;
        hr = CoMarshalInterThreadInterfaceInStream(IID_IHotKeyService, pHotKey, &handOff.stream());
        if (FAILED(hr)) {
            handOff.stream() = nullptr;
            return {kCannotMarshal, hr};
        }
    }

    ComPtr<IConnectionPointContainer> container;
    hr = pHotKey->QueryInterface(IID_PPV_ARGS(&container));
    if (FAILED(hr)) return {kNoConnectionPointContainer, hr};

    hr = container->FindConnectionPoint(IID_IHotKeyEvents, &pConnectionPoint);
    if (FAILED(hr)) return {kNoConnectionPoint, hr};
    container.Reset();

    // A failed allocation throws and ends the start-up as any exception does.
    pEventSink = new HotKeyEventSink;
    pEventSink->AddRef();  // the module's one reference, which tear-down releases
    pEventSink->SetCallbacks(ForwardHotKeyHit, ForwardKeyboardStatus);

    ComPtr<IUnknown> sinkUnknown;
    hr = pEventSink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(sinkUnknown.GetAddressOf()));
    if (FAILED(hr)) return {kNoSinkUnknown, hr};

    // Its result is not examined: a refused advice leaves a cookie of 0, which is not unadvised.
    pConnectionPoint->Advise(sinkUnknown.Get(), &adviseCookie);

    hr = pHotKey->QueryInterface(IID_ISoftKey, reinterpret_cast<void**>(&pSoftKey));
    if (FAILED(hr)) return {kNoSoftKey, hr};

    InterlockedExchange(&serviceSetUpHeld, 1);
    return {kReady, S_OK};
}

// A failed start-up leaves nothing behind, so a later Init starts from scratch.
StartUpOutcome startUp() {
    StartUpOutcome outcome{kUnexpectedError, S_OK};
    try {
        outcome = setUp();
    } catch (...) {
    }
    if (outcome.status != kReady) tearDown();
    return outcome;
}

// The status (and its error code) is written before the start-up's request is signalled.
void recordStartUp(const StartUpOutcome& outcome) {
    if (outcome.status != kReady && outcome.status != kUnexpectedError) startUpErrorCode = outcome.errorCode;
    startUpStatus = outcome.status;
}

// A start-up on the living thread, after a clean-up or a failed start-up there.
void startUpAgain() { recordStartUp(startUp()); }

// The first start-up comes with the thread itself. Attached as a daemon, so that the thread never
// keeps the Java client from exiting; once it succeeded the thread keeps its apartment and its
// attachment for good.
DWORD WINAPI hotKeyServiceThread(LPVOID parameter) {
    auto* request = static_cast<ServiceRequest*>(parameter);
    MSG queue;
    PeekMessageA(&queue, nullptr, 0, 0, PM_NOREMOVE);  // requests can be posted from now on
    try {
        DaemonJvmAttachment jvm(storedJavaVM());
        ComApartment apartment;
        const StartUpOutcome outcome =
            apartment.failed() ? StartUpOutcome{kCannotInitializeCom, apartment.result()} : startUp();
        recordStartUp(outcome);
        if (outcome.status == kReady) serveFromNowOn(serving, std::exchange(request, nullptr));
    } catch (...) {
        // Also from a dispatched message: the thread ends, and a later Init starts another.
        InterlockedExchange(&serving, 0);
        startUpStatus = kUnexpectedError;
    }
    // A failed first start-up has left the apartment and detached before RawInit hears of it.
    if (request) {
        request->signalDone();
        request->release();
    }
    return 0;
}

void resetStartUpStatus() {
    startUpStatus = kTimedOut;
    startUpErrorCode = S_OK;
}

const ServiceThreadStartUp kStartUp{hotKeyServiceThread, startUpAgain, resetStartUpStatus};

bool onServiceThread() { return serving && GetCurrentThreadId() == serviceThreadId; }

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

bool hotKeyServiceHeld() { return serviceSetUpHeld != 0; }

void logCaughtException(JNIEnv* env, jobject caller, const char* message) noexcept {
    try {
        logDiagnostic(env, caller, "severe", message, 0);
    } catch (...) {
    }
}

HRESULT plainHotKeyService(IHotKeyService** hotKey) {
    *hotKey = nullptr;
    if (!plainHotKey) return kPlainNotSetUp;
    // A component's own pointer is for the thread that made it; other threads get no call through it.
    if (GetCurrentThreadId() != plainOwnerThreadId) return RPC_E_WRONG_THREAD;
    *hotKey = plainHotKey;
    return S_OK;
}

extern "C" {

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RawInit(JNIEnv* env, jclass caller) {
    try {
        ExclusiveLock serialised(initLock);  // one Init at a time

        JavaVM* vm = nullptr;
        env->GetJavaVM(&vm);
        storeJavaVM(vm);

        startUpForInit(kStartUp, pendingStartUp, serviceThread, serviceThreadId, serving, serviceSetUpHeld, kStartUpWaitMs);

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

// 0 once the set-up is claimed and the service thread has taken it back, or has the tear-down
// queued when it does not get to it within the start-up's wait (a listener method blocks it);
// 1 when there was nothing to take back (also after an exception).
JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RawCleanup(JNIEnv* env,
                                                                                        jclass caller) {
    try {
        if (!InterlockedExchange(&serviceSetUpHeld, 0)) {
            logDiagnostic(env, caller, "severe", "Cleanup(): pHotKey is null", 0);
            return 1;
        }
        const bool onItsOwnThread = onServiceThread();
        requestOnServiceThread(serviceThreadId, tearDown).waitDone(kStartUpWaitMs);
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

HRESULT __cdecl ChordGate_Init(void) {
    if (plainHotKey && GetCurrentThreadId() != plainOwnerThreadId) return RPC_E_WRONG_THREAD;

    // Balanced by ChordGate_Cleanup on the same thread.
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) return init;

    ComPtr<IHotKeyService> hotKey;
    HRESULT hr = CoCreateInstance(CLSID_KeyboardHotKeyService, nullptr, CLSCTX_INPROC_SERVER, IID_IHotKeyService,
                                  reinterpret_cast<void**>(hotKey.GetAddressOf()));
    if (hr != S_OK) return hr;
    releaseHeld(plainSoftKey);
    releaseHeld(plainHotKey);
    plainOwnerThreadId = GetCurrentThreadId();
    plainHotKey = hotKey.Detach();
    return plainHotKey->QueryInterface(IID_ISoftKey, reinterpret_cast<void**>(&plainSoftKey));
}

// Releases only what ChordGate_Init made, on the thread that made it.
void __cdecl ChordGate_Cleanup(void) {
    if (plainHotKey && GetCurrentThreadId() != plainOwnerThreadId) return;
    releaseHeld(plainSoftKey);
    releaseHeld(plainHotKey);
    CoUninitialize();
}

} // extern "C"
