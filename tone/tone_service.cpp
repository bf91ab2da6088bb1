// The tone service thread and its lifecycle: the first Init starts it, and every start-up and
// tear-down runs on it, so the keyboard tone component lives in the thread's single-threaded
// apartment from creation to release. A start-up creates the component, opens the keyboard port
// and publishes it in the hand-off stream; cleanup takes the published copy back and has the
// thread release the component. The thread serves COM calls for the rest of the process's life.
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
UniqueHandle serviceThread;
DWORD serviceThreadId = 0;
volatile LONG serving = 0;          // the thread came through its first start-up and takes requests
volatile LONG toneSetUpHeld = 0;    // a start-up succeeded and no cleanup has claimed it since
PendingRequest pendingStartUp;      // the latest start-up, which a timed-out Init may still wait for
volatile LONG startUpStatus = kTimedOut;
volatile HRESULT startUpErrorCode = S_OK;
IToneDevice* pToneDevice = nullptr;  // the service thread's own; touched on it only
IStream* handOffStream = nullptr;
SRWLOCK handOffLock = SRWLOCK_INIT;
SRWLOCK initLock = SRWLOCK_INIT;

struct StartUpOutcome {
    LONG status;
    HRESULT errorCode;
};

// The status and its error code are written before the start-up's request is signalled.
void recordStartUp(const StartUpOutcome& outcome) {
    startUpErrorCode = outcome.errorCode;
    startUpStatus = outcome.status;
}

// Steps 3 to 5 of a start-up, on the service thread in its apartment. Only a complete set-up is
// kept: on failure the component goes again with the local owner.
StartUpOutcome startUp() {
    ComPtr<IToneDevice> toneDevice;
    HRESULT hr = CoCreateInstance(CLSID_KeyboardToneDevice, nullptr, CLSCTX_INPROC_SERVER, IID_IToneDevice,
                                  reinterpret_cast<void**>(toneDevice.GetAddressOf()));
    if (FAILED(hr)) return {kCannotCreateComponent, hr};

    VARIANT_BOOL portOpened = VARIANT_FALSE;
    toneDevice->OpenPort(kKeyboardPort, &portOpened);
    if (!portOpened) return {kCannotOpenPort, S_OK};

    {
        HandOffStreamAccess handOff;
        hr = CoMarshalInterThreadInterfaceInStream(IID_IToneDevice, toneDevice.Get(), &handOff.stream());
        if (FAILED(hr)) {
            handOff.stream() = nullptr;
            return {kCannotMarshal, hr};
        }
    }
    pToneDevice = toneDevice.Detach();
    InterlockedExchange(&toneSetUpHeld, 1);
    return {kReady, S_OK};
}

// A start-up on the living thread, after a cleanup or a failed start-up there.
void startUpAgain() { recordStartUp(startUp()); }

// On the service thread, after cleanup took the last copy out of the hand-off stream.
void tearDown() {
    if (IToneDevice* toneDevice = std::exchange(pToneDevice, nullptr)) toneDevice->Release();
}

// The first start-up comes with the thread itself (the request it signals); the thread keeps its
// apartment and its attachment for good once it succeeded.
DWORD WINAPI toneServiceThreadEntry(LPVOID parameter) {
    auto* request = static_cast<ServiceRequest*>(parameter);
    MSG queue;
    PeekMessageA(&queue, nullptr, 0, 0, PM_NOREMOVE);  // requests can be posted from now on
    {
        DaemonJvmAttachment jvm(javaVm);
        ComApartment apartment;
        const StartUpOutcome outcome =
            apartment.failed() ? StartUpOutcome{kCannotInitializeCom, apartment.result()} : startUp();
        recordStartUp(outcome);
        if (outcome.status == kReady) serveFromNowOn(serving, request);
    }
    // A failed first start-up has left the apartment and detached from the JVM before Init
    // hears of it, so nothing of it is still running when the caller goes on (a Java client may
    // well exit right away).
    request->signalDone();
    request->release();
    return 0;
}

void resetStartUpStatus() {
    startUpStatus = kTimedOut;
    startUpErrorCode = S_OK;
}

const ServiceThreadStartUp kStartUp{toneServiceThreadEntry, startUpAgain, resetStartUpStatus};

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
    startUpForInit(kStartUp, pendingStartUp, serviceThread, serviceThreadId, serving, toneSetUpHeld, kStartUpWaitMs);

    const LONG status = startUpStatus;
    logStartUpStatus(env, caller, status, startUpErrorCode);
    return status;
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
    HRESULT hr;
    {
        HandOffStreamAccess handOff;
        hr = takeFromHandOffStream(handOff.stream(), IID_IToneDevice, reinterpret_cast<void**>(proxy.GetAddressOf()));
    }
    proxy.Reset();
    if (InterlockedExchange(&toneSetUpHeld, 0)) requestOnServiceThread(serviceThreadId, tearDown).waitDone(kStartUpWaitMs);

    if (FAILED(hr)) {
        // COM stays initialised on this thread after a failed take.
        logDiagnostic(env, caller, "severe", "cleanup(): CoGetInterfaceAndReleaseStream failed", hr);
        return 1;
    }
    CoUninitialize();
    return 0;
}
