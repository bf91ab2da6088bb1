package com.morvane.quorlink.keyboard;

/**
 * The keyboard's seven alert tones, in the keyboard's order. Each is played by its own native method of
 * {@code TonePort}, named by {@link #nativeMethod()}.
 */
public enum Tone {
    /** The "News" tone. */
    NEWS("playNewsTone"),
    /** The "Incoming" tone (a conversation is coming in). */
    INCOMING("playIncomingConvTone"),
    /** The "Bell" tone. */
    BELL("playBellTone"),
    /** The "Limit" tone. */
    LIMIT("playLimitTone"),
    /** The "Short" tone. */
    SHORT("playShortTone"),
    /** The "Busy" tone. */
    BUSY("playBusyTone"),
    /** The "Interrupt" tone. */
    INTERRUPT("playInterruptTone");

    private final String nativeMethod;

    Tone(String nativeMethod) {
        this.nativeMethod = nativeMethod;
    }

    /**
     * The native method of {@code TonePort} that plays this tone.
     *
     * @return its name, for example "playBellTone"
     */
    public String nativeMethod() {
        return nativeMethod;
    }
}
