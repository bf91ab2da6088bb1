package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.NativeLibraryLoader;
import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import com.morvane.quorlink.services.keyboard.ChordGate;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Executor;
import java.util.concurrent.TimeUnit;

/**
 * The keyboard: its tones and its hot keys, open until {@link #close()}.
 *
 * <pre>
 * try (Keyboard keyboard = Keyboard.builder().handler(event -&gt; System.out.println(event)).open()) {
 *     keyboard.play(Tone.BELL);
 *     keyboard.register(HotKey.of(7, 2, 300));
 *     ...
 * }
 * </pre>
 *
 * <p>Threads: every method may be called from any thread, a handler's included. All native calls run on
 * one daemon thread of the object ("quorlink-keyboard-calls"), one at a time, so the caller's thread never
 * enters a COM apartment and calls never overlap; each waits at most the call timeout (15 s by default)
 * and then fails with {@link Reason#TIMEOUT}. The object's state, its journal of registrations and its
 * reconnection live on that thread too. Events reach the {@link HotKeyHandler} off the keyboard's thread,
 * in order, through a bounded queue, never before {@link Builder#open()} has returned; no handler method
 * runs under a lock of the library. The libraries keep one state per process: one keyboard object of the
 * real keyboard may be open at a time.
 *
 * <p>Detachment: while the keyboard is {@link State#DETACHED} or {@link State#RECONNECTING}, {@link #play},
 * {@link #register}, {@link #unregister} and {@link #unregisterAll} fail at once with {@link Reason#DETACHED}
 * and make no native call.
 *
 * <p>Time-outs and interrupts: a call that fails with {@link Reason#TIMEOUT} or {@link Reason#INTERRUPTED}
 * before its native call started is withdrawn and never runs. One whose native call had started (the
 * exception's message says which) may still complete after the caller gave up, and then takes effect:
 * a registration made so is kept and made again at a reconnection; a withdrawn one is not. With reconnection on (the default), a detached keyboard is let go and opened
 * again, first after 1 s and then at doubling intervals up to 30 s, until that works or the object is
 * closed; then the hot keys declared with {@link Builder#hotKey} and the registrations made through this
 * object since its last {@link #unregisterAll()} are made again in their order, and the handler sees
 * {@link State#CONNECTED}.
 */
public final class Keyboard implements AutoCloseable {
    /** Where a keyboard object stands; each change reaches {@link HotKeyHandler#onStateChange}, in order. */
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
        final Bridges bridges;
        boolean tones = true;
        boolean hotKeys = true;
        HotKeyHandler handler;
        Executor executor;
        Thread.UncaughtExceptionHandler handlerErrors;
        int queueCapacity = 10000;
        boolean reconnect = true;
        boolean awaitKeyboard;
        long firstDelayMs = 1000;
        long maxDelayMs = 30000;
        long callTimeoutMs = 15000;
        final List<HotKey> declared = new ArrayList<HotKey>();
        Thread.UncaughtExceptionHandler keptErrors;  // a simulation's: where handler errors go by default

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
         * Who receives the hot keys, failures and state changes; none by default. A lambda serves for the
         * hot keys alone: {@code handler(event -> ...)}.
         *
         * @param handler the handler, or null
         * @return this builder
         */
        public Builder handler(HotKeyHandler handler) {
            this.handler = handler;
            return this;
        }

        /**
         * Who receives what a handler method throws; by default the delivering thread's
         * {@link Thread#getUncaughtExceptionHandler()}, whose JDK default prints it, or, over a
         * {@link SimulatedKeyboard}, the simulation, which throws it from its next {@code awaitIdle} or
         * {@code close}. Delivery goes on.
         *
         * @param errors the receiver, or null for the default
         * @return this builder
         */
        public Builder handlerErrors(Thread.UncaughtExceptionHandler errors) {
            handlerErrors = errors;
            return this;
        }

        /**
         * Where the handler's methods run; by default one daemon thread of the object
         * ("quorlink-keyboard-events"). With an executor the object starts no thread for events: it hands
         * the executor one task at a time, which delivers what is queued, in order, so any executor keeps
         * the order, a direct one ({@code Runnable::run}) included. A direct executor runs the handler on
         * the thread that handed the event over: the keyboard's own thread for hot keys and failures, the
         * object's call thread for state changes. A handler that takes its time then holds those up
         * (later hot keys wait in the keyboard, native calls wait for the handler), so it suits quick
         * handlers and tests only. When {@code execute} refuses or throws,
         * the hot keys waiting are dropped and counted ({@link Keyboard#droppedEvents()}), said once
         * through the logger, and later events are handed over again.
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
         * attempt up to the most; 1 s and 30 s by default. A wait shorter than a millisecond counts as one;
         * a very long one saturates.
         *
         * @param first the first wait, more than 0
         * @param max the longest wait, at least the first
         * @param unit the unit of both
         * @return this builder
         * @throws IllegalArgumentException when the first is not positive or the values are out of order
         */
        public Builder reconnectDelays(long first, long max, TimeUnit unit) {
            if (first < 1 || max < first) {
                throw new IllegalArgumentException("reconnect delays " + first + ", " + max + " " + unit);
            }
            firstDelayMs = millis(first, unit);
            maxDelayMs = millis(max, unit);
            return this;
        }

        /**
         * Whether {@link #open()} returns a keyboard object in {@link State#DETACHED} instead of throwing
         * when the keyboard is absent ({@link Reason#KEYBOARD_ABSENT}) or its component cannot be created
         * yet ({@link Reason#NOT_INSTALLED}); the reconnection (on for such an object whatever
         * {@link #reconnect}) then reports {@link State#RECONNECTING} at its first attempt and connects it
         * when the keyboard arrives. Off by default.
         *
         * @param on whether to
         * @return this builder
         */
        public Builder awaitKeyboard(boolean on) {
            awaitKeyboard = on;
            return this;
        }

        /**
         * Declares a hot key registered on every connection, the first included, before the registrations
         * that a reconnection makes again. On the first connection a refusal fails {@link #open()}; on a
         * later one it is logged, and the connection stands. Needs the hot keys on. A keyboard object keeps
         * the hot keys declared when it was opened: later declarations reach only later objects.
         *
         * @param first the keyboard's first value
         * @param second the keyboard's second value
         * @param third the keyboard's third value
         * @return this builder
         */
        public Builder hotKey(int first, int second, int third) {
            return hotKey(HotKey.of(first, second, third));
        }

        /**
         * Declares a hot key, as {@link #hotKey(int, int, int)}.
         *
         * @param key the hot key
         * @return this builder
         * @throws NullPointerException when it is null
         */
        public Builder hotKey(HotKey key) {
            if (key == null) {
                throw new NullPointerException("key");
            }
            declared.add(key);
            return this;
        }

        /**
         * How long a call waits for its native call, and {@link Keyboard#close()} for its clean-up and the
         * handler; 15 s by default (a start-up takes up to 10 s). Any positive value works,
         * {@code Long.MAX_VALUE} days included (it saturates); less than a millisecond counts as one.
         *
         * @param timeout more than 0
         * @param unit its unit
         * @return this builder
         * @throws IllegalArgumentException when it is not positive
         */
        public Builder callTimeout(long timeout, TimeUnit unit) {
            callTimeoutMs = millis(atLeastOne(timeout, "call timeout " + unit), unit);
            return this;
        }

        private static long atLeastOne(long value, String what) {
            if (value < 1) {
                throw new IllegalArgumentException(what + " " + value);
            }
            return value;
        }

        // A positive duration in whole milliseconds, at least 1; TimeUnit saturates at Long.MAX_VALUE.
        private static long millis(long value, TimeUnit unit) {
            return Math.max(1, unit.toMillis(value));
        }

        /**
         * Opens the keyboard: the tones, then the hot keys with the object's listener and the declared hot
         * keys. The handler sees {@link State#CONNECTED} first, once this method has returned; it waits at
         * most the call timeout for each native call, and for a previous keyboard object still letting go.
         *
         * @return the open keyboard object
         * @throws KeyboardException when a bridge cannot be opened (what was opened is let go again), when
         *     the platform is not served, or when another keyboard object is open or still letting go
         *     ({@link Reason#ALREADY_OPEN})
         * @throws IllegalStateException when the options contradict each other: neither tones nor hot keys,
         *     or hot keys declared with the hot keys off
         */
        public Keyboard open() throws KeyboardException {
            if (!tones && !hotKeys) {
                throw new IllegalStateException("tones(false) and hotKeys(false): the keyboard object would hold nothing");
            }
            if (!hotKeys && !declared.isEmpty()) {
                throw new IllegalStateException("hotKeys(false) with hot keys declared: " + declared);
            }
            if (bridges.isNative() && !NativeLibraryLoader.isSupported()) {
                throw new KeyboardException("Keyboard.open", Reason.UNSUPPORTED, 0, NativeLibraryLoader.unsupportedReason());
            }
            Keyboard keyboard = new Keyboard(this);
            keyboard.layer.open();
            return keyboard;
        }
    }

    private final KeyboardLayer layer;

    private Keyboard(Builder builder) {
        layer = new KeyboardLayer(this, builder);
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
     * @throws KeyboardException {@link Reason#NOT_PLAYED} when the keyboard did not play it,
     *     {@link Reason#DETACHED} while detached, or another reason when the call could not be made
     */
    public void play(Tone tone) throws KeyboardException {
        layer.command(NativeCall.PLAY, tone);
    }

    /**
     * Plays a tone, for callers that do not care why it was not played.
     *
     * @param tone the tone
     * @return true when the keyboard played it; false while detached, without a native call
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
     * Registers a hot key; the three values are the keyboard's own and go to it unchanged. A registration
     * of a key already registered (the same first two values) replaces it.
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @param third the keyboard's third value
     * @return the keyboard's HRESULT, 0 or another success value (1, S_FALSE, included)
     * @throws KeyboardException {@link Reason#KEYBOARD_REFUSED} with the HRESULT for a negative one,
     *     {@link Reason#DETACHED} while detached, or another reason when the call could not be made
     */
    public long register(int first, int second, int third) throws KeyboardException {
        return layer.command(NativeCall.REGISTER_STANDARD, first, second, third);
    }

    /**
     * Registers a hot key, as {@link #register(int, int, int)}.
     *
     * @param key the hot key
     * @return the keyboard's HRESULT, 0 or another success value (1, S_FALSE, included)
     * @throws KeyboardException as {@link #register(int, int, int)}
     */
    public long register(HotKey key) throws KeyboardException {
        return register(key.first(), key.second(), key.third());
    }

    /**
     * Unregisters a hot key, which the keyboard identifies by its first two values; they go to it unchanged.
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @return the keyboard's HRESULT, 0 or another success value
     * @throws KeyboardException {@link Reason#KEYBOARD_REFUSED} with the HRESULT for a negative one,
     *     {@link Reason#DETACHED} while detached, or another reason when the call could not be made
     */
    public long unregister(int first, int second) throws KeyboardException {
        return layer.command(NativeCall.UNREGISTER_HOT, first, second);
    }

    /**
     * Unregisters a hot key by its first two values, as {@link #unregister(int, int)}; the third does not
     * count.
     *
     * @param key the hot key
     * @return the keyboard's HRESULT, 0 or another success value
     * @throws KeyboardException as {@link #unregister(int, int)}
     */
    public long unregister(HotKey key) throws KeyboardException {
        return unregister(key.first(), key.second());
    }

    /**
     * The hot keys registered through this object now, the declared ones included, in the order they were
     * made: what a reconnection makes again. Calls that failed, or were withdrawn, are not in it.
     * Makes no native call.
     *
     * @return an unmodifiable snapshot
     */
    public List<HotKey> registrations() {
        return layer.registrations();
    }

    /**
     * Unregisters every hot key; a later reconnection makes none of the earlier registrations again (the
     * declared hot keys still are).
     *
     * @return the keyboard's HRESULT, 0 or another success value
     * @throws KeyboardException {@link Reason#KEYBOARD_REFUSED} with the HRESULT for a negative one,
     *     {@link Reason#DETACHED} while detached, or another reason when the call could not be made
     */
    public long unregisterAll() throws KeyboardException {
        return layer.command(NativeCall.UNREGISTER_ALL_HOT);
    }

    /**
     * Where this object stands; {@link State#CLOSED} from the moment {@link #close()} is called.
     *
     * @return the state
     */
    public State state() {
        return layer.state();
    }

    /**
     * Waits until this object is in {@code state}, as {@link #state()} tells; {@link State#CLOSED} comes
     * with the call of {@link #close()}.
     *
     * @param state the state to wait for
     * @param timeout how long to wait at most
     * @param unit the unit of {@code timeout}
     * @return true once it is, false when the time ran out first
     * @throws InterruptedException when the waiting thread is interrupted
     */
    public boolean awaitState(State state, long timeout, TimeUnit unit) throws InterruptedException {
        if (state == null) {
            throw new NullPointerException("state");
        }
        return layer.awaitState(state, CallThread.deadline(unit.toMillis(timeout)));
    }

    /**
     * How many hot-key events were dropped: the handler's queue was full, the executor did not take them,
     * or {@link #close()} was called from a handler before they started.
     *
     * @return the count since the object was opened
     */
    public long droppedEvents() {
        return layer.droppedEvents();
    }

    /**
     * Lets go of the keyboard, as a fence. Called outside a handler, it returns once the native clean-up
     * has run, the handler has received {@link State#CLOSED} (after the events queued before it) and no
     * handler method runs or will start; with an executor, the last task handed to it has finished. It
     * waits at most the call timeout in all, then returns and logs what is still running. An interrupt
     * does not shorten the wait: it returns with the thread's interrupt flag set again. Called from a
     * handler method, it does not wait for that method, and no handler call starts after it (not even
     * {@link State#CLOSED}: the handler closed the keyboard itself).
     * Idempotent; ends a reconnection at once. The process slot stays taken until the clean-up has run.
     */
    @Override
    public void close() {
        layer.close();
    }
}
