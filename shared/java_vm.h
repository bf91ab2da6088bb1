#pragma once
// The one JavaVM of the process, as a library keeps it: stored by the Java native methods that
// start things up or register a listener, read by the service thread to attach itself.
#include <jni.h>

#include <atomic>

inline std::atomic<JavaVM*> javaVmOfThisLibrary{nullptr};  // one per library: each DLL has its own

inline void storeJavaVM(JNIEnv* env) noexcept {
    JavaVM* vm = nullptr;
    env->GetJavaVM(&vm);
    javaVmOfThisLibrary = vm;
}

inline JavaVM* storedJavaVM() noexcept { return javaVmOfThisLibrary; }
