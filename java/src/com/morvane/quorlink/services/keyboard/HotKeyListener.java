package com.morvane.quorlink.services.keyboard;

/**
 * Receives the keyboard's events. ChordGate calls these methods on its own service thread,
 * one event at a time; return quickly and do not throw.
 */
public interface HotKeyListener {
    /**
     * A hot key was pressed; the three values come from the keyboard unchanged (sign-extended).
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @param third the keyboard's third value
     */
    void HotKeyHit(long first, long second, long third);

    /** The keyboard reported a failure. */
    void KBFailed();

    /** The keyboard was detached. */
    void KBDetached();
}
