// The Java listener: its registration on Java threads and the forwarding of the keyboard's
// events to it on the service thread.
#include "listener_dispatch.h"

#include <windows.h>

#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "hotkey_service.h"
#include "java_vm.h"
#include "native_method.h"
#include "win_resources.h"

namespace {

// Module state, behind the listener lock. The JavaVM is not (java_vm.h): an Init on a Java
// thread must not wait for a listener method that a forward is running.
jobject listener = nullptr;  // global reference
jmethodID hotKeyHitMethod = nullptr;
jmethodID kbFailedMethod = nullptr;
jmethodID kbDetachedMethod = nullptr;
void* nativeCallback = nullptr;  // kept for native callers; never called

// Held by the two native methods and around each whole forward, so a forward never calls a
// listener reference or identifier that a Java thread is releasing or replacing, and no call
// reaches a listener once UnregisterAllListener has returned. Re-entrant: a listener method
// may itself register or unregister from within the forward's call.
class ListenerStateLock {
public:
    ListenerStateLock() { EnterCriticalSection(&section()); }
    ~ListenerStateLock() { LeaveCriticalSection(&section()); }
    ListenerStateLock(const ListenerStateLock&) = delete;
    ListenerStateLock& operator=(const ListenerStateLock&) = delete;

private:
    struct Section {
        CRITICAL_SECTION cs;
        Section() { InitializeCriticalSection(&cs); }
        ~Section() { DeleteCriticalSection(&cs); }
    };
    static CRITICAL_SECTION& section() {
        static Section instance;
        return instance.cs;
    }
};

// The identifiers belong to the class of the listener they were looked up on, so they go with
// the reference they were taken for. Caller holds the lock.
void replaceListener(JNIEnv* env, jobject globalRef) {
    if (listener) env->DeleteGlobalRef(listener);
    listener = globalRef;
    hotKeyHitMethod = nullptr;
    kbFailedMethod = nullptr;
    kbDetachedMethod = nullptr;
}

// Whatever the listener threw is printed as the JVM prints an exception that ends a thread, and
// cleared: the thread stays attached, so it would otherwise be pending into the next call. The
// ChordGate logger gets it too, when the user switched warnings on.
void reportListenerException(JNIEnv* env, const char* method) {
    const jthrowable thrown = env->ExceptionOccurred();
    if (!thrown) return;
    env->ExceptionDescribe();
    env->ExceptionClear();
    logListenerException(env, method, thrown);
    env->DeleteLocalRef(thrown);
}

}  // namespace

// The class reference is local to this call; the JVM frees it when the native method returns.
jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RegisterListener(JNIEnv* env, jclass,
                                                                                      jobject newListener) {
    return nativeMethod(env, "RegisterListener(): unexpected error", 1, [&]() -> jlong {
        ListenerStateLock lock;
        storeJavaVM(env);
        prepareDiagnostics(env);  // a listener's exceptions are logged later on the service thread

        replaceListener(env, newListener ? env->NewGlobalRef(newListener) : nullptr);
        if (!listener) return 1;

        const jclass listenerClass = env->GetObjectClass(newListener);
        if (!listenerClass) return 1;

        // A failed lookup leaves JNI's NoSuchMethodError pending for the Java caller.
        hotKeyHitMethod = env->GetMethodID(listenerClass, "HotKeyHit", "(JJJ)V");
        if (!hotKeyHitMethod) return 1;
        kbFailedMethod = env->GetMethodID(listenerClass, "KBFailed", "()V");
        if (!kbFailedMethod) return 1;
        kbDetachedMethod = env->GetMethodID(listenerClass, "KBDetached", "()V");
        return kbDetachedMethod ? 0 : 1;
    });
}

jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_UnregisterAllListener(JNIEnv* env, jclass) {
    return nativeMethod(env, "UnregisterAllListener(): unexpected error", 1, [&] {
        ListenerStateLock lock;
        replaceListener(env, nullptr);
        return jlong{0};
    });
}

// The service thread stays attached from start-up on, so each forward uses its environment and
// never attaches or detaches per event: an attach that starts while the JVM shuts down can
// deadlock with the exiting thread. A forward on a thread that is not attached (none is
// expected) attaches it as a daemon for the call; an event it cannot be attached for is dropped.
void ForwardHotKeyHit(std::int32_t first, std::int32_t second, std::int32_t third) noexcept {
    ListenerStateLock lock;
    JavaVM* const vm = storedJavaVM();
    if (!vm || !listener || !hotKeyHitMethod) return;
    DaemonJvmAttachment jvm(vm);
    if (!jvm.attached()) return;
    jvm.env()->CallVoidMethod(listener, hotKeyHitMethod, jlong{first}, jlong{second}, jlong{third});
    reportListenerException(jvm.env(), "HotKeyHit");
}

void ForwardKeyboardStatus(std::int32_t status) noexcept {
    if (status != kKeyboardFailed && status != kKeyboardDetached) return;
    ListenerStateLock lock;
    JavaVM* const vm = storedJavaVM();
    if (!vm || !listener) return;
    DaemonJvmAttachment jvm(vm);
    if (!jvm.attached()) return;
    const jmethodID method = status == kKeyboardFailed ? kbFailedMethod : kbDetachedMethod;
    if (!method) return;
    jvm.env()->CallVoidMethod(listener, method);
    reportListenerException(jvm.env(), status == kKeyboardFailed ? "KBFailed" : "KBDetached");
}

extern "C" void* __cdecl ChordGate_RegisterNativeCallback(void* callback) {
    nativeCallback = callback;
    return callback;
}
