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

// A tone's name for one play call: the BSTR the component receives, and the narrow form that
// only the success message needs, made on first use and freed with the name.
class ToneName {
public:
    explicit ToneName(const wchar_t* literal) : wide_(SysAllocString(literal)) {}
    ~ToneName() { SysFreeString(wide_); }
    ToneName(const ToneName&) = delete;
    ToneName& operator=(const ToneName&) = delete;

    BSTR wide() const { return wide_; }

    // Null when the conversion failed; no memory for it throws, as it does anywhere in a play.
    const char* narrow() {
        if (!narrow_ && wide_) {
            const int size = static_cast<int>(SysStringLen(wide_)) * 2 + 2;
            narrow_.reset(new char[size]);
            if (!WideCharToMultiByte(CP_ACP, 0, wide_, -1, narrow_.get(), size, nullptr, nullptr)) narrow_.reset();
        }
        return narrow_.get();
    }

private:
    BSTR wide_;
    std::unique_ptr<char[]> narrow_;
};

// 0 when the keyboard played the tone; 1 when it did not, on every failure before the call, and
// when the tone's name could not be made.
jlong playSound(JNIEnv* env, ToneName& toneName) {
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
    pWorkingSound->PlayTone(toneName.wide(), 1, &played);

    if (!played) {
        logDiagnostic(env, "warning", "playSound(): cannot play sound", 0);
        return 1;
    }
    const char* narrow = toneName.narrow();
    if (!narrow) return 1;
    char message[100];
    wsprintfA(message, "Play %s Tone", narrow);
    logDiagnostic(env, "info", message, 0);
    return 0;
}

jlong playExport(JNIEnv* env, const wchar_t* tone) noexcept {
    return nativeMethod(env, "playSound(): unexpected error", 1, [&]() -> jlong {
        ToneName toneName(tone);
        return toneName.wide() ? playSound(env, toneName) : 1;
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
