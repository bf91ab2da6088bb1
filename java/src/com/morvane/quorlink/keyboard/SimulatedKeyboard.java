package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.services.keyboard.HotKeyListener;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;

/**
 * A keyboard in memory, for testing code that uses {@link Keyboard} without the keyboard, its driver,
 * Windows or any native code: on any OS, in CI. It gives keyboard objects through the same API, records
 * the tones played and the hot-key calls, raises hot keys, failures and detachments as the keyboard's own
 * thread would, and can be told to fail.
 *
 * <pre>
 * try (SimulatedKeyboard simulation = new SimulatedKeyboard();
 *      Keyboard keyboard = simulation.builder().handler(handler).open()) {
 *     codeUnderTest(keyboard);               // registers 7, 2, 300
 *     simulation.hotKey(7, 2, 300);          // returns once the keyboard object has queued it
 *     assertTrue(simulation.awaitIdle(5, TimeUnit.SECONDS));   // and now the handler has run
 *     assertEquals(Arrays.asList(Tone.BELL), simulation.tonesPlayed());
 * }
 * </pre>
 *
 * <p>Like the keyboard, it reports a hot key only while a registration with the same first and second
 * value is in place ({@link #registrations()}). What a handler throws fails the test: unless the builder
 * was given {@link Keyboard.Builder#handlerErrors}, the simulation keeps it, and its next
 * {@link #awaitIdle} or {@link #close()} throws it, once.
 *
 * <p>Every method is thread-safe. One simulation serves one open keyboard object at a time, as the
 * real libraries do: a second {@code open()} fails with {@link KeyboardException.Reason#ALREADY_OPEN} while
 * the first keeps its hot keys. The simulated keyboard's thread (a daemon, started by the first raise)
 * ends with {@link #close()}.
 */
public final class SimulatedKeyboard implements AutoCloseable {
    private static final long DETACHED_HOT_KEY_INIT = -2;  // the component cannot be created
    private static final long DETACHED_TONE_INIT = -3;     // the keyboard port cannot be opened
    private static final long NOT_OPEN = 1;

    private final Object lock = new Object();
    private final List<Tone> tonesPlayed = new ArrayList<Tone>();
    private final List<String> registrationCalls = new ArrayList<String>();
    private final List<String> calls = new ArrayList<String>();
    private final Set<Thread> callingThreads = new LinkedHashSet<Thread>();
    private final ArrayDeque<Long> hotKeyInitScript = new ArrayDeque<Long>();
    private final ArrayDeque<Long> toneInitScript = new ArrayDeque<Long>();
    private final ProcessSlot slot = new ProcessSlot();
    private CallThread keyboardThread;  // started by the first raise
    private boolean closed;
    private HotKeyListener lastListener;  // the newest registered, kept for awaitIdle
    private long playResult;
    private long registrationResult;
    private long callDelayMs;
    private boolean attached = true;
    private boolean tonesOpen;
    private boolean hotKeysOpen;
    private HotKeyListener listener;
    private int hotKeyInits;
    private final Map<Long, HotKey> registered = new LinkedHashMap<Long, HotKey>();  // by the first two values
    private Throwable handlerError;  // kept for the next awaitIdle or close; later ones suppressed onto it

    /** A keyboard that is attached and answers every call with success. */
    public SimulatedKeyboard() {
    }

    /**
     * A builder of keyboard objects over this simulation, as {@link Keyboard#builder()} is for the real one.
     *
     * @return a new builder, with tones and hot keys on
     */
    public Keyboard.Builder builder() {
        Keyboard.Builder builder = new Keyboard.Builder(new Bridges() {
            @Override
            public long toneInit() {
                return SimulatedKeyboard.this.toneInit();
            }

            @Override
            public long play(Tone tone) {
                return SimulatedKeyboard.this.play(tone);
            }

            @Override
            public long toneCleanup() {
                return cleanup("TonePort.cleanup", false);
            }

            @Override
            public long hotKeyInit() {
                return SimulatedKeyboard.this.hotKeyInit();
            }

            @Override
            public long hotKeyCleanup() {
                return cleanup("ChordGate.Cleanup", true);
            }

            @Override
            public long registerListener(HotKeyListener newListener) {
                delay();
                synchronized (lock) {
                    record("ChordGate.RegisterListener");
                    listener = newListener;
                    lastListener = newListener;
                    return 0;
                }
            }

            @Override
            public long unregisterAllListener() {
                delay();
                synchronized (lock) {
                    record("ChordGate.UnregisterAllListener");
                    listener = null;
                    return 0;
                }
            }

            @Override
            public long registerStandard(long first, long second, long third) {
                return registration("register(" + (int) first + ", " + (int) second + ", " + (int) third + ")", 1,
                        HotKey.of((int) first, (int) second, (int) third), true);
            }

            @Override
            public long unregisterHot(long first, long second) {
                return registration("unregister(" + (int) first + ", " + (int) second + ")", 0,
                        HotKey.of((int) first, (int) second, 0), false);
            }

            @Override
            public long unregisterAllHot() {
                return registration("unregisterAll()", 0, null, false);
            }

            @Override
            public ProcessSlot slot() {
                return slot;
            }

            @Override
            public boolean isNative() {
                return false;
            }
        });
        builder.keptErrors = new Thread.UncaughtExceptionHandler() {
            @Override
            public void uncaughtException(Thread thread, Throwable thrown) {
                keep(thrown);
            }
        };
        return builder;
    }

    private void keep(Throwable thrown) {
        synchronized (lock) {
            if (handlerError == null) {
                if (thrown instanceof AssertionError) {
                    handlerError = thrown;
                } else {
                    // initCause: Avian's AssertionError has no (String, Throwable) constructor
                    handlerError = new AssertionError("a HotKeyHandler method threw " + thrown).initCause(thrown);
                }
            } else if (handlerError != thrown) {
                handlerError.addSuppressed(thrown);
            }
        }
    }

    // What a handler threw since the last call, once.
    private void throwHandlerError() {
        Throwable thrown;
        synchronized (lock) {
            thrown = handlerError;
            handlerError = null;
        }
        if (thrown != null) {
            throw (AssertionError) thrown;
        }
    }

    /**
     * Opens a keyboard object over this simulation with tones and hot keys and no handler.
     *
     * @return the open keyboard object
     * @throws KeyboardException as {@link Keyboard.Builder#open()}, with the scripted outcomes
     */
    public Keyboard open() throws KeyboardException {
        return builder().open();
    }

    /**
     * Presses a hot key: when a registration with the same first and second value is in place, raises it
     * as the keyboard's thread does, and returns once the keyboard object's listener has returned; as on the
     * keyboard, nothing happens for a key not registered, or while the hot keys are not open.
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @param third the keyboard's third value, passed on as given
     */
    public void hotKey(final int first, final int second, final int third) {
        raise(new Raise() {
            @Override
            public void to(HotKeyListener target) {
                boolean known;
                synchronized (lock) {
                    known = registered.containsKey(id(first, second));
                }
                if (known) {
                    target.HotKeyHit(first, second, third);
                }
            }
        });
    }

    /**
     * Presses a hot key, as {@link #hotKey(int, int, int)}.
     *
     * @param key the hot key
     */
    public void hotKey(HotKey key) {
        hotKey(key.first(), key.second(), key.third());
    }

    /**
     * The hot keys the current hot-key component has registered, in the order they were made; a
     * registration of a key again (same first two values) replaces the earlier one, and a new start-up
     * begins with none.
     *
     * @return a copy
     */
    public List<HotKey> registrations() {
        synchronized (lock) {
            return new ArrayList<HotKey>(registered.values());
        }
    }

    private static Long id(int first, int second) {
        return ((long) first << 32) | (second & 0xFFFFFFFFL);
    }

    /** Raises a keyboard failure, as {@link #hotKey} raises a hot key. */
    public void keyboardFailed() {
        raise(new Raise() {
            @Override
            public void to(HotKeyListener target) {
                target.KBFailed();
            }
        });
    }

    /**
     * Detaches the keyboard: raises the detachment, and from then on opening fails (the hot-key component
     * cannot be created, the tone port cannot be opened) until {@link #reattach()}.
     */
    public void detach() {
        synchronized (lock) {
            attached = false;
        }
        raise(new Raise() {
            @Override
            public void to(HotKeyListener target) {
                target.KBDetached();
            }
        });
    }

    /**
     * The keyboard is back: opening works again (unless scripted otherwise). A keyboard object that
     * reconnects by itself does so at its next attempt; {@link #awaitIdle} waits for it.
     */
    public void reattach() {
        synchronized (lock) {
            attached = true;
        }
    }

    /**
     * The outcomes of the next hot-key start-ups, in order ({@code ChordGate.Init}'s values: 0 ready, -2 not
     * installed, -8 no answer, ...); once spent, start-ups succeed while attached.
     *
     * @param values the values
     */
    public void scriptHotKeyInit(long... values) {
        synchronized (lock) {
            for (long value : values) {
                hotKeyInitScript.addLast(value);
            }
        }
    }

    /**
     * The outcomes of the next tone start-ups, in order ({@code TonePort.Init}'s values).
     *
     * @param values the values
     */
    public void scriptToneInit(long... values) {
        synchronized (lock) {
            for (long value : values) {
                toneInitScript.addLast(value);
            }
        }
    }

    /**
     * What every play call returns from now on: 0 played, 1 not played.
     *
     * @param value the value
     */
    public void scriptPlay(long value) {
        synchronized (lock) {
            playResult = value;
        }
    }

    /**
     * The HRESULT every hot-key registration call returns from now on (0, or a negative failure).
     *
     * @param hresult the value
     */
    public void scriptRegistration(long hresult) {
        synchronized (lock) {
            registrationResult = hresult;
        }
    }

    /**
     * How long every native call takes from now on, as a slow or hung component would.
     *
     * @param millis the time, 0 for none
     */
    public void scriptCallDelay(long millis) {
        synchronized (lock) {
            callDelayMs = millis;
        }
    }

    /**
     * The tones the keyboard played, in order.
     *
     * @return a copy
     */
    public List<Tone> tonesPlayed() {
        synchronized (lock) {
            return new ArrayList<Tone>(tonesPlayed);
        }
    }

    /**
     * The hot-key registration calls the current hot-key component received, in order, as
     * "register(7, 2, 300)", "unregister(7, 2)" and "unregisterAll()"; a new start-up begins a new list.
     *
     * @return a copy
     */
    public List<String> registrationCalls() {
        synchronized (lock) {
            return new ArrayList<String>(registrationCalls);
        }
    }

    /**
     * Every native call made, in order, as "ChordGate.Init", "TonePort.playBellTone", ....
     *
     * @return a copy
     */
    public List<String> calls() {
        synchronized (lock) {
            return new ArrayList<String>(calls);
        }
    }

    /**
     * The threads the native calls were made on.
     *
     * @return a copy, in order of first use
     */
    public Set<Thread> callingThreads() {
        synchronized (lock) {
            return new LinkedHashSet<Thread>(callingThreads);
        }
    }

    /**
     * How many hot-key start-ups were tried.
     *
     * @return the count
     */
    public int hotKeyInits() {
        synchronized (lock) {
            return hotKeyInits;
        }
    }

    /**
     * Waits until everything the simulation's steps so far have caused has been handled: the hot keys and
     * failures raised reached the keyboard object and its handler methods returned, on its thread or its
     * executor; a detachment's state changes were made and delivered; after {@link #reattach()}, the
     * keyboard object's next attempt has run (it is {@link Keyboard.State#CONNECTED} again, registrations
     * made again, or the attempt failed) and its state changes were delivered. Then throws, once, what a
     * handler threw meanwhile (see the class comment).
     *
     * @param timeout how long to wait at most
     * @param unit the unit of {@code timeout}
     * @return true once idle, false when the time ran out first
     * @throws InterruptedException when the waiting thread is interrupted
     * @throws AssertionError what a handler method threw: an {@code AssertionError} as it is, another
     *     throwable as its cause; those thrown later are suppressed on it
     */
    public boolean awaitIdle(long timeout, TimeUnit unit) throws InterruptedException {
        long deadline = CallThread.deadline(unit.toMillis(timeout));
        CallThread raising;
        synchronized (lock) {
            raising = keyboardThread;
        }
        boolean idle = true;
        if (raising != null && !raising.isCurrent()) {
            try {
                raising.call("awaitIdle", new CallThread.Task() {
                    @Override
                    public long run() {
                        return 0;  // behind every raise queued before it
                    }
                }, Math.max(1, CallThread.millisLeft(deadline)));
            } catch (KeyboardException e) {
                if (e.reason() == KeyboardException.Reason.INTERRUPTED) {
                    Thread.interrupted();
                    throw new InterruptedException();
                }
                idle = e.reason() != KeyboardException.Reason.TIMEOUT;
            }
        }
        HotKeyListener target;
        boolean nowAttached;
        synchronized (lock) {
            target = lastListener;
            nowAttached = attached;
        }
        if (idle && target instanceof KeyboardLayer.Listener) {
            idle = ((KeyboardLayer.Listener) target).awaitIdle(deadline, nowAttached);
        }
        throwHandlerError();
        return idle;
    }

    /**
     * Ends the simulated keyboard's thread once the raises queued before have run; later raises do nothing.
     * Keyboard objects open over the simulation stay open. Idempotent. Then throws, once, what a handler
     * threw and no {@link #awaitIdle} has thrown yet.
     *
     * @throws AssertionError what a handler method threw, as {@link #awaitIdle} throws it
     */
    @Override
    public void close() {
        CallThread raising;
        synchronized (lock) {
            closed = true;
            raising = keyboardThread;
        }
        if (raising != null) {
            raising.stop();
            if (!raising.isCurrent()) {
                boolean interrupted = false;
                while (true) {
                    try {
                        raising.thread().join(60000);
                        break;
                    } catch (InterruptedException e) {
                        interrupted = true;
                    }
                }
                if (interrupted) {
                    Thread.currentThread().interrupt();
                }
            }
        }
        throwHandlerError();
    }

    private interface Raise {
        void to(HotKeyListener target);
    }

    // On the simulated keyboard's own thread, one event at a time, as the library's thread delivers them.
    private void raise(final Raise raise) {
        CallThread raising;
        synchronized (lock) {
            if (closed) {
                return;
            }
            if (keyboardThread == null) {
                keyboardThread = new CallThread("simulated-keyboard");
            }
            raising = keyboardThread;
        }
        try {
            raising.call("raise", new CallThread.Task() {
                @Override
                public long run() {
                    HotKeyListener target;
                    synchronized (lock) {
                        target = hotKeysOpen ? listener : null;
                    }
                    if (target != null) {
                        raise.to(target);
                    }
                    return 0;
                }
            }, 60000);
        } catch (KeyboardException e) {
            // Interrupted (the flag is set again), or a listener that did not return within a minute:
            // the raising side goes on, as the keyboard's would.
        }
    }

    // Records a call; the caller holds the lock. The scripted delay is served outside it.
    private void record(String call) {
        calls.add(call);
        callingThreads.add(Thread.currentThread());
    }

    private void delay() {
        long millis;
        synchronized (lock) {
            millis = callDelayMs;
        }
        if (millis > 0) {
            try {
                Thread.sleep(millis);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    private long toneInit() {
        delay();
        synchronized (lock) {
            record("TonePort.Init");
            long value = !toneInitScript.isEmpty() ? toneInitScript.removeFirst() : attached ? 0 : DETACHED_TONE_INIT;
            tonesOpen = value == 0;
            return value;
        }
    }

    private long hotKeyInit() {
        delay();
        synchronized (lock) {
            record("ChordGate.Init");
            hotKeyInits++;
            long value = !hotKeyInitScript.isEmpty() ? hotKeyInitScript.removeFirst()
                    : attached ? 0 : DETACHED_HOT_KEY_INIT;
            hotKeysOpen = value == 0;
            if (hotKeysOpen) {
                registrationCalls.clear();
                registered.clear();
            }
            return value;
        }
    }

    private long play(Tone tone) {
        delay();
        synchronized (lock) {
            record("TonePort." + tone.nativeMethod());
            long value = tonesOpen && attached ? playResult : NOT_OPEN;
            if (value == 0) {
                tonesPlayed.add(tone);
            }
            return value;
        }
    }

    private long cleanup(String call, boolean hotKeys) {
        delay();
        synchronized (lock) {
            record(call);
            boolean wasOpen = hotKeys ? hotKeysOpen : tonesOpen;
            if (hotKeys) {
                hotKeysOpen = false;
            } else {
                tonesOpen = false;
            }
            return wasOpen ? 0 : 1;
        }
    }

    // RegisterStandard returns 1 before Init; the unregister calls return a failure then.
    private long registration(String call, long beforeInit, HotKey key, boolean register) {
        delay();
        synchronized (lock) {
            record("ChordGate." + call);
            if (!hotKeysOpen) {
                return beforeInit == 1 ? NOT_OPEN : 0x8000FFFFL - (1L << 32);  // E_UNEXPECTED
            }
            if (registrationResult >= 0) {
                registrationCalls.add(call);
                if (key == null) {
                    registered.clear();
                } else {
                    Long id = id(key.first(), key.second());
                    registered.remove(id);
                    if (register) {
                        registered.put(id, key);
                    }
                }
            }
            return registrationResult;
        }
    }
}
