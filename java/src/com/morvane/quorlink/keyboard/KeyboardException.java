package com.morvane.quorlink.keyboard;

import java.util.Locale;

/**
 * A keyboard operation that did not succeed: {@link #reason()} says why, {@link #nativeValue()} gives the
 * number the native method returned (for the hot-key calls the keyboard's HRESULT, which the message shows
 * in hex as well).
 */
public class KeyboardException extends Exception {
    private static final long serialVersionUID = 1L;

    /** What failed; every documented outcome of the native methods has its own. */
    public enum Reason {
        /** COM could not start on the library's thread (Init -1). */
        COM_REFUSED("COM could not start on the library's thread"),
        /** The keyboard's component is not installed or cannot be created (Init -2). */
        NOT_INSTALLED("the keyboard's component is not installed or cannot be created"),
        /** The keyboard port cannot be opened: the keyboard is absent (TonePort.Init -3). */
        KEYBOARD_ABSENT("the keyboard port cannot be opened (keyboard absent)"),
        /** The hot-key component lacks its event connection or soft-key interface (ChordGate.Init -3 to -6). */
        COMPONENT_INCOMPLETE("the hot-key component lacks its event connection or soft-key interface"),
        /** The component cannot be handed to other threads (TonePort.Init -4, ChordGate.Init -7). */
        NOT_HANDED_OVER("the keyboard's component cannot be handed to other threads"),
        /** The library's thread gave no answer within 10 s; the start-up may still finish later (Init -5, -8). */
        NO_ANSWER("the library's thread gave no answer within 10 s"),
        /** Unexpected error on the library's thread (ChordGate.Init -9). */
        UNEXPECTED_ERROR("unexpected error on the library's thread"),
        /** The keyboard did not play the tone (a play method's 1). */
        NOT_PLAYED("the keyboard did not play the tone"),
        /** The library is not set up (a clean-up's 1), or the keyboard object was opened without this bridge. */
        NOT_OPEN("the keyboard is not open"),
        /** The keyboard is detached, or being opened again after that; no native call was made. */
        DETACHED("the keyboard is detached"),
        /** The library refused the keyboard object's event listener (RegisterListener 1). */
        LISTENER_REFUSED("the library refused the event listener"),
        /** The keyboard refused a hot-key call: a negative HRESULT. */
        KEYBOARD_REFUSED("the keyboard refused the call"),
        /** The native method returned a value it does not document. */
        UNDOCUMENTED_VALUE("the native method returned a value it does not document"),
        /** The call got no answer from the keyboard object's call thread in time. */
        TIMEOUT("no answer in time"),
        /** The thread waiting for the call was interrupted. */
        INTERRUPTED("interrupted while waiting for the keyboard"),
        /** The keyboard object is closed. */
        CLOSED("the keyboard object is closed"),
        /** Another keyboard object of the libraries is open in this process (they keep one state per process). */
        ALREADY_OPEN("another Keyboard is open in this process"),
        /** This JVM's OS or architecture is not served (see {@link Keyboard#unsupportedReason()}). */
        UNSUPPORTED("this platform is not served"),
        /** The native library could not be loaded. */
        LOAD_FAILED("the native library could not be loaded");

        private final String description;

        Reason(String description) {
            this.description = description;
        }

        /**
         * What the reason means, in a few words.
         *
         * @return the description
         */
        public String description() {
            return description;
        }
    }

    /** Why the operation failed. */
    private final Reason reason;
    /** What the native method returned, or 0. */
    private final long nativeValue;

    /**
     * Makes an exception; the message starts with the operation and the reason's description.
     *
     * @param operation the operation that failed, for example "TonePort.Init"
     * @param reason why
     * @param nativeValue what the native method returned, or 0 where none was called
     * @param detail more about it, or null
     */
    public KeyboardException(String operation, Reason reason, long nativeValue, String detail) {
        super(operation + ": " + reason.description() + (detail == null ? "" : "; " + detail));
        this.reason = reason;
        this.nativeValue = nativeValue;
    }

    /**
     * Why the operation failed.
     *
     * @return the reason
     */
    public Reason reason() {
        return reason;
    }

    /**
     * The number the native method returned, or 0 where the failure came before any native call.
     *
     * @return the value
     */
    public long nativeValue() {
        return nativeValue;
    }

    /**
     * A negative HRESULT as the hex text Windows tools show ("0x80070005").
     *
     * @param hresult the value as the native method returned it
     * @return the text
     */
    static String hex(long hresult) {
        String digits = Long.toHexString(hresult & 0xFFFFFFFFL).toUpperCase(Locale.ENGLISH);
        return "0x" + "00000000".substring(digits.length()) + digits;
    }
}
