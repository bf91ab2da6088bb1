package com.morvane.quorlink.services.sound;

/**
 * Alert tones on the keyboard's speaker, through the native library TonePort.dll.
 *
 * <p>Call {@link #Init()} once, then any of the play methods from any thread, then {@link #cleanup()}.
 * Every method returns a number; none throws.
 */
public final class TonePort {
    static {
        System.loadLibrary("TonePort");
    }

    private TonePort() {
    }

    /** Starts the tone service: 0 ready, -1 to -4 a failed start-up step, -5 no answer within 10 s. */
    public static native long Init();

    /** Takes the tone component back: 0 done, 1 nothing to take. */
    public static native long cleanup();

    /** 0 when the keyboard played the tone, 1 otherwise. */
    public static native long playNewsTone();

    /** Plays the tone named "Incoming": 0 when played, 1 otherwise. */
    public static native long playIncomingConvTone();

    public static native long playBellTone();

    public static native long playLimitTone();

    public static native long playShortTone();

    public static native long playBusyTone();

    public static native long playInterruptTone();
}
