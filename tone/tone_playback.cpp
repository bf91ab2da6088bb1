// The seven play methods: each names its tone and hands it to playSound, which borrows the
// keyboard tone component from the hand-off stream for one PlayTone call.
#include <memory>
#include <utility>

#include <wrl/client.h>

#include "com_morvane_quorlink_services_sound_TonePort.h"
#include "native_method.h"
#include "tone_device.h"
#include "tone_service.h"

using Microsoft::WRL::ComPtr;

namespace {

// The tone's name as the component receives it, freed with its owner.
struct BstrFree {
    void operator()(BSTR text) const { SysFreeString(text); }
};
using Bstr = std::unique_ptr<OLECHAR, BstrFree>;

// 0 when the keyboard played the tone; 1 when it did not, on every failure before the call, and
// when the tone's name could not be made.
jlong playSound(JNIEnv* env, BSTR toneName) {
    // The calling thread stays in its apartment after the call: no uninitialise, no guard.
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) {
        logDiagnostic(env, "severe", "playSound(): CoInitialize failed", init);
        return 1;
    }

    auto borrowed = toneHandOff().borrow();
    if (FAILED(borrowed.taken)) {
        logDiagnostic(env, "severe", "playSound(): CoGetInterfaceAndReleaseStream failed", borrowed.taken);
        return 1;
    }
    if (FAILED(borrowed.refilled)) {
        logDiagnostic(env, "severe", "playSound(): CoMarshalInterThreadInterfaceInStream failed", borrowed.refilled);
        return 1;
    }
    const ComPtr<IToneDevice> pWorkingSound = std::move(borrowed.proxy);
    if (!pWorkingSound) {
        logDiagnostic(env, "severe", "playSound(): pWorkingSound is NULL", 0);
        return 1;
    }

    // The HRESULT is not examined: a component may fail without writing the flag, which then
    // still says "not played".
    VARIANT_BOOL played = VARIANT_FALSE;
    pWorkingSound->PlayTone(toneName, 1, &played);

    if (!played) {
        logDiagnostic(env, "warning", "playSound(): cannot play sound", 0);
        return 1;
    }
    // The narrow name, made for this message only: a failed conversion goes unlogged; no memory
    // for it throws, as it may anywhere in a play.
    const int size = static_cast<int>(SysStringLen(toneName)) * 2 + 2;
    const std::unique_ptr<char[]> narrow(new char[size]);
    if (!WideCharToMultiByte(CP_ACP, 0, toneName, -1, narrow.get(), size, nullptr, nullptr)) return 1;
    char message[100];
    wsprintfA(message, "Play %s Tone", narrow.get());
    logDiagnostic(env, "info", message, 0);
    return 0;
}

jlong playExport(JNIEnv* env, const wchar_t* tone) noexcept {
    return nativeMethod(env, "playSound(): unexpected error", 1, [&]() -> jlong {
        const Bstr toneName(SysAllocString(tone));
        return toneName ? playSound(env, toneName.get()) : 1;
    });
}

} // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_playNewsTone(JNIEnv* env, jclass) {
    return playExport(env, L"News");
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_playIncomingConvTone(JNIEnv* env, jclass) {
    return playExport(env, L"Incoming");
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_playBellTone(JNIEnv* env, jclass) {
    return playExport(env, L"Bell");
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_playLimitTone(JNIEnv* env, jclass) {
    return playExport(env, L"Limit");
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_playShortTone(JNIEnv* env, jclass) {
    return playExport(env, L"Short");
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_playBusyTone(JNIEnv* env, jclass) {
    return playExport(env, L"Busy");
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_sound_TonePort_playInterruptTone(JNIEnv* env, jclass) {
    return playExport(env, L"Interrupt");
}

} // extern "C"
