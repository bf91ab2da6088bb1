// The Java hot-key registrations: each borrows the component from the hand-off stream on the
// calling thread (which puts a fresh copy back for the next caller) and makes its one call
// through the proxy. The plain forms are in plain_exports.cpp.
#include <cstdint>

#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "hotkey_lifecycle.h"
#include "hotkey_service.h"
#include "log_diagnostic.h"

using Microsoft::WRL::ComPtr;

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

jlong logged(JNIEnv* env, jobject caller, const char* message, HRESULT hr) {
    logDiagnostic(env, caller, "severe", message, hr);
    return hr;  // sign-extended
}

// A Java form: the calling thread's apartment, the borrowed proxy, and call, the one component
// call through it; each failure logged with its own message and returned.
template <class ComponentCall>
jlong callThroughHandOff(JNIEnv* env, jobject caller, const OperationMessages& messages, ComponentCall call) {
    // The thread stays in its apartment after the call: no uninitialise, no guard.
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) return logged(env, caller, messages.coInitializeFailed, init);

    const auto borrowed = hotKeyHandOff().borrow();
    if (FAILED(borrowed.taken)) return logged(env, caller, messages.unmarshalFailed, borrowed.taken);
    if (FAILED(borrowed.refilled)) return logged(env, caller, messages.marshalFailed, borrowed.refilled);

    // The stream's lock is not held: COM carries the call to the service thread, and the next
    // caller need not wait for it.
    const HRESULT hr = call(borrowed.proxy.Get());
    if (FAILED(hr)) logDiagnostic(env, caller, "severe", messages.methodFailed, hr);
    return hr;
}

template <class Body>
jlong catchingExceptions(JNIEnv* env, jobject caller, const OperationMessages& messages, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        logCaughtException(env, caller, messages.unexpectedError);
        return kCaughtException;
    }
}

} // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_RegisterStandard(
    JNIEnv* env, jclass caller, jlong first, jlong second, jlong third) {
    return catchingExceptions(env, caller, kRegisterStandard, [&]() -> jlong {
        if (!hotKeyServiceHeld()) {
            logDiagnostic(env, caller, "severe", "RegisterStandard(): pHotKey is null", 0);
            return kNotSetUp;
        }
        return callThroughHandOff(env, caller, kRegisterStandard, [&](IHotKeyService* hotKey) {
            return hotKey->RegisterStandard(narrowed(first), narrowed(second), narrowed(third));
        });
    });
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_UnregisterHot(JNIEnv* env,
                                                                                           jclass caller,
                                                                                           jlong first,
                                                                                           jlong second) {
    return catchingExceptions(env, caller, kUnregisterHot, [&] {
        return callThroughHandOff(env, caller, kUnregisterHot, [&](IHotKeyService* hotKey) {
            return hotKey->UnregisterHot(narrowed(first), narrowed(second));
        });
    });
}

JNIEXPORT jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_UnregisterAllHot(JNIEnv* env,
                                                                                              jclass caller) {
    return catchingExceptions(env, caller, kUnregisterAllHot, [&] {
        return callThroughHandOff(env, caller, kUnregisterAllHot,
                                  [](IHotKeyService* hotKey) { return hotKey->UnregisterAllHot(); });
    });
}

} // extern "C"
