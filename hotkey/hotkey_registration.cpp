// The Java hot-key registrations: each borrows the component from the hand-off stream on the
// calling thread (which puts a fresh copy back for the next caller) and makes its one call
// through the proxy. The plain forms are in plain_exports.cpp.
#include <cstdint>

#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "hotkey_lifecycle.h"
#include "hotkey_service.h"
#include "native_method.h"

namespace {

// What RegisterStandard returns when there is no component, as the plain forms do: 1.
constexpr HRESULT kNotSetUp = 1;
// What a Java form returns after it caught and logged an exception.
constexpr HRESULT kCaughtException = E_UNEXPECTED;

struct OperationMessages {
    const char* coInitializeFailed;
    const char* unmarshalFailed;
    const char* marshalFailed;
    const char* methodFailed;
    const char* unexpectedError;
};

constexpr OperationMessages kRegisterStandard{
    "RegisterStandard(): CoInitialize failed",
    "RegisterStandard(): CoUnmarshalInterface failed",
    "RegisterStandard(): CoMarshalInterThreadInterfaceInStream failed",
    "RegisterStandard(): failed to register standard",
    "RegisterStandard(): unexpected error",
};
constexpr OperationMessages kUnregisterHot{
    "UnregisterHot(): CoInitialize failed",
    "UnregisterHot(): CoUnmarshalInterface failed",
    "UnregisterHot(): CoMarshalInterThreadInterfaceInStream failed",
    "UnregisterHot(): failed to unregister hot key",
    "UnregisterHot(): unexpected error",
};
constexpr OperationMessages kUnregisterAllHot{
    "UnregisterAllHot(): CoInitialize failed",
    "UnregisterAllHot(): CoUnmarshalInterface failed",
    "UnregisterAllHot(): CoMarshalInterThreadInterfaceInStream failed",
    "UnregisterAllHot(): failed to unregister all hot",
    "UnregisterAllHot(): unexpected error",
};

// The low 32 bits, without a range check.
LONG narrowed(jlong value) { return static_cast<LONG>(static_cast<std::uint32_t>(value)); }

jlong logged(JNIEnv* env, const char* message, HRESULT hr) {
    logDiagnostic(env, "severe", message, hr);
    return hr;  // sign-extended
}

// A Java form: the calling thread's apartment, the borrowed proxy, and call, the one component
// call through it; each failure logged with its own message and returned.
template <class ComponentCall>
jlong callThroughHandOff(JNIEnv* env, const OperationMessages& messages, ComponentCall call) {
    // The thread stays in its apartment after the call: no uninitialise, no guard.
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) return logged(env, messages.coInitializeFailed, init);

    const auto borrowed = hotKeyHandOff().borrow();
    if (FAILED(borrowed.taken)) return logged(env, messages.unmarshalFailed, borrowed.taken);
    if (FAILED(borrowed.refilled)) return logged(env, messages.marshalFailed, borrowed.refilled);

    // The stream's lock is not held: COM carries the call to the service thread, and the next
    // caller need not wait for it.
    const HRESULT hr = call(borrowed.proxy.Get());
    if (FAILED(hr)) logDiagnostic(env, "severe", messages.methodFailed, hr);
    return hr;
}

// A Java form: its body behind the boundary, which turns an exception into its unexpected error.
template <class ComponentCall>
jlong javaForm(JNIEnv* env, const OperationMessages& messages, ComponentCall call) noexcept {
    return nativeMethod(env, messages.unexpectedError, kCaughtException,
                        [&] { return callThroughHandOff(env, messages, call); });
}

} // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RegisterStandard(
    JNIEnv* env, jclass, jlong first, jlong second, jlong third) {
    return nativeMethod(env, kRegisterStandard.unexpectedError, kCaughtException, [&]() -> jlong {
        if (!hotKeyServiceHeld()) {
            logDiagnostic(env, "severe", "RegisterStandard(): pHotKey is null", 0);
            return kNotSetUp;
        }
        return callThroughHandOff(env, kRegisterStandard, [&](IHotKeyService* hotKey) {
            return hotKey->RegisterStandard(narrowed(first), narrowed(second), narrowed(third));
        });
    });
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_UnregisterHot(JNIEnv* env, jclass,
                                                                                           jlong first,
                                                                                           jlong second) {
    return javaForm(env, kUnregisterHot, [&](IHotKeyService* hotKey) {
        return hotKey->UnregisterHot(narrowed(first), narrowed(second));
    });
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_UnregisterAllHot(JNIEnv* env,
                                                                                              jclass) {
    return javaForm(env, kUnregisterAllHot, [](IHotKeyService* hotKey) { return hotKey->UnregisterAllHot(); });
}

} // extern "C"
