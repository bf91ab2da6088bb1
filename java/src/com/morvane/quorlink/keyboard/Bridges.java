package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.services.keyboard.HotKeyListener;

/**
 * The native methods a keyboard object calls, as one seam: {@link NativeBridges} calls the DLLs,
 * {@link SimulatedKeyboard} answers from memory. Each returns what the native method returns. Called on
 * the keyboard object's one call thread only.
 */
interface Bridges {
    long toneInit();

    long play(Tone tone);

    long toneCleanup();

    long hotKeyInit();

    long hotKeyCleanup();

    long registerListener(HotKeyListener listener);

    long unregisterAllListener();

    long registerStandard(long first, long second, long third);

    long unregisterHot(long first, long second);

    long unregisterAllHot();

    /** The slot that one keyboard object at a time holds over these bridges. */
    ProcessSlot slot();

    /** Whether these are the DLLs, which need a platform the jar serves. */
    boolean isNative();
}
