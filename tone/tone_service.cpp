// The tone service thread and its lifecycle: Init starts it, it creates the keyboard tone
// component in its own single-threaded apartment, opens the keyboard port, publishes the
// component in the hand-off stream and then serves COM calls for the rest of the process's life;
// cleanup takes the published copy back.
#include "tone_service.h"

#include <wrl/client.h>

#include "com_morvane_quorlink_services_sound_TonePort.h"
#include "log_diagnostic.h"
#include "service_thread.h"
#include "tone_device.h"
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

// Module state.
JavaVM* javaVm = nullptr;
HANDLE startUpEvent = nullptr;
HANDLE serviceThread = nullptr;
volatile LONG startUpStatus = kTimedOut;
volatile HRESULT startUpErrorCode = S_OK;
IStream* handOffStream = nullptr;
SRWLOCK handOffLock = SRWLOCK_INIT;
SRWLOCK initLock = SRWLOCK_INIT;

struct StartUpOutcome {
    LONG status;
    HRESULT errorCode;
};

void finishStartUp(const StartUpOutcome& outcome) {
    startUpErrorCode = outcome.errorCode;
    startUpStatus = outcome.status;
    SetEvent(startUpEvent);
}

// Steps 2 to 5 of the start-up, into owners that the caller keeps.
StartUpOutcome startUp(const ComApartment& apartment, ComPtr<IToneDevice>& toneDevice) {
    if (apartment.failed()) return {kCannotInitializeCom, apartment.result()};

    HRESULT hr = CoCreateInstance(CLSID_KeyboardToneDevice, nullptr, CLSCTX_INPROC_SERVER, IID_IToneDevice,
                                  reinterpret_cast<void**>(toneDevice.GetAddressOf()));
    if (FAILED(hr)) return {kCannotCreateComponent, hr};

    VARIANT_BOOL portOpened = VARIANT_FALSE;
    toneDevice->OpenPort(kKeyboardPort, &portOpened);
    if (!portOpened) return {kCannotOpenPort, S_OK};

    hr = CoMarshalInterThreadInterfaceInStream(IID_IToneDevice, toneDevice.Get(), &handOffStream);
    if (FAILED(hr)) return {kCannotMarshal, hr};
    return {kReady, S_OK};
}

void toneServiceThread() {
    StartUpOutcome outcome{};
    {
        DaemonJvmAttachment jvm(javaVm);
        ComApartment apartment;
        ComPtr<IToneDevice> toneDevice;
        outcome = startUp(apartment, toneDevice);
        if (outcome.status == kReady) {
            // The component, the apartment and the attachment live in this frame for good.
            finishStartUp(outcome);
            runMessageLoop();
        }
    }
    // A failed start-up has released the component, left the apartment and detached from the
    // JVM before Init hears of it, so nothing of it is still running when the caller goes on
    // (a Java client may well exit right away).
    finishStartUp(outcome);
}

DWORD WINAPI toneServiceThreadEntry(LPVOID) {
    toneServiceThread();
    return 0;
}

void logStartUpStatus(JNIEnv* env, jobject caller, LONG status, HRESULT errorCode) {
    switch (status) {
    case kReady:
        return logDiagnostic(env, caller, "info", "Init(): sound is initialized successfully", 0);
    case kCannotInitializeCom:
        return logDiagnostic(env, caller, "severe", "Init(): cannot initialize COM library", errorCode);
    case kCannotCreateComponent:
        return logDiagnostic(env, caller, "severe", "Init(): cannot create COM object", errorCode);
    case kCannotOpenPort:
        return logDiagnostic(env, caller, "severe", "Init(): cannot initialize sound", 0);
    case kCannotMarshal:
        return logDiagnostic(env, caller, "severe", "Init(): CoMarshalInterThreadInterfaceInStream failed", errorCode);
    case kTimedOut:
        return logDiagnostic(env, caller, "warning", "Init(): sound may not be initialzed due to timeout", 0);
    }
}

} // namespace

HandOffStreamAccess::HandOffStreamAccess() : lock_(handOffLock) {}
IStream*& HandOffStreamAccess::stream() { return handOffStream; }

HRESULT takeFromHandOffStream(IStream*& stream, REFIID iid, void** proxy) {
    *proxy = nullptr;
    IStream* spent = std::exchange(stream, nullptr);
    if (!spent) return kEmptyHandOffStream;
    return CoGetInterfaceAndReleaseStream(spent, iid, proxy);
}

extern "C" JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_Init(JNIEnv* env, jclass caller) {
    ExclusiveLock serialised(initLock);  // one Init at a time

    env->GetJavaVM(&javaVm);
    if (threadAlive(serviceThread)) {
        // Still starting after an earlier Init timed out: wait for the same start-up.
        if (startUpStatus == kTimedOut) WaitForSingleObject(startUpEvent, kStartUpWaitMs);
    } else {
        if (serviceThread) {
            // The earlier thread failed and ended: its outcome must not stand for this start-up.
            CloseHandle(std::exchange(serviceThread, nullptr));
            startUpStatus = kTimedOut;
            startUpErrorCode = S_OK;
        }
        if (startUpEvent) CloseHandle(startUpEvent);
        startUpEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        serviceThread = CreateThread(nullptr, 0, toneServiceThreadEntry, nullptr, 0, nullptr);
        WaitForSingleObject(startUpEvent, kStartUpWaitMs);
    }

    const LONG status = startUpStatus;
    logStartUpStatus(env, caller, status, startUpErrorCode);
    return status;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_cleanup(JNIEnv* env, jclass caller) {
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) {
        logDiagnostic(env, caller, "severe", "cleanup(): CoInitialize failed", init);
        return 1;
    }

    ComPtr<IToneDevice> proxy;
    HRESULT hr;
    {
        HandOffStreamAccess handOff;
        hr = takeFromHandOffStream(handOff.stream(), IID_IToneDevice, reinterpret_cast<void**>(proxy.GetAddressOf()));
    }
    if (FAILED(hr)) {
        // COM stays initialised on this thread after a failed take.
        logDiagnostic(env, caller, "severe", "cleanup(): CoGetInterfaceAndReleaseStream failed", hr);
        return 1;
    }

    proxy.Reset();
    CoUninitialize();
    return 0;
}
