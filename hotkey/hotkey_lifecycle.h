#pragma once
// What set-up stores and the registration calls use: the hand-off stream, through which Java
// threads borrow the keyboard hot-key component, and the plain set-up's component, which the
// plain calls use directly.
#include <jni.h>
#include <windows.h>
#include <objidl.h>

#include "service_thread.h"

#include <wrl/client.h>

#include "hotkey_service.h"

// Holds the module-state lock for its lifetime. The stream keeps one marshalled copy of
// IHotKeyService; a take and its refill must not interleave with another take or with
// clean-up, whichever threads call, or the copy is lost or used after its release. The same
// Never hold it across a call of the component.
class HandOffStreamAccess {
public:
    HandOffStreamAccess();

    IStream*& stream();

private:
    ExclusiveLock lock_;
};

// Whether the Java set-up holds the component: a start-up succeeded and no Cleanup claimed it.
bool hotKeyServiceHeld();

// What the plain forms return when ChordGate_Init has made nothing: 1, a value that a caller
// cannot tell from the component's S_FALSE.
inline constexpr HRESULT kPlainNotSetUp = 1;
// The component ChordGate_Init made, for a call on the thread that made it: kPlainNotSetUp when
// there is none, RPC_E_WRONG_THREAD on any other thread.
HRESULT plainHotKeyService(IHotKeyService** hotKey);

// The diagnostic of a catch-all handler of a native method. Never throws: it runs inside the
// handler, and nothing may leave the native method from there.
void logCaughtException(JNIEnv* env, jobject caller, const char* message) noexcept;
