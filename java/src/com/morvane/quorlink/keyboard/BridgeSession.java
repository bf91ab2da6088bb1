package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.services.keyboard.HotKeyListener;
import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

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
    private final List<HotKey> declared;
    private final Journal journal = new Journal();
    // The keys registered through this object now, by their first two values, in order; written on the
    // call thread, published as an unmodifiable copy for any thread.
    private final Map<Long, HotKey> registered = new LinkedHashMap<Long, HotKey>();
    private volatile List<HotKey> registrations = Collections.emptyList();
    private volatile String running;  // the native call in progress, for a close() that gave up waiting

    /** {@code declared} is the builder's list: copied, so that a later {@code hotKey} does not reach this object. */
    BridgeSession(Bridges bridges, boolean tones, boolean hotKeys, HotKeyListener listener, List<HotKey> declared) {
        this.bridges = bridges;
        this.tones = tones;
        this.hotKeys = hotKeys;
        this.listener = listener;
        this.declared = Collections.unmodifiableList(new ArrayList<HotKey>(declared));
    }

    /** The native call in progress now, by its name, or null. */
    String running() {
        return running;
    }

    // Every native call of the session goes through here, so that a close() that gives up can name it.
    private long invoke(NativeCall call, Object[] args) throws KeyboardException {
        running = call.operation(args);
        try {
            return call.call(bridges, args);
        } finally {
            running = null;
        }
    }

    /** The hot keys registered through this object, declared ones included, in the order they were made. */
    List<HotKey> registrations() {
        return registrations;
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
            invoke(NativeCall.TONE_INIT, new Object[0]);
        }
        if (!hotKeys) {
            return;
        }
        invoke(NativeCall.HOT_KEY_INIT, new Object[0]);
        invoke(NativeCall.REGISTER_LISTENER, new Object[] {listener});
        registered.clear();
        publish();
        for (HotKey key : declared) {
            registerAgain(NativeCall.REGISTER_STANDARD, new Object[] {key.first(), key.second(), key.third()}, again);
        }
        if (again) {
            for (Journal.Entry entry : journal.entries()) {
                registerAgain(entry.call, entry.args, true);
            }
        }
    }

    private void registerAgain(NativeCall call, Object[] args, boolean logOnly) throws KeyboardException {
        try {
            invoke(call, args);
            note(call, args);
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
        long value = invoke(call, args);
        journal.record(call, args);
        note(call, args);
        return value;
    }

    private void note(NativeCall call, Object[] args) {
        if (call == NativeCall.UNREGISTER_ALL_HOT) {
            registered.clear();
        } else if (call == NativeCall.REGISTER_STANDARD || call == NativeCall.UNREGISTER_HOT) {
            int first = (Integer) args[0];
            int second = (Integer) args[1];
            Long id = ((long) first << 32) | (second & 0xFFFFFFFFL);
            registered.remove(id);  // a registration of a key again goes to the end, as made last
            if (call == NativeCall.REGISTER_STANDARD) {
                registered.put(id, HotKey.of(first, second, (Integer) args[2]));
            }
        } else {
            return;
        }
        publish();
    }

    private void publish() {
        registrations = Collections.unmodifiableList(new ArrayList<HotKey>(registered.values()));
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
            invoke(call, new Object[0]);
        } catch (KeyboardException e) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "close", "letting go: " + e.getMessage(), null);
        } catch (RuntimeException | LinkageError e) {
            // A bridge that throws must not keep the rest of the let-go, and the slot, from happening.
            Diagnostics.logLayer(900, Keyboard.class.getName(), "close", "letting go: " + e, e);
        }
    }
}
