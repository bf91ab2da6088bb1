// The tone service and its lifecycle: the first Init starts the service thread, and every
// start-up and tear-down runs on it, so the keyboard tone component lives in the thread's
// single-threaded apartment from creation to release. A start-up creates the component, opens the
// keyboard port and publishes it in the hand-off stream; cleanup takes the published copy back and
// has the thread release the component.
#include "tone_service.h"

#include <wrl/client.h>

#include "com_morvane_quorlink_services_sound_TonePort.h"
#include "java_vm.h"
#include "log_diagnostic.h"
#include "service_thread.h"
#include "win_resources.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr LONG kReady = 0;
constexpr LONG kCannotInitializeCom = -1;
constexpr LONG kCannotCreateComponent = -2;
constexpr LONG kCannotOpenPort = -3;
constexpr LONG kCannotMarshal = -4;
constexpr LONG kTimedOut = -5;

constexpr DWORD kStartUpWaitMs = 10000;
const wchar_t kKeyboardPort[] = L"\\\\.\\KeyboardPort0";

// The service thread's own component, touched on that thread only.
NeverDestroyed<ComPtr<IToneDevice>> pToneDevice;

HandOffStream<IToneDevice> handOff(IID_IToneDevice, HandOffStream<IToneDevice>::FailedTake::ConsumesTheStream);

// On the service thread in its apartment. Only a complete set-up is kept: on failure the
// component goes again with the local owner. No exception comes out of COM; one from anywhere
// else would end the thread and leave Init's answer the time-out's.
StartUpOutcome startUp() {
    ComPtr<IToneDevice> toneDevice;
    HRESULT hr = CoCreateInstance(CLSID_KeyboardToneDevice, nullptr, CLSCTX_INPROC_SERVER, IID_IToneDevice,
                                  reinterpret_cast<void**>(toneDevice.GetAddressOf()));
    if (FAILED(hr)) return {kCannotCreateComponent, hr};

    VARIANT_BOOL portOpened = VARIANT_FALSE;
    toneDevice->OpenPort(kKeyboardPort, &portOpened);
    if (!portOpened) return {kCannotOpenPort, S_OK};

    hr = handOff.publish(toneDevice.Get());
    if (FAILED(hr)) return {kCannotMarshal, hr};
    pToneDevice.value = std::move(toneDevice);
    return {kReady, S_OK};
}

ServiceThread serviceThread({kCannotInitializeCom, kTimedOut, kTimedOut}, startUp);

// On the service thread, after cleanup took the last copy out of the hand-off stream.
void tearDown() { pToneDevice.value.Reset(); }

void logStartUpStatus(JNIEnv* env, jobject caller, const StartUpOutcome& outcome) {
    switch (outcome.status) {
    case kReady:
        return logDiagnostic(env, caller, "info", "Init(): sound is initialized successfully", 0);
    case kCannotInitializeCom:
        return logDiagnostic(env, caller, "severe", "Init(): cannot initialize COM library", outcome.errorCode);
    case kCannotCreateComponent:
        return logDiagnostic(env, caller, "severe", "Init(): cannot create COM object", outcome.errorCode);
    case kCannotOpenPort:
        return logDiagnostic(env, caller, "severe", "Init(): cannot initialize sound", 0);
    case kCannotMarshal:
        return logDiagnostic(env, caller, "severe", "Init(): CoMarshalInterThreadInterfaceInStream failed",
                             outcome.errorCode);
    case kTimedOut:
        return logDiagnostic(env, caller, "warning", "Init(): sound may not be initialzed due to timeout", 0);
    }
}

} // namespace

HandOffStream<IToneDevice>& toneHandOff() { return handOff; }

extern "C" JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_Init(JNIEnv* env, jclass caller) {
    storeJavaVM(env);
    const StartUpOutcome outcome = serviceThread.startUpForInit(kStartUpWaitMs);
    logStartUpStatus(env, caller, outcome);
    return outcome.status;
}

// 0 when the last copy was taken back, 1 when there was none; either way the service thread lets
// go of its component, waited for at most the start-up's wait (a late tear-down still runs, ahead
// of any later start-up).
extern "C" JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_cleanup(JNIEnv* env, jclass caller) {
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) {
        logDiagnostic(env, caller, "severe", "cleanup(): CoInitialize failed", init);
        return 1;
    }

    ComPtr<IToneDevice> proxy;
    const HRESULT hr = handOff.takeBack(proxy);
    proxy.Reset();
    if (serviceThread.claimSetUp()) serviceThread.run(tearDown, kStartUpWaitMs);

    if (FAILED(hr)) {
        // COM stays initialised on this thread after a failed take.
        logDiagnostic(env, caller, "severe", "cleanup(): CoGetInterfaceAndReleaseStream failed", hr);
        return 1;
    }
    CoUninitialize();
    return 0;
}
