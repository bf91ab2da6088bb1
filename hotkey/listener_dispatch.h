#pragma once
// Delivery of the keyboard's events to the one registered Java listener. The forwarding
// functions are the sink's callbacks and run on the thread the sink receives events on.
#include <jni.h>

#include <cstdint>

// The sink's hot-key callback: calls the listener's HotKeyHit with the three values sign-extended.
void ForwardHotKeyHit(std::int32_t first, std::int32_t second, std::int32_t third) noexcept;
// The sink's status callback: calls KBFailed for 2, KBDetached for 3, nothing otherwise.
void ForwardKeyboardStatus(std::int32_t status) noexcept;

// Plain export: keeps a native caller's callback pointer and hands it back; nothing calls it.
extern "C" void* __cdecl ChordGate_RegisterNativeCallback(void* callback);
