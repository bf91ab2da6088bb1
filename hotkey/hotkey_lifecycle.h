#pragma once
// What the Java set-up shares with the Java registration calls: whether it holds the keyboard
// hot-key component, and the hand-off stream through which Java threads borrow it.
#include "hand_off_stream.h"
#include "hotkey_service.h"

// A start-up succeeded and no Cleanup has claimed it since.
bool hotKeyServiceHeld();

HandOffStream<IHotKeyService>& hotKeyHandOff();
