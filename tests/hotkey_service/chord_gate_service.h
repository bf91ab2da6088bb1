#pragma once
// ChordGate.dll (the checked build) as the JVM and native callers see it: set-up, clean-up,
// listener and registration natives by their JNI names, the plain exports by name.
#include <jni.h>
#include <windows.h>

#include "jni_host.h"

struct ChordGateService {
    using Native = jlong(JNICALL*)(JNIEnv*, jclass);
    using ObjectNative = jlong(JNICALL*)(JNIEnv*, jclass, jobject);
    using Native3 = jlong(JNICALL*)(JNIEnv*, jclass, jlong, jlong, jlong);
    using Native2 = jlong(JNICALL*)(JNIEnv*, jclass, jlong, jlong);
    using PlainInit = HRESULT(__cdecl*)();
    using PlainCleanup = void(__cdecl*)();
    using Plain3 = HRESULT(__cdecl*)(LONG, LONG, LONG);
    using Plain2 = HRESULT(__cdecl*)(LONG, LONG);
    using Hook = void(__cdecl*)();
    using Count = LONG(__cdecl*)();
    static constexpr const char* kClass = "com.morvane.quorlink.services.keyboard.ChordGate";

    jnihost::NativeLibrary library{std::wstring(L"ChordGate.dll")};
    Native Init = library.native<Native>(kClass, "Init", 8);
    Native RawInit = library.native<Native>(kClass, "RawInit", 8);
    Native Cleanup = library.native<Native>(kClass, "Cleanup", 8);
    Native RawCleanup = library.native<Native>(kClass, "RawCleanup", 8);
    ObjectNative RegisterListener = library.native<ObjectNative>(kClass, "RegisterListener", 12);
    Native UnregisterAllListener = library.native<Native>(kClass, "UnregisterAllListener", 8);
    Native3 RegisterStandard = library.native<Native3>(kClass, "RegisterStandard", 32);
    Native2 UnregisterHot = library.native<Native2>(kClass, "UnregisterHot", 24);
    Native UnregisterAllHot = library.native<Native>(kClass, "UnregisterAllHot", 8);

    PlainInit ChordGate_Init = library.plain<PlainInit>("ChordGate_Init");
    PlainCleanup ChordGate_Cleanup = library.plain<PlainCleanup>("ChordGate_Cleanup");
    Plain3 ChordGate_RegisterStandard = library.plain<Plain3>("ChordGate_RegisterStandard");
    Plain2 ChordGate_UnregisterHot = library.plain<Plain2>("ChordGate_UnregisterHot");
    PlainInit ChordGate_UnregisterAllHot = library.plain<PlainInit>("ChordGate_UnregisterAllHot");

    // Checked build only: the library's next allocation fails; the sinks alive in the process.
    Hook FailNextAllocation = library.plain<Hook>("ChordGateChecked_FailNextAllocation");
    Count LiveEventSinks = library.plain<Count>("ChordGateChecked_LiveEventSinks");
};
