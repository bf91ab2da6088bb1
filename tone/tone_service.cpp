// The tone service and its lifecycle: the first Init starts the service thread, and every
// start-up and tear-down runs on it, so the keyboard tone component lives in the thread's
// single-threaded apartment from creation to release. A start-up creates the component, opens the
// keyboard port and publishes it in the hand-off stream; cleanup takes the published copy back and
// has the thread release the component.
#include "tone_service.h"

#include <optional>

#include <wrl/client.h>

#include "com_morvane_quorlink_services_sound_TonePort.h"
#include "java_vm.h"
#include "native_method.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kStartUpWaitMs = 10000;
const wchar_t kKeyboardPort[] = L"\\\\.\\KeyboardPort0";

// What Init returns and logs for each outcome. An exception on the service thread has no number
// of its own here: it shows as the time-out.
constexpr InitStatus kInitStatuses[] = {
    {StartUpStatus::Ready, 0, "info", "Init(): sound is initialized successfully"},
    {StartUpStatus::CannotInitializeCom, -1, "severe", "Init(): cannot initialize COM library"},
    {StartUpStatus::CannotCreateComponent, -2, "severe", "Init(): cannot create COM object"},
    {StartUpStatus::CannotOpenPort, -3, "severe", "Init(): cannot initialize sound"},
    {StartUpStatus::CannotMarshal, -4, "severe", "Init(): CoMarshalInterThreadInterfaceInStream failed"},
    {StartUpStatus::TimedOut, -5, "warning", "Init(): sound may not be initialzed due to timeout"},
};

// The service thread's own component; let go on that thread when a cleanup takes it.
struct ToneSetUp {
    using Interface = IToneDevice;
    static constexpr const IID& kInterfaceId = IID_IToneDevice;
    static constexpr FailedTake kFailedTake = FailedTake::ConsumesTheStream;

    ComPtr<IToneDevice> pToneDevice;

    // On the service thread in its apartment; on failure the component goes with made.
    static StartUpOutcome make(ToneSetUp& made, HandOffStream<IToneDevice>& handOff) {
        HRESULT hr = CoCreateInstance(CLSID_KeyboardToneDevice, nullptr, CLSCTX_INPROC_SERVER, IID_IToneDevice,
                                      reinterpret_cast<void**>(made.pToneDevice.GetAddressOf()));
        if (FAILED(hr)) return {StartUpStatus::CannotCreateComponent, hr};

        VARIANT_BOOL portOpened = VARIANT_FALSE;
        made.pToneDevice->OpenPort(kKeyboardPort, &portOpened);
        if (!portOpened) return {StartUpStatus::CannotOpenPort, S_OK};

        hr = handOff.publish(made.pToneDevice.Get());
        if (FAILED(hr)) return {StartUpStatus::CannotMarshal, hr};
        return {StartUpStatus::Ready, S_OK};
    }
};

NeverDestroyed<ServiceThread<ToneSetUp>> serviceThread;

} // namespace

HandOffStream<IToneDevice>& toneHandOff() { return serviceThread.value.handOff(); }

extern "C" JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_Init(JNIEnv* env, jclass) {
    return nativeMethod(env, "Init(): unexpected error", -5, [&] {
        storeJavaVM(env);
        return reportInitStatus(env, kInitStatuses, serviceThread.value.startUp(kStartUpWaitMs));
    });
}

// 0 when the last copy was taken back, 1 when there was none; either way the service thread lets
// go of its component, waited for at most the start-up's wait (a late tear-down still runs, ahead
// of any later start-up).
extern "C" JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_cleanup(JNIEnv* env, jclass) {
    return nativeMethod(env, "cleanup(): unexpected error", 1, [&]() -> jlong {
        const HRESULT init = CoInitialize(nullptr);
        if (FAILED(init)) {
            logDiagnostic(env, "severe", "cleanup(): CoInitialize failed", init);
            return 1;
        }

        ComPtr<IToneDevice> proxy;
        const HRESULT hr = toneHandOff().takeBack(proxy);
        proxy.Reset();
        serviceThread.value.tearDown(kStartUpWaitMs);

        if (FAILED(hr)) {
            // COM stays initialised on this thread after a failed take.
            logDiagnostic(env, "severe", "cleanup(): CoGetInterfaceAndReleaseStream failed", hr);
            return 1;
        }
        CoUninitialize();
        return 0;
    });
}
