#pragma once
// What the play calls share with the tone service: the hand-off stream through which Java threads
// reach the keyboard tone component that lives on the service thread.
#include "hand_off_stream.h"
#include "tone_device.h"

HandOffStream<IToneDevice>& toneHandOff();
