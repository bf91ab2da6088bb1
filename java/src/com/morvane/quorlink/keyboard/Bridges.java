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

    /** Whether the libraries keep one state per process, so that one keyboard object may be open at a time. */
    boolean processWide();
}
