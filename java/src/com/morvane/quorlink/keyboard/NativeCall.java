package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import com.morvane.quorlink.services.keyboard.HotKeyListener;
import java.util.HashMap;
import java.util.Map;

/**
 * The command table: the ten native methods a keyboard object calls, each with its call through
 * {@link Bridges}, its operation name and what its documented return values mean. A value a method does
 * not document is {@link Reason#UNDOCUMENTED_VALUE}, never a success.
 */
enum NativeCall {
    TONE_INIT("TonePort.Init") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.toneInit();
        }
    },
    PLAY("TonePort.play") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.play((Tone) args[0]);
        }

        @Override
        String operation(Object[] args) {
            return "TonePort." + ((Tone) args[0]).nativeMethod();
        }
    },
    TONE_CLEANUP("TonePort.cleanup") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.toneCleanup();
        }
    },
    HOT_KEY_INIT("ChordGate.Init") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.hotKeyInit();
        }
    },
    HOT_KEY_CLEANUP("ChordGate.Cleanup") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.hotKeyCleanup();
        }
    },
    REGISTER_LISTENER("ChordGate.RegisterListener") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.registerListener((HotKeyListener) args[0]);
        }
    },
    UNREGISTER_ALL_LISTENER("ChordGate.UnregisterAllListener") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.unregisterAllListener();
        }
    },
    // The keyboard's own calls: their value is its HRESULT. The layer makes them only on an open keyboard,
    // where RegisterStandard's 1 (its "before Init") is S_FALSE, a success.
    REGISTER_STANDARD("ChordGate.RegisterStandard") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.registerStandard((Integer) args[0], (Integer) args[1], (Integer) args[2]);
        }
    },
    UNREGISTER_HOT("ChordGate.UnregisterHot") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.unregisterHot((Integer) args[0], (Integer) args[1]);
        }
    },
    UNREGISTER_ALL_HOT("ChordGate.UnregisterAllHot") {
        @Override
        long invoke(Bridges bridges, Object[] args) {
            return bridges.unregisterAllHot();
        }
    };

    // Each method's documented values other than 0, the success.
    static {
        TONE_INIT.documents(
                -1, Reason.COM_REFUSED,
                -2, Reason.NOT_INSTALLED,
                -3, Reason.KEYBOARD_ABSENT,
                -4, Reason.NOT_HANDED_OVER,
                -5, Reason.NO_ANSWER);
        HOT_KEY_INIT.documents(
                -1, Reason.COM_REFUSED,
                -2, Reason.NOT_INSTALLED,
                -3, Reason.COMPONENT_INCOMPLETE,
                -4, Reason.COMPONENT_INCOMPLETE,
                -5, Reason.COMPONENT_INCOMPLETE,
                -6, Reason.COMPONENT_INCOMPLETE,
                -7, Reason.NOT_HANDED_OVER,
                -8, Reason.NO_ANSWER,
                -9, Reason.UNEXPECTED_ERROR);
        PLAY.documents(1, Reason.NOT_PLAYED);
        TONE_CLEANUP.documents(1, Reason.NOT_OPEN);
        HOT_KEY_CLEANUP.documents(1, Reason.NOT_OPEN);
        REGISTER_LISTENER.documents(1, Reason.LISTENER_REFUSED);
    }

    final String operation;
    private final Map<Long, Reason> failures = new HashMap<Long, Reason>();

    NativeCall(String operation) {
        this.operation = operation;
    }

    /** Calls the native method; {@code args} are the call's own (a tone, a listener, the keyboard's values). */
    abstract long invoke(Bridges bridges, Object[] args);

    /** The native method's name for these arguments; a play call names its tone's. */
    String operation(Object[] args) {
        return operation;
    }

    private void documents(Object... pairs) {
        for (int i = 0; i < pairs.length; i += 2) {
            failures.put(((Integer) pairs[i]).longValue(), (Reason) pairs[i + 1]);
        }
    }

    private boolean returnsHresult() {
        return this == REGISTER_STANDARD || this == UNREGISTER_HOT || this == UNREGISTER_ALL_HOT;
    }

    /** What {@code value} means for this method: null for success, else the reason. */
    Reason reason(long value) {
        if (returnsHresult()) {
            if (value < Integer.MIN_VALUE || value > Integer.MAX_VALUE) {
                return Reason.UNDOCUMENTED_VALUE;
            }
            return value < 0 ? Reason.KEYBOARD_REFUSED : null;
        }
        if (value == 0) {
            return null;
        }
        Reason reason = failures.get(value);
        return reason != null ? reason : Reason.UNDOCUMENTED_VALUE;
    }

    /** The exception for a value that is not success; a refusal shows the HRESULT in hex. */
    KeyboardException failure(String method, long value) {
        Reason reason = reason(value);
        return new KeyboardException(method, reason, value, reason == Reason.KEYBOARD_REFUSED
                ? "HRESULT " + KeyboardException.hex(value) : "it returned " + value);
    }

    /** Calls the native method and returns its value, or throws what a failure value means. */
    long call(Bridges bridges, Object[] args) throws KeyboardException {
        long value = invoke(bridges, args);
        if (reason(value) != null) {
            throw failure(operation(args), value);
        }
        return value;
    }
}
