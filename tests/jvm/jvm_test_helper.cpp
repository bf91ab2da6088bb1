// jvm_test_helper.dll: lets the Java flow tests drive the simulated keyboard components that
// the shipped DLLs create in the same process (com.morvane.quorlink.jvmtest.Sim). A failure
// reaches Java as a RuntimeException; nothing native leaves these functions.
#include <jni.h>
#include <windows.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "hotkey_sim_control.h"
#include "tone_sim_control.h"
#include "win_resources.h"

namespace {

// Loaded on first use, as the component DLLs COM has registered, so the scripts and records
// are those of the components the libraries create.
// Never freed: the process may end while a posting thread still uses them.
const HotKeySim& hotKeySim() {
    static const HotKeySim* sim = new HotKeySim(HotKeySim::load());
    return *sim;
}

const ToneSim& toneSim() {
    static const ToneSim* sim = new ToneSim(ToneSim::load());
    return *sim;
}

template <class Body>
auto guarded(JNIEnv* env, Body body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception& error) {
        env->ThrowNew(env->FindClass("java/lang/RuntimeException"), error.what());
    } catch (...) {
        env->ThrowNew(env->FindClass("java/lang/RuntimeException"), "jvm_test_helper: unexpected error");
    }
    return decltype(body()){};
}

jint sinksOrThrow(const HotKeySimRaiseResult& result) {
    if (FAILED(result.status)) throw std::runtime_error("raising the event failed: " + std::to_string(result.status));
    return result.sinks;
}

// The device key the driver writes; the detection looks at the first of ten.
constexpr const char kDeviceKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\KEYBOARD\\0000";
constexpr const char kDriverHardwareIds[] = "*QV7150\0";  // REG_MULTI_SZ: the list ends in two NULs

struct StreamedHits {
    int count;
    DWORD pauseMs;
};

// Posts hits from a native thread of its own, never attached to the JVM, until its count is
// spent; the process may end under it.
DWORD WINAPI postHitsInBackground(LPVOID parameter) {
    const StreamedHits hits = *static_cast<StreamedHits*>(parameter);
    delete static_cast<StreamedHits*>(parameter);
    try {
        for (int i = 1; i <= hits.count; ++i) {
            hotKeySim().hotKeyHit(i, -i, 7, true);
            Sleep(hits.pauseMs);
        }
    } catch (...) {
    }
    return 0;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_morvane_quorlink_jvmtest_Sim_hotKeyHit(JNIEnv* env, jclass, jint first, jint second,
                                                                       jint third) {
    return guarded(env, [&] { return sinksOrThrow(hotKeySim().hotKeyHit(first, second, third)); });
}

JNIEXPORT jint JNICALL Java_com_morvane_quorlink_jvmtest_Sim_keyboardFailed(JNIEnv* env, jclass) {
    return guarded(env, [&] { return sinksOrThrow(hotKeySim().keyboardFailed()); });
}

JNIEXPORT jint JNICALL Java_com_morvane_quorlink_jvmtest_Sim_keyboardDetached(JNIEnv* env, jclass) {
    return guarded(env, [&] { return sinksOrThrow(hotKeySim().keyboardDetached()); });
}

// Posts count hits (i, -i, 7) for i = first..first + count - 1 and returns at once.
JNIEXPORT void JNICALL Java_com_morvane_quorlink_jvmtest_Sim_postHits(JNIEnv* env, jclass, jint first, jint count) {
    guarded(env, [&] {
        for (int i = first; i < first + count; ++i) sinksOrThrow(hotKeySim().hotKeyHit(i, -i, 7, true));
        return 0;
    });
}

JNIEXPORT jboolean JNICALL Java_com_morvane_quorlink_jvmtest_Sim_waitForPosted(JNIEnv* env, jclass, jint timeoutMs) {
    return guarded(env, [&] { return jboolean(hotKeySim().waitForPosted(DWORD(timeoutMs)) == S_OK); });
}

// Posts a hit (0, 0, 7), then hits (i, -i, 7) for i = 1..count from a native thread, pauseMs apart;
// returns at once.
JNIEXPORT void JNICALL Java_com_morvane_quorlink_jvmtest_Sim_streamHits(JNIEnv* env, jclass, jint count,
                                                                        jint pauseMs) {
    guarded(env, [&] {
        // The first one from here, so that a failure, or a component with no sink to reach,
        // reaches Java.
        if (sinksOrThrow(hotKeySim().hotKeyHit(0, 0, 7, true)) == 0) {
            const HotKeySimCounts counts = hotKeySim().counts();
            throw std::runtime_error("the first hit reached no sink: " + std::to_string(counts.liveObjects) +
                                     " live component(s) with " + std::to_string(counts.advisedSinks) +
                                     " advised sink(s), but none with an event window and a sink");
        }
        auto* hits = new StreamedHits{count, DWORD(pauseMs)};
        UniqueHandle thread(CreateThread(nullptr, 0, postHitsInBackground, hits, 0, nullptr));
        if (!thread) {
            delete hits;
            throw std::runtime_error("cannot start the posting thread");
        }
        return 0;
    });
}

// The arguments of the component's last call of the given kind (HotKeySimMethod), or null.
JNIEXPORT jintArray JNICALL Java_com_morvane_quorlink_jvmtest_Sim_lastHotKeyCall(JNIEnv* env, jclass, jint method) {
    return guarded(env, [&]() -> jintArray {
        const auto calls = hotKeySim().calls(HotKeySimMethod(method));
        if (calls.empty()) return nullptr;
        const HotKeySimCall& last = calls.back();
        jintArray args = env->NewIntArray(last.argCount);
        if (args) env->SetIntArrayRegion(args, 0, last.argCount, reinterpret_cast<const jint*>(last.args));
        return args;
    });
}

JNIEXPORT void JNICALL Java_com_morvane_quorlink_jvmtest_Sim_scriptHotKeyResults(JNIEnv* env, jclass,
                                                                                 jint registerStandard,
                                                                                 jint unregisterHot,
                                                                                 jint unregisterAllHot) {
    guarded(env, [&] {
        HotKeySimScript script;
        script.registerStandardResult = registerStandard;
        script.unregisterHotResult = unregisterHot;
        script.unregisterAllHotResult = unregisterAllHot;
        hotKeySim().setScript(script);
        return 0;
    });
}

// The result of the next creations of the hot-key component: a failure leaves the keyboard's
// software unable to make it, as with the keyboard detached; S_OK brings it back.
JNIEXPORT void JNICALL Java_com_morvane_quorlink_jvmtest_Sim_scriptHotKeyCreation(JNIEnv* env, jclass, jint result) {
    guarded(env, [&] {
        HotKeySimScript script;
        script.createResult = result;
        hotKeySim().setScript(script);
        return 0;
    });
}

// How many calls of the given kind (HotKeySimMethod) the hot-key components received so far.
JNIEXPORT jint JNICALL Java_com_morvane_quorlink_jvmtest_Sim_countHotKeyCalls(JNIEnv* env, jclass, jint method) {
    return guarded(env, [&] { return jint(hotKeySim().calls(HotKeySimMethod(method)).size()); });
}

// A monotonic clock in nanoseconds: the class library's System.nanoTime has a millisecond's grain.
JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_jvmtest_Sim_nanoTime(JNIEnv*, jclass) {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return jlong(now.QuadPart / frequency * 1000000000LL + now.QuadPart % frequency * 1000000000LL / frequency);
}

// The keyboard port refuses to open, as with the keyboard absent.
JNIEXPORT void JNICALL Java_com_morvane_quorlink_jvmtest_Sim_scriptPortRefuses(JNIEnv* env, jclass) {
    guarded(env, [&] {
        ToneSimScript script;
        script.openPortFlag = VARIANT_FALSE;
        toneSim().setScript(script);
        return 0;
    });
}

// The tone names the tone component was asked to play, in order.
JNIEXPORT jobjectArray JNICALL Java_com_morvane_quorlink_jvmtest_Sim_tonesPlayed(JNIEnv* env, jclass) {
    return guarded(env, [&]() -> jobjectArray {
        const auto calls = toneSim().calls(ToneSimPlayTone);
        jobjectArray names = env->NewObjectArray(jsize(calls.size()), env->FindClass("java/lang/String"), nullptr);
        for (jsize i = 0; names && i < jsize(calls.size()); ++i) {
            const std::wstring name(calls[i].text);
            env->SetObjectArrayElement(names, i,
                                       env->NewString(reinterpret_cast<const jchar*>(name.c_str()), jsize(name.size())));
        }
        return names;
    });
}

// Writes (present) or removes the registry entry by which the driver makes the keyboard known.
JNIEXPORT void JNICALL Java_com_morvane_quorlink_jvmtest_Sim_setDriverEntry(JNIEnv* env, jclass, jboolean present) {
    guarded(env, [&] {
        LSTATUS status;
        if (present) {
            status = RegSetKeyValueA(HKEY_LOCAL_MACHINE, kDeviceKey, "HardwareID", REG_MULTI_SZ, kDriverHardwareIds,
                                     sizeof(kDriverHardwareIds));
        } else {
            status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDeviceKey);
            if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
        }
        if (status != ERROR_SUCCESS) throw std::runtime_error("registry: error " + std::to_string(status));
        return 0;
    });
}

}  // extern "C"
