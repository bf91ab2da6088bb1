// The hot-key service and its lifecycle: the first Init starts the service thread, and every
// start-up and tear-down runs on it, so the keyboard hot-key component, its connection and the
// event sink live in the thread's single-threaded apartment from creation to release. A start-up
// creates the component, publishes it in the hand-off stream, advises the sink and takes ISoftKey;
// Cleanup has the thread take all that back.
#include "hotkey_lifecycle.h"

#include <ocidl.h>

#include <optional>

#include "HotKeyEventSink.h"
#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "java_vm.h"
#include "listener_dispatch.h"
#include "native_method.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kStartUpWaitMs = 10000;

// What Init returns and logs for each outcome.
constexpr InitStatus kInitStatuses[] = {
    {StartUpStatus::Ready, 0, "info", "Init(): hotkey is initialized successfully"},
    {StartUpStatus::CannotInitializeCom, -1, "severe", "Init(): cannot initialize COM library"},
    {StartUpStatus::CannotCreateComponent, -2, "severe", "Init(): cannot create COM object"},
    {StartUpStatus::NoConnectionPointContainer, -3, "severe", "Init(): query iconnection point container interface failed"},
    {StartUpStatus::NoConnectionPoint, -4, "severe", "Init(): find connection hot key point failed"},
    {StartUpStatus::NoSoftKey, -5, "severe", "Init(): query soft key interface failed"},
    {StartUpStatus::NoSinkUnknown, -6, "severe", "Init(): query hot key event unknown interface failed"},
    {StartUpStatus::CannotMarshal, -7, "severe", "Init(): CoMarshalInterThreadInterfaceInStream failed"},
    {StartUpStatus::TimedOut, -8, "warning", "Init(): hotkey may not be initialzed due to timeout"},
    {StartUpStatus::UnexpectedError, -9, "severe", "Init(): unexpected error"},
};
constexpr jlong kUnexpectedError = -9;

// What a start-up makes, in the service thread's apartment. Its destructor is the tear-down, in
// this order: the sink is cut off from the listener first, so that nothing reaches Java once it
// has run, even from a component that keeps its sinks; the hand-off stream is revoked; the sink
// is unadvised with the cookie Advise gave; then the connection point, ISoftKey, the component
// and the sink go. A sink whose Invoke is on the stack holds itself until it returns. A set-up
// moved from holds no component, and its destructor does nothing.
struct HotKeySetUp {
    using Interface = IHotKeyService;
    static constexpr const IID& kInterfaceId = IID_IHotKeyService;
    static constexpr FailedTake kFailedTake = FailedTake::KeepsTheStream;

    ComPtr<IHotKeyService> pHotKey;
    HandOffStream<IHotKeyService>* published = nullptr;  // the stream that holds a copy of pHotKey
    ComPtr<IConnectionPoint> connectionPoint;
    ComPtr<HotKeyEventSink> pEventSink;
    DWORD adviseCookie = 0;  // 0: not advised (a refused advice gives none)
    ComPtr<ISoftKey> pSoftKey;

    HotKeySetUp() = default;
    HotKeySetUp(HotKeySetUp&&) = default;

    ~HotKeySetUp() {
        if (pEventSink) pEventSink->SetCallbacks(nullptr, nullptr);
        if (pHotKey && published) published->revoke();
        if (connectionPoint && adviseCookie) connectionPoint->Unadvise(adviseCookie);
        connectionPoint.Reset();
        pSoftKey.Reset();
        pHotKey.Reset();
        pEventSink.Reset();
    }

    // On the service thread in its apartment; what was made goes with made on failure.
    static StartUpOutcome make(HotKeySetUp& made, HandOffStream<IHotKeyService>& handOff) {
        // Any other success code fails the start-up; an object that came with it goes with made.
        HRESULT hr = CoCreateInstance(CLSID_KeyboardHotKeyService, nullptr, CLSCTX_INPROC_SERVER, IID_IHotKeyService,
                                      reinterpret_cast<void**>(made.pHotKey.GetAddressOf()));
        if (hr != S_OK) return {StartUpStatus::CannotCreateComponent, hr};

        hr = handOff.publish(made.pHotKey.Get());
        if (FAILED(hr)) return {StartUpStatus::CannotMarshal, hr};
        made.published = &handOff;

        ComPtr<IConnectionPointContainer> container;
        hr = made.pHotKey->QueryInterface(IID_PPV_ARGS(&container));
        if (FAILED(hr)) return {StartUpStatus::NoConnectionPointContainer, hr};

        hr = container->FindConnectionPoint(IID_IHotKeyEvents, made.connectionPoint.GetAddressOf());
        if (FAILED(hr)) return {StartUpStatus::NoConnectionPoint, hr};
        container.Reset();

        // A failed allocation throws and ends the start-up as any exception does.
        made.pEventSink = new HotKeyEventSink;
        made.pEventSink->SetCallbacks(ForwardHotKeyHit, ForwardKeyboardStatus);

        ComPtr<IUnknown> sinkUnknown;
        hr = made.pEventSink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(sinkUnknown.GetAddressOf()));
        if (FAILED(hr)) return {StartUpStatus::NoSinkUnknown, hr};

        // Its result is not examined: a refused advice leaves a cookie of 0, which is not unadvised.
        made.connectionPoint->Advise(sinkUnknown.Get(), &made.adviseCookie);

        hr = made.pHotKey->QueryInterface(IID_ISoftKey, reinterpret_cast<void**>(made.pSoftKey.GetAddressOf()));
        if (FAILED(hr)) return {StartUpStatus::NoSoftKey, hr};
        return {StartUpStatus::Ready, S_OK};
    }
};

NeverDestroyed<ServiceThread<HotKeySetUp>> serviceThread;

} // namespace

bool hotKeyServiceHeld() { return serviceThread.value.holdsSetUp(); }

HandOffStream<IHotKeyService>& hotKeyHandOff() { return serviceThread.value.handOff(); }

extern "C" {

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RawInit(JNIEnv* env, jclass) {
    return nativeMethod(env, "Init(): unexpected error", kUnexpectedError, [&] {
        storeJavaVM(env);
        return reportInitStatus(env, kInitStatuses, serviceThread.value.startUp(kStartUpWaitMs));
    });
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_Init(JNIEnv* env, jclass caller) {
    return Java_com_morvane_quorlink_services_keyboard_ChordGate_RawInit(env, caller);
}

// 0 once the service thread has taken the set-up back, or has the tear-down queued when it does
// not get to it within the start-up's wait (a listener method blocks it); 1 when there was
// nothing to take back (also after an exception).
JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RawCleanup(JNIEnv* env, jclass) {
    return nativeMethod(env, "Cleanup(): unexpected error", 1, [&]() -> jlong {
        const bool onItsOwnThread = serviceThread.value.onThisThread();
        if (!serviceThread.value.tearDown(kStartUpWaitMs)) {
            logDiagnostic(env, "severe", "Cleanup(): pHotKey is null", 0);
            return 1;
        }
        // The service thread keeps its apartment for good; a Java caller leaves its own once.
        if (!onItsOwnThread) CoUninitialize();
        return 0;
    });
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_Cleanup(JNIEnv* env, jclass caller) {
    return Java_com_morvane_quorlink_services_keyboard_ChordGate_RawCleanup(env, caller);
}

} // extern "C"
