package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.keyboard.KeyboardException.Reason;

/**
 * The native methods the keyboard object calls, and the one table of what each documented return value
 * means. A value a method does not document is {@link Reason#UNDOCUMENTED_VALUE}, never a success.
 */
enum NativeCall {
    TONE_INIT("TonePort.Init"),
    PLAY("TonePort.play"),
    TONE_CLEANUP("TonePort.cleanup"),
    HOT_KEY_INIT("ChordGate.Init"),
    HOT_KEY_CLEANUP("ChordGate.Cleanup"),
    REGISTER_LISTENER("ChordGate.RegisterListener"),
    UNREGISTER_ALL_LISTENER("ChordGate.UnregisterAllListener"),
    REGISTER_STANDARD("ChordGate.RegisterStandard"),
    UNREGISTER_HOT("ChordGate.UnregisterHot"),
    UNREGISTER_ALL_HOT("ChordGate.UnregisterAllHot");

    final String operation;

    NativeCall(String operation) {
        this.operation = operation;
    }

    /** What {@code value} means for this method: null for success, else the reason. */
    Reason reason(long value) {
        switch (this) {
            case TONE_INIT:
                return initReason(value, -1, Reason.COM_REFUSED, -2, Reason.NOT_INSTALLED,
                        -3, Reason.KEYBOARD_ABSENT, -4, Reason.NOT_HANDED_OVER, -5, Reason.NO_ANSWER);
            case HOT_KEY_INIT:
                return initReason(value, -1, Reason.COM_REFUSED, -2, Reason.NOT_INSTALLED,
                        -3, Reason.COMPONENT_INCOMPLETE, -4, Reason.COMPONENT_INCOMPLETE,
                        -5, Reason.COMPONENT_INCOMPLETE, -6, Reason.COMPONENT_INCOMPLETE,
                        -7, Reason.NOT_HANDED_OVER, -8, Reason.NO_ANSWER, -9, Reason.UNEXPECTED_ERROR);
            case PLAY:
                return value == 0 ? null : value == 1 ? Reason.NOT_PLAYED : Reason.UNDOCUMENTED_VALUE;
            case TONE_CLEANUP:
            case HOT_KEY_CLEANUP:
                return value == 0 ? null : value == 1 ? Reason.NOT_OPEN : Reason.UNDOCUMENTED_VALUE;
            case REGISTER_LISTENER:
                return value == 0 ? null : value == 1 ? Reason.LISTENER_REFUSED : Reason.UNDOCUMENTED_VALUE;
            case UNREGISTER_ALL_LISTENER:
                return value == 0 ? null : Reason.UNDOCUMENTED_VALUE;
            case REGISTER_STANDARD:
                // 1 is the library's "before Init"; any other non-negative HRESULT is the keyboard's success.
                return value == 1 ? Reason.NOT_OPEN : hresult(value);
            case UNREGISTER_HOT:
            case UNREGISTER_ALL_HOT:
                return hresult(value);
            default:
                throw new AssertionError(this);
        }
    }

    /** An Init's reason: null for 0, else the reason paired with value, one pair per documented value. */
    private static Reason initReason(long value, Object... valueReasonPairs) {
        if (value == 0) {
            return null;
        }
        for (int i = 0; i < valueReasonPairs.length; i += 2) {
            if (((Integer) valueReasonPairs[i]).longValue() == value) {
                return (Reason) valueReasonPairs[i + 1];
            }
        }
        return Reason.UNDOCUMENTED_VALUE;
    }

    private static Reason hresult(long value) {
        if (value < Integer.MIN_VALUE || value > Integer.MAX_VALUE) {
            return Reason.UNDOCUMENTED_VALUE;
        }
        return value < 0 ? Reason.KEYBOARD_REFUSED : null;
    }

    /**
     * The exception for a value that is not success, for the native method {@code method} (a play call
     * names its tone's); a refusal shows the HRESULT in hex.
     */
    KeyboardException failure(String method, long value) {
        Reason reason = reason(value);
        return new KeyboardException(method, reason, value, reason == Reason.KEYBOARD_REFUSED
                ? "HRESULT " + KeyboardException.hex(value) : "it returned " + value);
    }
}
