package com.morvane.quorlink.jvmtest;

/**
 * The simulated keyboard components, driven through the test helper DLL named by the system
 * property quorlink.test.helper (a full path).
 */
final class Sim {
    static {
        System.load(System.getProperty("quorlink.test.helper"));
    }

    // The component's call kinds that lastHotKeyCall reads.
    static final int REGISTER_STANDARD = 8;
    static final int UNREGISTER_HOT = 9;
    static final int CREATE = 1;

    static final int REGDB_E_CLASSNOTREG = 0x80040154;

    private Sim() {
    }

    /** Raises the event and returns once the sinks ran; returns how many sinks it reached. */
    static native int hotKeyHit(int first, int second, int third);

    static native int keyboardFailed();

    static native int keyboardDetached();

    /** Posts hits (i, -i, 7) for i = first..first + count - 1 and returns at once. */
    static native void postHits(int first, int count);

    /** True once every posted event has been handled. */
    static native boolean waitForPosted(int timeoutMs);

    /**
     * Posts a hit (0, 0, 7), then hits (i, -i, 7) for i = 1..count from a native thread of its own,
     * pauseMs apart; returns at once.
     */
    static native void streamHits(int count, int pauseMs);

    /** The arguments of the component's last call of that kind, or null. */
    static native int[] lastHotKeyCall(int method);

    static native void scriptHotKeyResults(int registerStandard, int unregisterHot, int unregisterAllHot);

    /** The result of the next creations of the hot-key component (a failure, or 0 to bring it back). */
    static native void scriptHotKeyCreation(int result);

    /** How many calls of that kind the hot-key components received so far. */
    static native int countHotKeyCalls(int method);

    /** A monotonic clock in nanoseconds, finer than the class library's. */
    static native long nanoTime();

    /** The keyboard port refuses to open, as with the keyboard absent. */
    static native void scriptPortRefuses();

    static native String[] tonesPlayed();

    static native void setDriverEntry(boolean present);
}
