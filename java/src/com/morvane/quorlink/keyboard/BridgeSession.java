package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.services.keyboard.HotKeyListener;
import java.util.List;

/**
 * A keyboard object's hold on the bridges: connecting (the start-ups, its listener, the declared hot keys
 * and the journal's replay), the calls while connected, letting go, and the process slot. Used on the
 * call thread only, except {@link #claim} and {@link #lettingGo}, which touch the slot alone.
 */
final class BridgeSession {
    private final Bridges bridges;
    private final boolean tones;
    private final boolean hotKeys;
    private final HotKeyListener listener;
    private final List<int[]> declared;
    private final Journal journal = new Journal();

    BridgeSession(Bridges bridges, boolean tones, boolean hotKeys, HotKeyListener listener, List<int[]> declared) {
        this.bridges = bridges;
        this.tones = tones;
        this.hotKeys = hotKeys;
        this.listener = listener;
        this.declared = declared;
    }

    /** How many native calls a first connection makes, for the caller's bound. */
    int connectCalls() {
        return (tones ? 1 : 0) + (hotKeys ? 2 + declared.size() : 0);
    }

    void claim(Object who, long deadline) throws KeyboardException {
        bridges.slot().claim(who, deadline);
    }

    void lettingGo(Object who) {
        bridges.slot().lettingGo(who);
    }

    void free(Object who) {
        bridges.slot().free(who);
    }

    /**
     * Opens the bridges and registers the declared hot keys; {@code again} (a reconnection) makes the
     * journal's registrations too, and a registration refused then is logged rather than thrown.
     */
    void connect(boolean again) throws KeyboardException {
        if (tones) {
            NativeCall.TONE_INIT.call(bridges, new Object[0]);
        }
        if (!hotKeys) {
            return;
        }
        NativeCall.HOT_KEY_INIT.call(bridges, new Object[0]);
        NativeCall.REGISTER_LISTENER.call(bridges, new Object[] {listener});
        for (int[] values : declared) {
            registerAgain(NativeCall.REGISTER_STANDARD, new Object[] {values[0], values[1], values[2]}, again);
        }
        if (again) {
            for (Journal.Entry entry : journal.entries()) {
                registerAgain(entry.call, entry.args, true);
            }
        }
    }

    private void registerAgain(NativeCall call, Object[] args, boolean logOnly) throws KeyboardException {
        try {
            call.call(bridges, args);
        } catch (KeyboardException e) {
            if (!logOnly) {
                throw e;
            }
            Diagnostics.logLayer(900, Keyboard.class.getName(), "reconnect", "made again after a reconnection: "
                    + e.getMessage(), null);
        }
    }

    /** A call on the connected keyboard; a registration that succeeds goes into the journal. */
    long call(NativeCall call, Object[] args) throws KeyboardException {
        long value = call.call(bridges, args);
        journal.record(call, args);
        return value;
    }

    /**
     * Lets go of both bridges, hot keys first; {@code listenerToo} takes the listener off before. Finding
     * nothing to let go of is fine here; other failures are logged.
     */
    void release(boolean listenerToo) {
        if (hotKeys && listenerToo) {
            quietly(NativeCall.UNREGISTER_ALL_LISTENER);
        }
        if (hotKeys) {
            quietly(NativeCall.HOT_KEY_CLEANUP);
        }
        if (tones) {
            quietly(NativeCall.TONE_CLEANUP);
        }
    }

    private void quietly(NativeCall call) {
        try {
            call.call(bridges, new Object[0]);
        } catch (KeyboardException e) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "close", "letting go: " + e.getMessage(), null);
        } catch (RuntimeException | LinkageError e) {
            // A bridge that throws must not keep the rest of the let-go, and the slot, from happening.
            Diagnostics.logLayer(900, Keyboard.class.getName(), "close", "letting go: " + e, e);
        }
    }
}
