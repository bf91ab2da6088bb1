#pragma once
// TonePort.dll as the JVM sees it: loaded by file name, its natives found by their JNI names.
#include <jni.h>

#include "jni_host.h"

struct TonePort {
    using Native = jlong(JNICALL*)(JNIEnv*, jclass);
    static constexpr const char* kClass = "com.morvane.quorlink.services.sound.TonePort";

    jnihost::NativeLibrary library{std::wstring(L"TonePort.dll")};
    Native Init = library.native<Native>(kClass, "Init", 8);
    Native cleanup = library.native<Native>(kClass, "cleanup", 8);
    Native playNewsTone = library.native<Native>(kClass, "playNewsTone", 8);
    Native playIncomingConvTone = library.native<Native>(kClass, "playIncomingConvTone", 8);
    Native playBellTone = library.native<Native>(kClass, "playBellTone", 8);
    Native playLimitTone = library.native<Native>(kClass, "playLimitTone", 8);
    Native playShortTone = library.native<Native>(kClass, "playShortTone", 8);
    Native playBusyTone = library.native<Native>(kClass, "playBusyTone", 8);
    Native playInterruptTone = library.native<Native>(kClass, "playInterruptTone", 8);

    // Checked build only: the library's next allocation fails.
    using Hook = void(__cdecl*)();
    Hook FailNextAllocation = library.plain<Hook>("TonePortChecked_FailNextAllocation");
};
