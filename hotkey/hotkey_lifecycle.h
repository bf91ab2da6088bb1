#pragma once
// What set-up stores and the registration calls use: the hand-off stream, through which Java
// threads borrow the keyboard hot-key component, and pHotKey, which the plain calls use directly.
#include <jni.h>
#include <windows.h>
#include <objidl.h>

#include "service_thread.h"

#include <wrl/client.h>

#include "hotkey_service.h"

// Holds the module-state lock for its lifetime. The stream keeps one marshalled copy of
// IHotKeyService; a take and its refill must not interleave with another take or with
// clean-up, whichever threads call, or the copy is lost or used after its release. The same
// lock guards the pointers that set-up stores and clean-up releases. Never hold it across a
// call of the component.
class HandOffStreamAccess {
public:
    HandOffStreamAccess();

    IStream*& stream();

private:
    ExclusiveLock lock_;
};

// Whether set-up stored the component and clean-up has not released it yet.
bool hotKeyServiceHeld();
// pHotKey with a reference of the caller's own, so that a clean-up on another thread cannot
// release it under the call; null before set-up and after clean-up.
Microsoft::WRL::ComPtr<IHotKeyService> heldHotKeyService();

// The diagnostic of a catch-all handler of a native method. Never throws: it runs inside the
// handler, and nothing may leave the native method from there.
void logCaughtException(JNIEnv* env, jobject caller, const char* message) noexcept;
