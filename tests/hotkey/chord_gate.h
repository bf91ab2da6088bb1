#pragma once
// ChordGate.dll (the checked build) as the JVM sees it: loaded by file name, its natives found
// by their JNI names, its plain exports by name.
#include <jni.h>

#include <cstdint>

#include "jni_host.h"

struct ChordGate {
    using Native = jlong(JNICALL*)(JNIEnv*, jclass);
    using ObjectNative = jlong(JNICALL*)(JNIEnv*, jclass, jobject);
    using StringNative = jlong(JNICALL*)(JNIEnv*, jclass, jstring);
    using RegisterNativeCallbackFn = void*(__cdecl*)(void*);
    using ForwardHotKeyHitFn = void(__cdecl*)(std::int32_t, std::int32_t, std::int32_t);
    using ForwardKeyboardStatusFn = void(__cdecl*)(std::int32_t);
    static constexpr const char* kClass = "com.morvane.quorlink.services.keyboard.ChordGate";

    jnihost::NativeLibrary library{std::wstring(L"ChordGate.dll")};
    ObjectNative RegisterListener = library.native<ObjectNative>(kClass, "RegisterListener", 12);
    Native UnregisterAllListener = library.native<Native>(kClass, "UnregisterAllListener", 8);
    Native IsKeyboardDriverInstalled = library.native<Native>(kClass, "IsKeyboardDriverInstalled", 8);
    StringNative SetNativeLibraryPath = library.native<StringNative>(kClass, "SetNativeLibraryPath", 12);
    RegisterNativeCallbackFn ChordGate_RegisterNativeCallback =
        library.plain<RegisterNativeCallbackFn>("ChordGate_RegisterNativeCallback");

    // Exported by the checked build only: the sink's two callbacks, called as the sink calls them.
    ForwardHotKeyHitFn ForwardHotKeyHit = library.plain<ForwardHotKeyHitFn>("ChordGateChecked_ForwardHotKeyHit");
    ForwardKeyboardStatusFn ForwardKeyboardStatus =
        library.plain<ForwardKeyboardStatusFn>("ChordGateChecked_ForwardKeyboardStatus");
};
