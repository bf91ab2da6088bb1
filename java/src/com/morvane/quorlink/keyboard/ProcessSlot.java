package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.keyboard.KeyboardException.Reason;

/**
 * The one place a keyboard object may hold at a time: the DLLs keep one state per process, and each
 * simulation is one keyboard. A closing holder keeps the slot until its clean-up calls have run, so a
 * late clean-up never reaches the next keyboard object; a newcomer waits for that within its own bound.
 */
final class ProcessSlot {
    /** The DLLs' slot, for the whole process. */
    static final ProcessSlot NATIVE = new ProcessSlot();

    private Object holder;       // guarded by this
    private boolean lettingGo;   // guarded by this

    /** Takes the slot for {@code who}, waiting until {@code deadline} for a holder that is letting go. */
    synchronized void claim(Object who, long deadline) throws KeyboardException {
        try {
            while (holder != null && lettingGo && CallThread.waitUntil(this, deadline)) {
                // woken by free(), or the deadline passed
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new KeyboardException("Keyboard.open", Reason.INTERRUPTED, 0, null);
        }
        if (holder != null) {
            throw new KeyboardException("Keyboard.open", Reason.ALREADY_OPEN, 0, lettingGo
                    ? "the previous keyboard is still letting go" : "close it first");
        }
        holder = who;
        lettingGo = false;
    }

    /** {@code who} is closing: newcomers wait for {@link #free} rather than fail at once. */
    synchronized void lettingGo(Object who) {
        if (holder == who) {
            lettingGo = true;
        }
    }

    /** {@code who}'s clean-up calls have run. */
    synchronized void free(Object who) {
        if (holder == who) {
            holder = null;
            lettingGo = false;
            notifyAll();
        }
    }
}
