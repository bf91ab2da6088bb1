package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.internal.NativeLibraryLoader;
import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import com.morvane.quorlink.services.keyboard.ChordGate;
import com.morvane.quorlink.services.keyboard.HotKeyListener;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Executor;

/**
 * The keyboard: its tones and its hot keys, open until {@link #close()}.
 *
 * <pre>
 * try (Keyboard keyboard = Keyboard.builder().handler(myHandler).open()) {
 *     keyboard.play(Tone.BELL);
 *     keyboard.register(7, 2, 300);
 *     ...
 * }
 * </pre>
 *
 * <p>Threads: every method may be called from any thread, a handler's included. All native calls run on
 * one daemon thread of the object ("quorlink-keyboard-calls"), one at a time, so the caller's thread
 * never enters a COM apartment (a caller already in the multithreaded apartment works) and calls never
 * overlap; each waits at most the call timeout (15 s by default) and then fails with
 * {@link Reason#TIMEOUT}. Events reach the {@link HotKeyHandler} off the keyboard's thread, in order,
 * through a bounded queue. The libraries keep one state per process: one keyboard object of the real
 * keyboard may be open at a time.
 *
 * <p>Detachment: with reconnection on (the default), a detached keyboard is let go and opened again,
 * first after 1 s and then at doubling intervals up to 30 s, until that works or the object is closed;
 * then the hot-key registrations made through this object since its last {@link #unregisterAll()} are
 * made again in their order, and the handler sees {@link State#CONNECTED}. Calls in between fail with
 * {@link Reason#NOT_OPEN}.
 */
public final class Keyboard implements AutoCloseable {
    /** Where a keyboard object stands; each change reaches {@link HotKeyHandler#onStateChange}. */
    public enum State {
        /** Open and usable. */
        CONNECTED,
        /** The keyboard was detached. */
        DETACHED,
        /** Trying to open the keyboard again after a detachment. */
        RECONNECTING,
        /** Closed for good. */
        CLOSED
    }

    /** How a keyboard object is made: which bridges, its handler and executor, its reconnection. */
    public static final class Builder {
        private final Bridges bridges;
        private boolean tones = true;
        private boolean hotKeys = true;
        private HotKeyHandler handler;
        private Executor executor;
        private int queueCapacity = 10000;
        private boolean reconnect = true;
        private long firstDelayMs = 1000;
        private long maxDelayMs = 30000;
        private long callTimeoutMs = 15000;

        Builder(Bridges bridges) {
            this.bridges = bridges;
        }

        /**
         * Whether to open the tones (TonePort); on by default.
         *
         * @param on whether to
         * @return this builder
         */
        public Builder tones(boolean on) {
            tones = on;
            return this;
        }

        /**
         * Whether to open the hot keys (ChordGate); on by default.
         *
         * @param on whether to
         * @return this builder
         */
        public Builder hotKeys(boolean on) {
            hotKeys = on;
            return this;
        }

        /**
         * Who receives the hot keys, failures, detachments and state changes; none by default.
         *
         * @param handler the handler, or null
         * @return this builder
         */
        public Builder handler(HotKeyHandler handler) {
            this.handler = handler;
            return this;
        }

        /**
         * Where the handler's methods run; by default one daemon thread of the object
         * ("quorlink-keyboard-events"). Each event is handed over once the previous one's method has
         * returned, so any executor keeps the order, a direct one ({@code Runnable::run}) included.
         *
         * @param executor the executor, or null for the default
         * @return this builder
         */
        public Builder executor(Executor executor) {
            this.executor = executor;
            return this;
        }

        /**
         * How many hot-key events may wait for the handler; 10,000 by default. Beyond that the newest is
         * dropped and counted ({@link Keyboard#droppedEvents()}).
         *
         * @param capacity at least 1
         * @return this builder
         * @throws IllegalArgumentException when it is less than 1
         */
        public Builder queueCapacity(int capacity) {
            queueCapacity = (int) atLeastOne(capacity, "queue capacity");
            return this;
        }

        /**
         * Whether a detached keyboard is opened again by itself; on by default.
         *
         * @param on whether to
         * @return this builder
         */
        public Builder reconnect(boolean on) {
            reconnect = on;
            return this;
        }

        /**
         * The wait before the first attempt to open a detached keyboard again, doubled after each failed
         * attempt up to the most; 1 s and 30 s by default.
         *
         * @param firstMillis the first wait, at least 1
         * @param maxMillis the longest wait, at least the first
         * @return this builder
         * @throws IllegalArgumentException when the values are out of order
         */
        public Builder reconnectDelays(long firstMillis, long maxMillis) {
            if (firstMillis < 1 || maxMillis < firstMillis) {
                throw new IllegalArgumentException("reconnect delays " + firstMillis + ", " + maxMillis);
            }
            firstDelayMs = firstMillis;
            maxDelayMs = maxMillis;
            return this;
        }

        /**
         * How long a call waits for its native call; 15 s by default (a start-up takes up to 10 s).
         *
         * @param millis at least 1
         * @return this builder
         * @throws IllegalArgumentException when it is less than 1
         */
        public Builder callTimeout(long millis) {
            callTimeoutMs = atLeastOne(millis, "call timeout");
            return this;
        }

        private static long atLeastOne(long value, String what) {
            if (value < 1) {
                throw new IllegalArgumentException(what + " " + value);
            }
            return value;
        }

        /**
         * Opens the keyboard: the tones, then the hot keys with the object's listener. The handler sees
         * {@link State#CONNECTED} first.
         *
         * @return the open keyboard object
         * @throws KeyboardException when a bridge cannot be opened (what was opened is let go again), when
         *     the platform is not served, or when another keyboard object is open
         */
        public Keyboard open() throws KeyboardException {
            if (bridges.processWide() && !NativeLibraryLoader.isSupported()) {
                throw new KeyboardException("Keyboard.open", Reason.UNSUPPORTED, 0, NativeLibraryLoader.unsupportedReason());
            }
            Keyboard keyboard = new Keyboard(this);
            keyboard.claim();
            try {
                keyboard.connect(false);
            } catch (KeyboardException e) {
                keyboard.shutDown(false);
                throw e;
            }
            keyboard.setState(State.CONNECTED);
            return keyboard;
        }
    }

    private static final Object PROCESS_SLOT = new Object();
    private static Keyboard openInProcess;  // guarded by PROCESS_SLOT

    private static final int REGISTER = 0;
    private static final int UNREGISTER = 1;

    private final Bridges bridges;
    private final boolean tones;
    private final boolean hotKeys;
    private final boolean reconnect;
    private final long firstDelayMs;
    private final long maxDelayMs;
    private final long callTimeoutMs;
    private final CallThread calls;
    private final EventDispatcher events;  // null without hot keys
    private final HotKeyListener listener = new Listener();
    private final List<int[]> registrations = new ArrayList<int[]>();  // guarded by itself
    private final Object reconnection = new Object();
    private Thread reconnector;      // guarded by reconnection
    private boolean detachPending;   // guarded by reconnection
    private volatile State state = State.CONNECTED;
    private volatile boolean closed;

    private Keyboard(Builder builder) {
        bridges = builder.bridges;
        tones = builder.tones;
        hotKeys = builder.hotKeys;
        reconnect = builder.reconnect;
        firstDelayMs = builder.firstDelayMs;
        maxDelayMs = builder.maxDelayMs;
        callTimeoutMs = builder.callTimeoutMs;
        calls = new CallThread("quorlink-keyboard-calls");
        HotKeyHandler handler = builder.handler != null ? builder.handler : new HotKeyHandler.Adapter() {
        };
        events = hotKeys ? new EventDispatcher(handler, builder.executor, builder.queueCapacity,
                "quorlink-keyboard-events") : null;
    }

    /**
     * A builder for the real keyboard, through the jar's DLLs.
     *
     * @return a new builder, with tones and hot keys on
     */
    public static Builder builder() {
        return new Builder(new NativeBridges());
    }

    /**
     * Opens the real keyboard's tones and hot keys, with no handler.
     *
     * @return the open keyboard object
     * @throws KeyboardException as {@link Builder#open()}
     */
    public static Keyboard open() throws KeyboardException {
        return builder().open();
    }

    /**
     * Whether this JVM can use the keyboard's libraries at all (Windows, 32-bit or 64-bit x86); needs no
     * native code and loads nothing.
     *
     * @return true on a platform the jar serves
     */
    public static boolean isSupported() {
        return NativeLibraryLoader.isSupported();
    }

    /**
     * Why this JVM cannot use the keyboard's libraries, naming its OS and architecture.
     *
     * @return the reason, or null when {@link #isSupported()}
     */
    public static String unsupportedReason() {
        return NativeLibraryLoader.unsupportedReason();
    }

    /**
     * Whether the keyboard's driver has entered the keyboard in the registry; false on a platform the jar
     * does not serve or when the library cannot be loaded. Opens nothing.
     *
     * @return true when the driver is installed
     */
    public static boolean driverInstalled() {
        if (!isSupported()) {
            return false;
        }
        try {
            return ChordGate.IsKeyboardDriverInstalled() == 1;
        } catch (LinkageError e) {
            return false;
        }
    }

    /**
     * Plays a tone and returns once the keyboard has.
     *
     * @param tone the tone
     * @throws KeyboardException {@link Reason#NOT_PLAYED} when the keyboard did not play it, or another
     *     reason when the call could not be made
     */
    public void play(final Tone tone) throws KeyboardException {
        String operation = "TonePort." + tone.nativeMethod();
        requireOpen(operation, tones, "tones");
        check(NativeCall.PLAY, operation, call(operation, new CallThread.Call() {
            @Override
            public long run() {
                return bridges.play(tone);
            }
        }));
    }

    /**
     * Plays a tone, for callers that do not care why it was not played.
     *
     * @param tone the tone
     * @return true when the keyboard played it
     */
    public boolean tryPlay(Tone tone) {
        try {
            play(tone);
            return true;
        } catch (KeyboardException e) {
            return false;
        }
    }

    /**
     * Registers a hot key; the three values go to the keyboard unchanged.
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @param third the keyboard's third value
     * @return the keyboard's HRESULT, 0 or another success value
     * @throws KeyboardException {@link Reason#KEYBOARD_REFUSED} with the HRESULT for a negative one,
     *     {@link Reason#NOT_OPEN} while reconnecting, or another reason when the call could not be made
     */
    public long register(final int first, final int second, final int third) throws KeyboardException {
        return hotKeyCall(NativeCall.REGISTER_STANDARD, new int[] {REGISTER, first, second, third},
                new CallThread.Call() {
                    @Override
                    public long run() {
                        return bridges.registerStandard(first, second, third);
                    }
                });
    }

    /**
     * Unregisters a hot key; the two values go to the keyboard unchanged.
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @return the keyboard's HRESULT, 0 or another success value
     * @throws KeyboardException {@link Reason#KEYBOARD_REFUSED} with the HRESULT for a negative one, or
     *     another reason when the call could not be made
     */
    public long unregister(final int first, final int second) throws KeyboardException {
        return hotKeyCall(NativeCall.UNREGISTER_HOT, new int[] {UNREGISTER, first, second, 0}, new CallThread.Call() {
            @Override
            public long run() {
                return bridges.unregisterHot(first, second);
            }
        });
    }

    /**
     * Unregisters every hot key; a later reconnection makes none of the earlier registrations again.
     *
     * @return the keyboard's HRESULT, 0 or another success value
     * @throws KeyboardException {@link Reason#KEYBOARD_REFUSED} with the HRESULT for a negative one, or
     *     another reason when the call could not be made
     */
    public long unregisterAll() throws KeyboardException {
        return hotKeyCall(NativeCall.UNREGISTER_ALL_HOT, null, new CallThread.Call() {
            @Override
            public long run() {
                return bridges.unregisterAllHot();
            }
        });
    }

    /**
     * Where this object stands.
     *
     * @return the state
     */
    public State state() {
        return state;
    }

    /**
     * How many hot-key events were dropped because the handler's queue was full.
     *
     * @return the count since the object was opened
     */
    public long droppedEvents() {
        return events == null ? 0 : events.dropped();
    }

    /**
     * Lets go of the keyboard: no handler call starts after the handler has seen {@link State#CLOSED}.
     * Idempotent; safe from any thread, a handler method included; waits at most the call timeout in all,
     * and ends a reconnection at once.
     */
    @Override
    public void close() {
        if (closed) {
            return;
        }
        synchronized (this) {
            if (closed) {
                return;
            }
            closed = true;
        }
        synchronized (reconnection) {
            if (reconnector != null) {
                reconnector.interrupt();
            }
        }
        shutDown(true);
    }

    private void shutDown(boolean wasOpen) {
        closed = true;
        long deadline = System.nanoTime() + callTimeoutMs * 1000000L;
        if (hotKeys) {
            quietly(NativeCall.UNREGISTER_ALL_LISTENER, deadline, new CallThread.Call() {
                @Override
                public long run() {
                    return bridges.unregisterAllListener();
                }
            });
        }
        releaseBridges(deadline);
        calls.stop();
        state = State.CLOSED;
        if (events != null) {
            if (wasOpen) {
                events.stateChange(State.CLOSED);
            }
            events.stop();
        }
        synchronized (PROCESS_SLOT) {
            if (openInProcess == this) {
                openInProcess = null;
            }
        }
    }

    // The hot keys' and the tones' clean-ups, in that order, within the deadline.
    private void releaseBridges(long deadline) {
        if (hotKeys) {
            quietly(NativeCall.HOT_KEY_CLEANUP, deadline, new CallThread.Call() {
                @Override
                public long run() {
                    return bridges.hotKeyCleanup();
                }
            });
        }
        if (tones) {
            quietly(NativeCall.TONE_CLEANUP, deadline, new CallThread.Call() {
                @Override
                public long run() {
                    return bridges.toneCleanup();
                }
            });
        }
    }

    // A let-go that is allowed to find nothing to let go of; it waits only what is left of the deadline.
    private void quietly(NativeCall what, long deadline, CallThread.Call call) {
        long left = Math.max(1, (deadline - System.nanoTime()) / 1000000L);
        try {
            calls.call(what.operation, call, left);
        } catch (KeyboardException e) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "close", "letting go: " + e.getMessage(), null);
        }
    }

    private void claim() throws KeyboardException {
        if (!bridges.processWide()) {
            return;
        }
        synchronized (PROCESS_SLOT) {
            if (openInProcess != null) {
                calls.stop();
                if (events != null) {
                    events.stop();
                }
                throw new KeyboardException("Keyboard.open", Reason.ALREADY_OPEN, 0, "close it first");
            }
            openInProcess = this;
        }
    }

    /** Opens the bridges, and on a reconnection makes the recorded registrations again. */
    private void connect(boolean again) throws KeyboardException {
        if (tones) {
            check(NativeCall.TONE_INIT, NativeCall.TONE_INIT.operation, call(NativeCall.TONE_INIT.operation,
                    new CallThread.Call() {
                        @Override
                        public long run() {
                            return bridges.toneInit();
                        }
                    }));
        }
        if (!hotKeys) {
            return;
        }
        check(NativeCall.HOT_KEY_INIT, NativeCall.HOT_KEY_INIT.operation, call(NativeCall.HOT_KEY_INIT.operation,
                new CallThread.Call() {
                    @Override
                    public long run() {
                        return bridges.hotKeyInit();
                    }
                }));
        check(NativeCall.REGISTER_LISTENER, NativeCall.REGISTER_LISTENER.operation,
                call(NativeCall.REGISTER_LISTENER.operation, new CallThread.Call() {
                    @Override
                    public long run() {
                        return bridges.registerListener(listener);
                    }
                }));
        if (again) {
            replayRegistrations();
        }
    }

    private void replayRegistrations() throws KeyboardException {
        List<int[]> made;
        synchronized (registrations) {
            made = new ArrayList<int[]>(registrations);
        }
        for (final int[] op : made) {
            NativeCall what = op[0] == REGISTER ? NativeCall.REGISTER_STANDARD : NativeCall.UNREGISTER_HOT;
            long value = call(what.operation, new CallThread.Call() {
                @Override
                public long run() {
                    return op[0] == REGISTER ? bridges.registerStandard(op[1], op[2], op[3])
                            : bridges.unregisterHot(op[1], op[2]);
                }
            });
            if (what.reason(value) != null) {
                Diagnostics.logLayer(900, Keyboard.class.getName(), "reconnect", "made again after a reconnection: "
                        + what.failure(what.operation, value).getMessage(), null);
            }
        }
    }

    private long hotKeyCall(NativeCall what, int[] op, CallThread.Call call) throws KeyboardException {
        requireOpen(what.operation, hotKeys, "hot keys");
        long value = check(what, what.operation, call(what.operation, call));
        synchronized (registrations) {
            if (op == null) {
                registrations.clear();
            } else {
                registrations.add(op);
            }
        }
        return value;
    }

    private void requireOpen(String operation, boolean bridgeOpened, String bridge) throws KeyboardException {
        if (closed) {
            throw new KeyboardException(operation, Reason.CLOSED, 0, null);
        }
        if (!bridgeOpened) {
            throw new KeyboardException(operation, Reason.NOT_OPEN, 0, "this keyboard object was opened without "
                    + bridge);
        }
    }

    private long call(String operation, CallThread.Call call) throws KeyboardException {
        return calls.call(operation, call, callTimeoutMs);
    }

    private static long check(NativeCall what, String operation, long value) throws KeyboardException {
        if (what.reason(value) != null) {
            throw what.failure(operation, value);
        }
        return value;
    }

    private void setState(State next) {
        if (closed && next != State.CLOSED) {
            return;
        }
        state = next;
        if (events != null) {
            events.stateChange(next);
        }
    }

    static long nextDelay(long delay, long max) {
        return delay >= max / 2 ? max : delay * 2;
    }

    // The keyboard's thread calls these: they only queue, and wake the reconnection.
    private final class Listener implements HotKeyListener {
        @Override
        public void HotKeyHit(long first, long second, long third) {
            events.hotKey(new HotKeyEvent(first, second, third));
        }

        @Override
        public void KBFailed() {
            events.keyboardFailed();
        }

        @Override
        public void KBDetached() {
            events.detached();
            detached();
        }
    }

    private void detached() {
        if (closed) {
            return;
        }
        if (!reconnect) {
            setState(State.DETACHED);
            return;
        }
        synchronized (reconnection) {
            detachPending = true;
            if (reconnector == null) {
                reconnector = new Thread(new Runnable() {
                    @Override
                    public void run() {
                        reconnectWhileDetached();
                    }
                }, "quorlink-keyboard-reconnect");
                reconnector.setDaemon(true);
                reconnector.start();
            }
            reconnection.notifyAll();
        }
    }

    private void reconnectWhileDetached() {
        try {
            while (!closed) {
                synchronized (reconnection) {
                    while (!detachPending) {
                        reconnection.wait();
                    }
                    detachPending = false;
                }
                setState(State.DETACHED);
                letGo();
                setState(State.RECONNECTING);
                for (long delay = firstDelayMs; ; delay = nextDelay(delay, maxDelayMs)) {
                    Thread.sleep(delay);
                    try {
                        connect(true);
                        setState(State.CONNECTED);
                        break;
                    } catch (KeyboardException e) {
                        if (e.reason() == Reason.INTERRUPTED || e.reason() == Reason.CLOSED) {
                            return;
                        }
                        Diagnostics.logLayer(800, Keyboard.class.getName(), "reconnect",
                                "the keyboard is not back yet: " + e.getMessage(), null);
                        letGo();
                    }
                }
            }
        } catch (InterruptedException e) {
            // close() ends the reconnection.
        }
    }

    // What a detached or half-opened keyboard still holds; "nothing to clean up" is fine here.
    private void letGo() throws InterruptedException {
        releaseBridges(System.nanoTime() + callTimeoutMs * 1000000L);
        if (Thread.interrupted()) {
            throw new InterruptedException();
        }
    }
}
