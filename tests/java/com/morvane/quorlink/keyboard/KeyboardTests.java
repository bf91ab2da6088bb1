package com.morvane.quorlink.keyboard;

import static org.junit.jupiter.api.Assertions.*;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;
import org.junit.jupiter.api.DisplayName;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The Java layer on the JDK, against the simulated keyboard: the outcome table, the call thread, the
 * event queue, handlers that throw or block, reconnection and closing. Every wait is bounded.
 */
@Timeout(value = 60, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class KeyboardTests {
    private static final long E_ACCESSDENIED = 0x80070005L - (1L << 32);
    private static final long BOUND_MS = 5000;

    /** Collects what a handler gets, for the test thread to wait on. */
    static class Recorder extends HotKeyHandler.Adapter {
        final List<Object> seen = Collections.synchronizedList(new ArrayList<Object>());
        final List<Thread> threads = Collections.synchronizedList(new ArrayList<Thread>());
        final java.util.concurrent.atomic.AtomicInteger failures = new java.util.concurrent.atomic.AtomicInteger();
        final java.util.concurrent.atomic.AtomicInteger detachments = new java.util.concurrent.atomic.AtomicInteger();

        @Override
        public void onKeyboardFailed() {
            failures.incrementAndGet();
        }

        @Override
        public void onDetached() {
            detachments.incrementAndGet();
        }

        @Override
        public void onHotKey(HotKeyEvent event) {
            threads.add(Thread.currentThread());
            seen.add(event);
        }

        @Override
        public void onStateChange(Keyboard.State state) {
            seen.add(state);
        }

        <T> List<T> of(Class<T> type) {
            List<T> found = new ArrayList<T>();
            synchronized (seen) {
                for (Object o : seen) {
                    if (type.isInstance(o)) {
                        found.add(type.cast(o));
                    }
                }
            }
            return found;
        }

        List<Object> copy() {
            synchronized (seen) {
                return new ArrayList<Object>(seen);
            }
        }

        List<Keyboard.State> states() {
            return of(Keyboard.State.class);
        }

        List<HotKeyEvent> hotKeys() {
            return of(HotKeyEvent.class);
        }
    }

    private static void await(String what, BooleanSupplier condition) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(BOUND_MS);
        while (!condition.getAsBoolean()) {
            assertTrue(System.nanoTime() < deadline, "not within " + BOUND_MS + " ms: " + what);
            Thread.sleep(5);
        }
    }

    /** Keeps the layer's records of the parent logger, switched on at WARNING for the case. */
    private static final class Capture extends Handler implements AutoCloseable {
        final List<LogRecord> records = Collections.synchronizedList(new ArrayList<LogRecord>());
        private final Logger parent = Logger.getLogger(Diagnostics.LOGGER);
        private final Level before = parent.getLevel();

        Capture() {
            parent.addHandler(this);
            parent.setLevel(Level.WARNING);
            parent.setUseParentHandlers(false);  // the case's records, not the console's
        }

        @Override
        public void publish(LogRecord record) {
            records.add(record);
        }

        int count(String text) {
            int n = 0;
            synchronized (records) {
                for (LogRecord r : records) {
                    n += r.getMessage().contains(text) ? 1 : 0;
                }
            }
            return n;
        }

        @Override
        public void flush() {
        }

        @Override
        public void close() {
            parent.removeHandler(this);
            parent.setLevel(before);
            parent.setUseParentHandlers(true);
        }
    }

    // The last column, when given, is what the message must show instead of "it returned <value>".
    @ParameterizedTest(name = "{0} returning {1}: {2}")
    @DisplayName("layer: every documented return value of every native method to its reason")
    @CsvSource({
        "TONE_INIT, 0,,", "TONE_INIT, -1, COM_REFUSED,", "TONE_INIT, -2, NOT_INSTALLED,",
        "TONE_INIT, -3, KEYBOARD_ABSENT,", "TONE_INIT, -4, NOT_HANDED_OVER,", "TONE_INIT, -5, NO_ANSWER,",
        "TONE_INIT, -6, UNDOCUMENTED_VALUE,", "TONE_INIT, 1, UNDOCUMENTED_VALUE,",
        "HOT_KEY_INIT, 0,,", "HOT_KEY_INIT, -1, COM_REFUSED,", "HOT_KEY_INIT, -2, NOT_INSTALLED,",
        "HOT_KEY_INIT, -3, COMPONENT_INCOMPLETE,", "HOT_KEY_INIT, -4, COMPONENT_INCOMPLETE,",
        "HOT_KEY_INIT, -5, COMPONENT_INCOMPLETE,", "HOT_KEY_INIT, -6, COMPONENT_INCOMPLETE,",
        "HOT_KEY_INIT, -7, NOT_HANDED_OVER,", "HOT_KEY_INIT, -8, NO_ANSWER,", "HOT_KEY_INIT, -9, UNEXPECTED_ERROR,",
        "HOT_KEY_INIT, -10, UNDOCUMENTED_VALUE,", "HOT_KEY_INIT, 2, UNDOCUMENTED_VALUE,",
        "PLAY, 0,,", "PLAY, 1, NOT_PLAYED,", "PLAY, -1, UNDOCUMENTED_VALUE,",
        "TONE_CLEANUP, 0,,", "TONE_CLEANUP, 1, NOT_OPEN,", "TONE_CLEANUP, 2, UNDOCUMENTED_VALUE,",
        "HOT_KEY_CLEANUP, 0,,", "HOT_KEY_CLEANUP, 1, NOT_OPEN,", "HOT_KEY_CLEANUP, -1, UNDOCUMENTED_VALUE,",
        "REGISTER_LISTENER, 0,,", "REGISTER_LISTENER, 1, LISTENER_REFUSED,",
        "REGISTER_LISTENER, 2, UNDOCUMENTED_VALUE,",
        "UNREGISTER_ALL_LISTENER, 0,,", "UNREGISTER_ALL_LISTENER, 1, UNDOCUMENTED_VALUE,",
        "REGISTER_STANDARD, 0,,", "REGISTER_STANDARD, 1,,", "REGISTER_STANDARD, 2,,",  // 1: S_FALSE
        "REGISTER_STANDARD, -2147024891, KEYBOARD_REFUSED, HRESULT 0x80070005",
        "REGISTER_STANDARD, 4294967296, UNDOCUMENTED_VALUE,",  // 1 << 32: no narrowing to 0
        "UNREGISTER_HOT, 0,,", "UNREGISTER_HOT, 1,,",
        "UNREGISTER_HOT, -2147467259, KEYBOARD_REFUSED, HRESULT 0x80004005",
        "UNREGISTER_HOT, -2147483648, KEYBOARD_REFUSED, HRESULT 0x80000000",  // the lowest HRESULT
        "UNREGISTER_HOT, -2147483649, UNDOCUMENTED_VALUE,",                    // one below: not 32 bits
        "UNREGISTER_HOT, -2147418113, KEYBOARD_REFUSED, HRESULT 0x8000FFFF",  // hex digits in upper case
        "UNREGISTER_ALL_HOT, 0,,", "UNREGISTER_ALL_HOT, -2147417850, KEYBOARD_REFUSED, HRESULT 0x80010106",
        "UNREGISTER_ALL_HOT, -1099511627776, UNDOCUMENTED_VALUE,",
        // The extreme value, for every call.
        "TONE_INIT, -9223372036854775808, UNDOCUMENTED_VALUE,", "PLAY, -9223372036854775808, UNDOCUMENTED_VALUE,",
        "TONE_CLEANUP, -9223372036854775808, UNDOCUMENTED_VALUE,",
        "HOT_KEY_INIT, -9223372036854775808, UNDOCUMENTED_VALUE,",
        "HOT_KEY_CLEANUP, -9223372036854775808, UNDOCUMENTED_VALUE,",
        "REGISTER_LISTENER, -9223372036854775808, UNDOCUMENTED_VALUE,",
        "UNREGISTER_ALL_LISTENER, -9223372036854775808, UNDOCUMENTED_VALUE,",
        "REGISTER_STANDARD, -9223372036854775808, UNDOCUMENTED_VALUE,",
        "UNREGISTER_HOT, -9223372036854775808, UNDOCUMENTED_VALUE,",
        "UNREGISTER_ALL_HOT, -9223372036854775808, UNDOCUMENTED_VALUE,",
    })
    void table(NativeCall call, long value, Reason reason, String shown) {
        assertSame(reason, call.reason(value));
        if (reason != null) {
            KeyboardException e = call.failure(call.operation, value);
            assertSame(reason, e.reason());
            assertEquals(value, e.nativeValue());
            assertTrue(e.getMessage().contains(shown != null ? shown : "it returned " + value), e.getMessage());
        }
    }

    @ParameterizedTest(name = "TonePort.Init {0}, ChordGate.Init {1}: {2}")
    @DisplayName("layer: open's failures name their reason and let go of what was opened")
    @CsvSource(delimiter = '|', value = {
        "-3 | 0 | KEYBOARD_ABSENT | TonePort.Init | [TonePort.Init, ChordGate.UnregisterAllListener,"
                + " ChordGate.Cleanup, TonePort.cleanup]",
        "0 | -2 | NOT_INSTALLED | ChordGate.Init | [TonePort.Init, ChordGate.Init,"
                + " ChordGate.UnregisterAllListener, ChordGate.Cleanup, TonePort.cleanup]",
        "0 | -42 | UNDOCUMENTED_VALUE | ChordGate.Init |",
    })
    void openFails(long toneInit, long hotKeyInit, Reason reason, String operation, String calls) {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        simulation.scriptToneInit(toneInit);
        simulation.scriptHotKeyInit(hotKeyInit);
        KeyboardException e = assertThrows(KeyboardException.class, simulation::open);
        assertSame(reason, e.reason());
        assertEquals(toneInit != 0 ? toneInit : hotKeyInit, e.nativeValue());
        assertTrue(e.getMessage().startsWith(operation + ": "), e.getMessage());
        if (calls != null) {
            assertEquals(calls, simulation.calls().toString());
        }
    }

    @Test
    @DisplayName("layer: seven tones, registrations and their failures, all on the call thread")
    void callsOnTheCallThread() throws Exception {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Keyboard keyboard = simulation.open()) {
            for (Tone tone : Tone.values()) {
                keyboard.play(tone);
            }
            assertEquals(Arrays.asList(Tone.values()), simulation.tonesPlayed());
            assertEquals(0, keyboard.register(7, 2, 300));
            assertEquals(0, keyboard.unregister(7, 2));
            assertEquals(0, keyboard.unregisterAll());
            simulation.scriptPlay(1);
            KeyboardException e = assertThrows(KeyboardException.class, () -> keyboard.play(Tone.BELL));
            assertTrue(e.reason() == Reason.NOT_PLAYED && e.nativeValue() == 1
                    && e.getMessage().startsWith("TonePort.playBellTone: "), e.toString());
            assertTrue(!keyboard.tryPlay(Tone.NEWS), "tryPlay of a refused tone");
            assertEquals(Arrays.asList(Tone.values()), simulation.tonesPlayed(), "refused tones recorded as played");
            simulation.scriptRegistration(E_ACCESSDENIED);
            e = assertThrows(KeyboardException.class, () -> keyboard.register(1, 2, 3));
            assertTrue(e.reason() == Reason.KEYBOARD_REFUSED && e.nativeValue() == E_ACCESSDENIED
                    && e.getMessage().contains("0x80070005"), e.toString());
        }
        assertEquals(1, simulation.callingThreads().size(), "calls on " + simulation.callingThreads());
        Thread used = simulation.callingThreads().iterator().next();
        assertEquals("quorlink-keyboard-calls", used.getName());
        assertTrue(used.isDaemon(), "a daemon thread");
        assertNotSame(Thread.currentThread(), used);
    }

    @Test
    @DisplayName("layer: a call that outlasts the call timeout is a TIMEOUT; later calls still work")
    void timeout() throws Exception {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Keyboard keyboard = simulation.builder().callTimeout(100).open()) {
            simulation.scriptCallDelay(600);
            long started = System.nanoTime();
            KeyboardException e = assertThrows(KeyboardException.class, () -> keyboard.play(Tone.BELL));
            long waitedMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            assertSame(Reason.TIMEOUT, e.reason());
            assertTrue(waitedMs < 500, "waited " + waitedMs + " ms for a 100 ms bound");
            simulation.scriptCallDelay(0);
            Thread.sleep(700);  // the late call ends
            keyboard.play(Tone.SHORT);
            assertEquals(Arrays.asList(Tone.BELL, Tone.SHORT), simulation.tonesPlayed());
        }
    }

    @Test
    @DisplayName("layer: a full queue drops the newest, counts them, says so once, keeps the order")
    void boundedQueue() throws Exception {
        CountDownLatch entered = new CountDownLatch(1);
        CountDownLatch release = new CountDownLatch(1);
        CountDownLatch releaseAgain = new CountDownLatch(1);
        Recorder recorder = new Recorder() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                super.onHotKey(event);
                entered.countDown();
                try {
                    (event.first() < 100 ? release : releaseAgain).await(BOUND_MS, TimeUnit.MILLISECONDS);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
        };
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Capture capture = new Capture();
             Keyboard keyboard = simulation.builder().handler(recorder).queueCapacity(10).open()) {
            simulation.hotKey(1, -1, 7);
            assertTrue(entered.await(BOUND_MS, TimeUnit.MILLISECONDS), "the handler got the first event");
            long started = System.nanoTime();
            for (int i = 2; i <= 50; i++) {
                simulation.hotKey(i, -i, 7);
            }
            long raisingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            assertTrue(raisingMs < 2000, "raising 49 events behind a blocked handler took " + raisingMs + " ms");
            assertEquals(39, keyboard.droppedEvents());
            simulation.keyboardFailed();  // behind a full queue: never dropped, never counted as a hot key
            assertEquals(39, keyboard.droppedEvents(), "a failure counted as a dropped hot key");
            release.countDown();
            await("11 events delivered", () -> recorder.hotKeys().size() == 11);
            await("the failure delivered", () -> recorder.failures.get() == 1);
            List<HotKeyEvent> expected = new ArrayList<HotKeyEvent>();
            for (int i = 1; i <= 11; i++) {
                expected.add(new HotKeyEvent(i, -i, 7));
            }
            assertEquals(expected, recorder.hotKeys());
            // A second overflow, after the queue drained, is not said again.
            for (int i = 0; i < 30; i++) {
                simulation.hotKey(100 + i, 0, 7);
            }
            await("the second overflow", () -> keyboard.droppedEvents() > 39);
            releaseAgain.countDown();
            assertEquals(1, capture.count("newer hot-key events are dropped"), "times the overflow was logged");
            for (Thread thread : new ArrayList<Thread>(recorder.threads)) {  // a handler call may still add
                assertEquals("quorlink-keyboard-events", thread.getName(), "the handler's thread");
            }
        }
    }

    // A failing assertion in a user's handler is an Error, not an Exception: it must still reach someone.
    @ParameterizedTest(name = "to {0}")
    @DisplayName("layer: what a handler throws reaches the uncaught-exception handler, is logged, and delivery goes on")
    @CsvSource({"the delivering thread's handler", "Builder.handlerErrors"})
    void throwingHandler(String route) throws Exception {
        Recorder recorder = new Recorder() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                super.onHotKey(event);
                if (event.first() == 1) {
                    throw new AssertionError("a handler's failing assertion");
                }
            }
        };
        List<Throwable> threadGot = Collections.synchronizedList(new ArrayList<Throwable>());
        List<Throwable> builderGot = Collections.synchronizedList(new ArrayList<Throwable>());
        java.util.concurrent.ExecutorService executor = java.util.concurrent.Executors.newSingleThreadExecutor(task -> {
            Thread thread = new Thread(task, "user-executor");
            thread.setDaemon(true);
            thread.setUncaughtExceptionHandler((t, e) -> threadGot.add(e));
            return thread;
        });
        boolean viaBuilder = route.startsWith("Builder");
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard.Builder builder = simulation.builder().handler(recorder).executor(executor);
        if (viaBuilder) {
            builder.handlerErrors((t, e) -> builderGot.add(e));
        }
        try (Capture capture = new Capture(); Keyboard keyboard = builder.open()) {
            simulation.hotKey(1, 0, 0);
            simulation.hotKey(2, 0, 0);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS), "handled");
            assertEquals(2, recorder.hotKeys().size(), "delivered after the throw");
            List<Throwable> got = viaBuilder ? builderGot : threadGot;
            assertEquals(1, got.size(), "received by " + route);
            assertTrue(got.get(0) instanceof AssertionError, String.valueOf(got.get(0)));
            assertEquals(0, (viaBuilder ? threadGot : builderGot).size(), "received by the other");
            assertEquals(1, capture.count("a HotKeyHandler method threw"), "logged " + capture.records.size());
            assertSame(Keyboard.State.CONNECTED, keyboard.state());
        } finally {
            executor.shutdown();
        }
    }

    @Test
    @DisplayName("layer: a direct executor whose handler registers, plays and closes does not hang")
    void directExecutorReentry() throws Exception {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard[] opened = new Keyboard[1];
        List<String> done = Collections.synchronizedList(new ArrayList<String>());
        HotKeyHandler handler = new HotKeyHandler.Adapter() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                try {
                    done.add("register " + opened[0].register(9, 9, 9));
                    opened[0].play(Tone.BUSY);
                    done.add("played");
                } catch (KeyboardException e) {
                    done.add(e.toString());
                }
                opened[0].close();
                done.add("closed");
            }
        };
        opened[0] = simulation.builder().handler(handler).executor(Runnable::run).open();
        simulation.hotKey(1, 1, 1);
        await("the handler registered, played and closed", () -> done.size() == 3);
        assertEquals(Arrays.asList("register 0", "played", "closed"), done);
        assertSame(Keyboard.State.CLOSED, opened[0].state());
    }

    @Test
    @DisplayName("layer: a handler blocked on a lock that a calling thread holds does not hang")
    void handlerBlockedOnCallersLock() throws Exception {
        Object lock = new Object();
        CountDownLatch handlerWaits = new CountDownLatch(1);
        List<String> handled = Collections.synchronizedList(new ArrayList<String>());
        HotKeyHandler handler = new HotKeyHandler.Adapter() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                handlerWaits.countDown();
                synchronized (lock) {
                    handled.add(event.toString());
                }
            }
        };
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Keyboard keyboard = simulation.builder().handler(handler).open()) {
            synchronized (lock) {
                simulation.hotKey(1, 2, 3);
                assertTrue(handlerWaits.await(BOUND_MS, TimeUnit.MILLISECONDS), "the handler started");
                // The handler now waits for this lock; the API and the keyboard's thread must not.
                keyboard.register(4, 5, 6);
                keyboard.play(Tone.LIMIT);
                simulation.hotKey(7, 8, 9);
            }
            await("both events handled once the lock is free", () -> handled.size() == 2);
        }
    }

    @Test
    @DisplayName("layer: reconnection after a detachment: backoff, states, registrations replayed in order")
    void reconnects() throws Exception {
        long[][] backoff = {{1000, 30000, 2000}, {2000, 30000, 4000}, {16000, 30000, 30000},
                            {30000, 30000, 30000}, {50, 200, 100}, {100, 200, 200}, {150, 200, 200}};
        for (long[] step : backoff) {
            assertEquals(step[2], Reconnector.nextDelay(step[0], step[1]), Arrays.toString(step));
        }
        Recorder recorder = new Recorder();
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(20, 80).open()) {
            keyboard.register(1, 2, 3);
            keyboard.unregister(4, 5);
            keyboard.register(6, 7, 8);
            simulation.detach();
            await("three failed attempts", () -> Collections.frequency(simulation.calls(), "TonePort.Init") >= 4);
            assertSame(Keyboard.State.RECONNECTING, keyboard.state());
            KeyboardException e = assertThrows(KeyboardException.class, () -> keyboard.register(9, 9, 9));
            assertSame(Reason.DETACHED, e.reason(), "a call while reconnecting");
            simulation.reattach();
            await("connected again", () -> recorder.states().size() == 4);
            assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.DETACHED,
                    Keyboard.State.RECONNECTING, Keyboard.State.CONNECTED), recorder.states());
            assertEquals(Arrays.asList("register(1, 2, 3)", "unregister(4, 5)", "register(6, 7, 8)"),
                    simulation.registrationCalls(), "replayed");
            assertEquals(1, recorder.detachments.get(), "onDetached calls");
            simulation.hotKey(5, 5, 5);
            await("events flow again", () -> recorder.hotKeys().contains(new HotKeyEvent(5, 5, 5)));
            for (Thread thread : simulation.callingThreads()) {
                assertEquals("quorlink-keyboard-calls", thread.getName(), "a native call's thread");
            }

            // unregisterAll() ends what a reconnection makes again.
            keyboard.unregisterAll();
            keyboard.register(9, 9, 9);
            simulation.detach();
            simulation.reattach();
            await("connected a third time", () -> recorder.states().size() == 7);
            assertEquals(Arrays.asList("register(9, 9, 9)"), simulation.registrationCalls(),
                    "replayed after unregisterAll");
        }
    }

    @Test
    @DisplayName("layer: close during a reconnection ends it at once")
    void closeDuringRetry() throws Exception {
        Recorder recorder = new Recorder();
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(10000, 30000).open();
        simulation.detach();
        await("reconnecting", () -> recorder.states().contains(Keyboard.State.RECONNECTING));
        long started = System.nanoTime();
        keyboard.close();
        long closingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
        assertTrue(closingMs < 1000, "close took " + closingMs + " ms during a 10 s wait");
        Thread.sleep(100);  // where a live reconnection would try again
        assertEquals(1, simulation.hotKeyInits(), "start-ups, the one before the detachment included");
        await("CLOSED reached the handler", () -> recorder.states().contains(Keyboard.State.CLOSED));
    }

    /** This case's own threads of that name that started since {@code before}: another case's leftovers do not count. */
    static List<Thread> newThreads(java.util.Set<Thread> before, String name) {
        List<Thread> found = new ArrayList<Thread>();
        for (Thread thread : Thread.getAllStackTraces().keySet()) {
            if (thread.getName().equals(name) && thread.isAlive() && !before.contains(thread)) {
                found.add(thread);
            }
        }
        return found;
    }

    @Test
    @DisplayName("layer: close twice, from a handler, and calls after close")
    void closing() throws Exception {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        java.util.Set<Thread> before = Thread.getAllStackTraces().keySet();
        Keyboard[] opened = new Keyboard[1];
        Recorder closer = new Recorder() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                super.onHotKey(event);
                opened[0].close();
                opened[0].close();
            }
        };
        opened[0] = simulation.builder().handler(closer).open();
        List<Thread> own = newThreads(before, "quorlink-keyboard-events");
        own.addAll(newThreads(before, "quorlink-keyboard-calls"));
        assertEquals(2, own.size(), "the object's threads " + own);
        simulation.hotKey(1, 1, 1);
        await("closed from its handler", () -> opened[0].state() == Keyboard.State.CLOSED);
        opened[0].close();
        assertEquals(Arrays.asList(Keyboard.State.CONNECTED), closer.states(), "a handler call after its own close");
        KeyboardException e = assertThrows(KeyboardException.class, () -> opened[0].play(Tone.BELL));
        assertSame(Reason.CLOSED, e.reason(), e.getMessage());
        assertTrue(simulation.calls().containsAll(Arrays.asList("ChordGate.UnregisterAllListener",
                "ChordGate.Cleanup", "TonePort.cleanup")), "let go: " + simulation.calls());
        await("the object's threads ended", () -> !own.get(0).isAlive() && !own.get(1).isAlive());
        Recorder recorder = new Recorder();
        Keyboard second = new SimulatedKeyboard().builder().handler(recorder).open();
        second.close();
        second.close();
        assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.CLOSED), recorder.states(),
                "close twice");
    }

    /** A handler that sleeps on each hot key and notes whether a call ever ran while another did or after close. */
    static class SlowRecorder extends Recorder {
        final java.util.concurrent.atomic.AtomicInteger running = new java.util.concurrent.atomic.AtomicInteger();
        final java.util.concurrent.atomic.AtomicInteger overlaps = new java.util.concurrent.atomic.AtomicInteger();
        private final long sleepMs;

        SlowRecorder(long sleepMs) {
            this.sleepMs = sleepMs;
        }

        @Override
        public void onHotKey(HotKeyEvent event) {
            if (running.incrementAndGet() > 1) {
                overlaps.incrementAndGet();
            }
            try {
                Thread.sleep(sleepMs);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            super.onHotKey(event);
            running.decrementAndGet();
        }

        @Override
        public void onStateChange(Keyboard.State state) {
            if (running.incrementAndGet() > 1) {
                overlaps.incrementAndGet();
            }
            super.onStateChange(state);
            running.decrementAndGet();
        }
    }

    private static java.util.concurrent.ExecutorService userExecutor(String name) {
        return java.util.concurrent.Executors.newSingleThreadExecutor(task -> {
            Thread thread = new Thread(task, name);
            thread.setDaemon(true);
            return thread;
        });
    }

    @ParameterizedTest(name = "events on {0}")
    @DisplayName("layer: close is a fence: queued handler calls and CLOSED have run when it returns, none after")
    @CsvSource({"the library's thread", "a user's executor"})
    void closeIsAFence(String where) throws Exception {
        boolean withExecutor = where.startsWith("a user");
        java.util.concurrent.ExecutorService executor = withExecutor ? userExecutor("fence-executor") : null;
        SlowRecorder recorder = new SlowRecorder(150);
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard keyboard = simulation.builder().handler(recorder).executor(executor).open();
        for (int i = 1; i <= 5; i++) {
            simulation.hotKey(i, 0, 0);
        }
        keyboard.close();
        List<Object> atReturn = recorder.copy();
        assertEquals(5, recorder.hotKeys().size(), "hot keys handled when close returned: " + atReturn);
        assertEquals(Keyboard.State.CLOSED, atReturn.get(atReturn.size() - 1), "the last call: " + atReturn);
        assertEquals(0, recorder.running.get(), "a handler call still running");
        Thread.sleep(200);
        assertEquals(atReturn, recorder.copy(), "handler calls after close returned");
        assertEquals(0, recorder.overlaps.get(), "handler calls that overlapped");
        if (executor != null) {
            executor.shutdown();
            // The usual order, close() then shutdown(): CLOSED must never be refused.
            for (int run = 0; run < 50; run++) {
                java.util.concurrent.ExecutorService own = userExecutor("fence-executor-" + run);
                Recorder quick = new Recorder();
                Keyboard k = simulation.builder().handler(quick).executor(own).open();
                simulation.hotKey(run, 0, 0);
                k.close();
                own.shutdown();
                assertEquals(Keyboard.State.CLOSED, quick.copy().get(quick.copy().size() - 1), "run " + run);
            }
        }
        simulation.close();
    }

    @Test
    @DisplayName("layer: a close that gives up keeps the slot until its clean-up ran; the next keyboard is not torn down")
    void timedOutCloseKeepsTheSlot() throws Exception {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard first = simulation.builder().callTimeout(200).open();
        simulation.scriptCallDelay(1000);
        Thread player = new Thread(() -> first.tryPlay(Tone.BELL));
        player.start();
        Thread.sleep(50);  // the 1 s call is in flight
        simulation.scriptCallDelay(0);
        long started = System.nanoTime();
        first.close();
        long closingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
        assertTrue(closingMs < 700, "close took " + closingMs + " ms with a 200 ms call timeout");
        KeyboardException e = assertThrows(KeyboardException.class, () -> simulation.builder().callTimeout(200).open());
        assertSame(Reason.ALREADY_OPEN, e.reason(), e.getMessage());
        assertTrue(e.getMessage().contains("the previous keyboard is still letting go"), e.getMessage());
        Recorder recorder = new Recorder();
        try (Keyboard second = simulation.builder().handler(recorder).open()) {  // waits for the let-go
            List<String> calls = simulation.calls();
            assertTrue(calls.lastIndexOf("ChordGate.Cleanup") < calls.lastIndexOf("ChordGate.Init"),
                    "a clean-up after the second start-up: " + calls);
            assertEquals(0, second.register(7, 2, 300));
            simulation.hotKey(7, 2, 300);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertEquals(Arrays.asList(new HotKeyEvent(7, 2, 300)), recorder.hotKeys());
            assertSame(Keyboard.State.CONNECTED, second.state());
            assertTrue(second.tryPlay(Tone.SHORT), "tryPlay on the second keyboard");
        }
        player.join(BOUND_MS);
        simulation.close();
    }

    @Test
    @DisplayName("layer: the process slot: one holder, a newcomer waits for one letting go, and it is freed")
    void processSlot() throws Exception {
        ProcessSlot slot = new ProcessSlot();
        Object a = new Object();
        Object b = new Object();
        slot.claim(a, CallThread.deadline(10));
        KeyboardException e = assertThrows(KeyboardException.class, () -> slot.claim(b, CallThread.deadline(10)));
        assertTrue(e.reason() == Reason.ALREADY_OPEN && e.getMessage().contains("close it first"), e.getMessage());
        slot.lettingGo(a);
        long started = System.nanoTime();
        e = assertThrows(KeyboardException.class, () -> slot.claim(b, CallThread.deadline(100)));
        assertTrue(e.getMessage().contains("still letting go"), e.getMessage());
        assertTrue(System.nanoTime() - started >= TimeUnit.MILLISECONDS.toNanos(90), "did not wait");
        new Thread(() -> {
            try {
                Thread.sleep(50);
            } catch (InterruptedException ignored) {
                return;
            }
            slot.free(a);
        }).start();
        slot.claim(b, CallThread.deadline(BOUND_MS));  // woken by the free
        slot.free(b);
        slot.claim(a, CallThread.deadline(10));
    }

    @ParameterizedTest(name = "reconnect {0}")
    @DisplayName("layer: while detached, play, register, unregister and unregisterAll fail DETACHED at once, with no native call")
    @CsvSource({"true", "false"})
    void detachedAnswersAtOnce(boolean reconnect) throws Exception {
        Recorder recorder = new Recorder();
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Keyboard keyboard = simulation.builder().handler(recorder).reconnect(reconnect)
                .reconnectDelays(10000, 30000).open()) {
            simulation.detach();
            Keyboard.State expected = reconnect ? Keyboard.State.RECONNECTING : Keyboard.State.DETACHED;
            await("detached", () -> keyboard.state() == expected);
            int calls = simulation.calls().size();
            long started = System.nanoTime();
            List<org.junit.jupiter.api.function.Executable> attempts = Arrays.asList(
                () -> keyboard.play(Tone.BELL), () -> keyboard.register(1, 2, 3), () -> keyboard.unregister(1, 2),
                () -> keyboard.unregisterAll());
            for (org.junit.jupiter.api.function.Executable attempt : attempts) {
                KeyboardException e = assertThrows(KeyboardException.class, attempt);
                assertSame(Reason.DETACHED, e.reason(), e.getMessage());
                assertEquals(0, e.nativeValue());
            }
            assertTrue(!keyboard.tryPlay(Tone.NEWS), "tryPlay while detached");
            assertTrue(System.nanoTime() - started < TimeUnit.MILLISECONDS.toNanos(1000), "not at once");
            assertEquals(calls, simulation.calls().size(), "native calls while detached: " + simulation.calls());
        }
    }

    @Test
    @DisplayName("layer: RegisterStandard's 1 on an open keyboard is S_FALSE, a success, and is made again")
    void registerStandardSFalse() throws Exception {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Recorder recorder = new Recorder();
        try (Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(10, 20).open()) {
            simulation.scriptRegistration(1);
            assertEquals(1, keyboard.register(7, 2, 300));
            simulation.scriptRegistration(0);
            simulation.detach();
            simulation.reattach();
            await("connected again", () -> recorder.states().size() == 4);
            assertEquals(Arrays.asList("register(7, 2, 300)"), simulation.registrationCalls(), "made again");
        }
    }

    @Test
    @DisplayName("layer: with a user's executor no event thread of the library exists, and order holds on a pool")
    void executorIsTheOnlyDeliveryThread() throws Exception {
        java.util.Set<Thread> before = Thread.getAllStackTraces().keySet();
        java.util.concurrent.ExecutorService pool = java.util.concurrent.Executors.newFixedThreadPool(4);
        SlowRecorder recorder = new SlowRecorder(0);
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).executor(pool).open()) {
            for (int i = 0; i < 500; i++) {
                simulation.hotKey(i, 0, 0);
            }
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS), "idle");
            assertSame(Keyboard.State.CONNECTED, keyboard.state());
            assertEquals(Collections.emptyList(), newThreads(before, "quorlink-keyboard-events"), "event threads");
            List<HotKeyEvent> got = recorder.hotKeys();
            for (int i = 0; i < 500; i++) {
                assertEquals(i, got.get(i).first(), "order");
            }
            assertEquals(0, recorder.overlaps.get(), "handler calls at the same time");
        } finally {
            pool.shutdown();
        }
    }

    @ParameterizedTest(name = "execute throws {0}")
    @DisplayName("layer: an executor that refuses or throws loses only what it refused, counted, said once")
    @CsvSource({"java.util.concurrent.RejectedExecutionException", "java.lang.IllegalStateException"})
    void refusingExecutor(String thrown) throws Exception {
        java.util.concurrent.atomic.AtomicBoolean refuse = new java.util.concurrent.atomic.AtomicBoolean();
        java.util.concurrent.ExecutorService inner = userExecutor("refusing-executor");
        java.util.concurrent.Executor executor = task -> {
            if (refuse.get()) {
                try {
                    throw (RuntimeException) Class.forName(thrown).getConstructor(String.class).newInstance("refused");
                } catch (ReflectiveOperationException e) {
                    throw new AssertionError(e);
                }
            }
            inner.execute(task);
        };
        Recorder recorder = new Recorder();
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Capture capture = new Capture()) {
            Keyboard keyboard = simulation.builder().handler(recorder).executor(executor).open();
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            refuse.set(true);
            simulation.hotKey(1, 0, 0);
            simulation.hotKey(2, 0, 0);
            refuse.set(false);
            simulation.hotKey(3, 0, 0);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS), "idle after the refusals");
            assertEquals(Arrays.asList(new HotKeyEvent(3, 0, 0)), recorder.hotKeys());
            assertEquals(2, keyboard.droppedEvents());
            assertEquals(1, capture.count("the executor did not take"), "said");
            keyboard.close();
            assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.CLOSED), recorder.states());
        } finally {
            inner.shutdown();
        }
    }

    @Test
    @DisplayName("layer: an executor that silently discards a task does not stop later deliveries")
    void discardingExecutor() throws Exception {
        java.util.concurrent.atomic.AtomicInteger tasks = new java.util.concurrent.atomic.AtomicInteger();
        java.util.concurrent.ExecutorService inner = userExecutor("discarding-executor");
        java.util.concurrent.Executor executor = task -> {
            if (tasks.incrementAndGet() != 2) {  // the first after CONNECTED's is lost
                inner.execute(task);
            }
        };
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().handler(recorder).executor(executor).open();
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            simulation.hotKey(1, 0, 0);
            Thread.sleep(300);
            simulation.hotKey(2, 0, 0);
            await("later events delivered", () -> recorder.hotKeys().contains(new HotKeyEvent(2, 0, 0)));
            keyboard.close();
            assertEquals(Keyboard.State.CLOSED, recorder.states().get(recorder.states().size() - 1));
        } finally {
            inner.shutdown();
        }
    }

    @Test
    @DisplayName("layer: a hot-key event knows its keyboard, its time and int values; a handler can call back")
    void eventsKnowTheirKeyboard() throws Exception {
        List<String> answers = Collections.synchronizedList(new ArrayList<String>());
        Recorder recorder = new Recorder() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                super.onHotKey(event);
                switch (event.third()) {  // the int that register takes
                    case 300:
                        try {
                            answers.add("register " + event.keyboard().register(event.first(), event.second(), 301));
                        } catch (KeyboardException e) {
                            answers.add(e.toString());
                        }
                        break;
                    default:
                        answers.add("other");
                }
            }
        };
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).open()) {
            long before = System.currentTimeMillis();
            simulation.hotKey(7, -2, 300);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            HotKeyEvent event = recorder.hotKeys().get(0);
            assertSame(keyboard, event.keyboard());
            assertTrue(event.when() >= before && event.when() <= System.currentTimeMillis(), "when " + event.when());
            assertEquals(-2, event.second());
            assertEquals(Arrays.asList("register 0"), answers);
            assertEquals(Arrays.asList("register(7, -2, 301)"), simulation.registrationCalls());
        }
    }

    @Test
    @DisplayName("layer: no handler call runs before open() has returned")
    void noHandlerCallBeforeOpenReturns() throws Exception {
        for (int run = 0; run < 5; run++) {
            SimulatedKeyboard simulation = new SimulatedKeyboard();
            simulation.scriptCallDelay(40);
            List<Integer> callsSeen = Collections.synchronizedList(new ArrayList<Integer>());
            Thread opener = Thread.currentThread();
            HotKeyHandler handler = new HotKeyHandler.Adapter() {
                @Override
                public void onHotKey(HotKeyEvent event) {
                    callsSeen.add(Thread.currentThread() == opener ? -1 : simulation.calls().size());
                }

                @Override
                public void onStateChange(Keyboard.State state) {
                    callsSeen.add(Thread.currentThread() == opener ? -1 : simulation.calls().size());
                }
            };
            java.util.concurrent.atomic.AtomicBoolean opened = new java.util.concurrent.atomic.AtomicBoolean();
            Thread raiser = new Thread(() -> {
                while (!opened.get()) {
                    simulation.hotKey(9, 9, 9);  // nothing until the listener is registered
                }
            });
            raiser.start();
            // The declared hot key is one more native call after the listener's registration.
            // A direct executor (odd runs) runs the handler where events are handed over: not in open().
            Keyboard keyboard = simulation.builder().handler(handler).executor(run % 2 == 0 ? null : Runnable::run)
                    .hotKey(1, 2, 3).open();
            int callsAtReturn = simulation.calls().size();
            opened.set(true);
            raiser.join(BOUND_MS);
            simulation.scriptCallDelay(0);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            for (int seen : new ArrayList<Integer>(callsSeen)) {
                assertTrue(seen >= callsAtReturn, "a handler call during open() (-1: on its thread): " + callsSeen
                        + " < " + callsAtReturn);
            }
            keyboard.close();
            simulation.close();
        }
    }

    @Test
    @DisplayName("layer: a handler with hotKeys(false) still gets its state changes")
    void stateChangesWithoutHotKeys() throws Exception {
        Recorder recorder = new Recorder();
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard keyboard = simulation.builder().hotKeys(false).handler(recorder).open();
        keyboard.close();
        assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.CLOSED), recorder.states());
    }

    @Test
    @DisplayName("layer: SimulatedKeyboard.awaitIdle returns once the handler has run, on the library's thread or an executor")
    void awaitIdle() throws Exception {
        java.util.concurrent.ExecutorService executor = userExecutor("idle-executor");
        java.util.concurrent.atomic.AtomicInteger handled = new java.util.concurrent.atomic.AtomicInteger();
        HotKeyHandler handler = new HotKeyHandler.Adapter() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                Thread.yield();
                handled.incrementAndGet();
            }
        };
        try {
            for (java.util.concurrent.Executor where : Arrays.asList(null, executor)) {
                handled.set(0);
                try (SimulatedKeyboard simulation = new SimulatedKeyboard();
                     Keyboard keyboard = simulation.builder().handler(handler).executor(where).open()) {
                    for (int i = 1; i <= 200; i++) {
                        simulation.hotKey(i, 0, 0);
                        assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS), "idle");
                        assertEquals(i, handled.get(), "handled when awaitIdle returned, executor " + where);
                        assertEquals(0, keyboard.droppedEvents());
                    }
                }
            }
        } finally {
            executor.shutdown();
        }
    }

    @Test
    @DisplayName("layer: closing a SimulatedKeyboard ends its thread, a daemon; a thousand leave none behind")
    void simulationLeavesNoThread() throws Exception {
        java.util.Set<Thread> before = Thread.getAllStackTraces().keySet();
        List<Thread> raisers = Collections.synchronizedList(new ArrayList<Thread>());
        HotKeyHandler handler = new HotKeyHandler.Adapter() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                raisers.add(Thread.currentThread());  // a direct executor runs it on the raising thread
            }
        };
        for (int i = 0; i < 1000; i++) {
            SimulatedKeyboard simulation = new SimulatedKeyboard();
            Keyboard keyboard = simulation.builder().handler(handler).executor(Runnable::run).open();
            simulation.hotKey(1, 2, 3);
            keyboard.close();
            simulation.close();
        }
        assertEquals(1000, raisers.size());
        assertTrue(raisers.get(0).isDaemon(), "the simulated keyboard's thread is a daemon");
        for (Thread thread : raisers) {
            assertTrue(!thread.isAlive(), thread + " still alive");
        }
        assertEquals(Collections.emptyList(), newThreads(before, "simulated-keyboard"));
    }

    @Test
    @DisplayName("layer: one open keyboard per simulation: a second open fails ALREADY_OPEN, the first keeps its hot keys")
    void oneKeyboardPerSimulation() throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard first = simulation.builder().handler(recorder).open();
            first.register(7, 2, 300);
            KeyboardException e = assertThrows(KeyboardException.class, () -> simulation.open());
            assertSame(Reason.ALREADY_OPEN, e.reason(), e.getMessage());
            simulation.hotKey(7, 2, 300);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertEquals(Arrays.asList(new HotKeyEvent(7, 2, 300)), recorder.hotKeys(), "the first's hot keys");
            assertEquals(Arrays.asList("register(7, 2, 300)"), simulation.registrationCalls());
            first.close();
            simulation.open().close();  // the slot is free again
        }
    }

    @Test
    @DisplayName("layer: scriptCallDelay delays every native call, the listener's included")
    void callDelayOnListenerCalls() throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            simulation.scriptCallDelay(150);
            long started = System.nanoTime();
            Keyboard keyboard = simulation.builder().tones(false).open();  // ChordGate.Init, RegisterListener
            long openMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            assertTrue(openMs >= 290, "open took " + openMs + " ms for two calls of 150 ms");
            keyboard.close();
        }
    }

    @Test
    @DisplayName("layer: durations saturate: Long.MAX_VALUE as call timeout and as wait")
    void durationsSaturate() throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().callTimeout(Long.MAX_VALUE).reconnectDelays(1, Long.MAX_VALUE)
                     .handler(new Recorder()).open()) {
            keyboard.play(Tone.BELL);
            assertEquals(0, keyboard.register(1, 2, 3));
            simulation.hotKey(1, 2, 3);
            assertTrue(simulation.awaitIdle(Long.MAX_VALUE, TimeUnit.DAYS));
        }
        assertEquals(Long.MAX_VALUE, Reconnector.nextDelay(Long.MAX_VALUE / 2 + 1, Long.MAX_VALUE));
        assertTrue(CallThread.millisLeft(CallThread.deadline(Long.MAX_VALUE)) > 0, "a deadline in the past");
    }

    @Test
    @DisplayName("layer: close racing a reconnection that completes: CLOSED stays last and state() CLOSED")
    void closeRacesReconnection() throws Exception {
        for (int round = 0; round < 100; round++) {
            Recorder recorder = new Recorder();
            SimulatedKeyboard simulation = new SimulatedKeyboard();
            Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(1, 2).open();
            java.util.concurrent.CyclicBarrier start = new java.util.concurrent.CyclicBarrier(2);
            simulation.detach();
            Thread reattacher = new Thread(() -> {
                try {
                    start.await();
                } catch (Exception e) {
                    return;
                }
                simulation.reattach();
            });
            reattacher.start();
            start.await();
            Thread.sleep(round % 4);
            keyboard.close();
            assertSame(Keyboard.State.CLOSED, keyboard.state(), "round " + round);
            List<Keyboard.State> states = recorder.states();
            assertEquals(Keyboard.State.CLOSED, states.get(states.size() - 1), "round " + round + ": " + states);
            assertEquals(1, Collections.frequency(states, Keyboard.State.CLOSED), "round " + round + ": " + states);
            reattacher.join(BOUND_MS);
            Thread.sleep(3);
            assertSame(Keyboard.State.CLOSED, keyboard.state(), "round " + round);
            assertEquals(states, recorder.states(), "round " + round);
            simulation.close();
        }
    }

    @Test
    @DisplayName("layer: close from a handler does not wait for it; no handler call starts after it")
    void closeFromAHandler() throws Exception {
        CountDownLatch queued = new CountDownLatch(1);
        Keyboard[] opened = new Keyboard[1];
        long[] closingMs = {-1};
        Recorder recorder = new Recorder() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                super.onHotKey(event);
                try {
                    queued.await(BOUND_MS, TimeUnit.MILLISECONDS);
                } catch (InterruptedException e) {
                    return;
                }
                long started = System.nanoTime();
                event.keyboard().close();
                closingMs[0] = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            }
        };
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            opened[0] = simulation.builder().handler(recorder).callTimeout(3000).open();
            simulation.hotKey(1, 0, 0);
            simulation.hotKey(2, 0, 0);
            simulation.hotKey(3, 0, 0);
            queued.countDown();
            await("close in the handler returned", () -> closingMs[0] >= 0);
            assertTrue(closingMs[0] < 1000, "close in the handler took " + closingMs[0] + " ms");
            opened[0].close();
            assertEquals(Arrays.asList(new HotKeyEvent(1, 0, 0)), recorder.hotKeys(), "started after close");
            assertFalse(recorder.states().contains(Keyboard.State.CLOSED), "a handler call started after close");
            assertEquals(2, opened[0].droppedEvents());
        }
    }

    @Test
    @DisplayName("layer: close bounded by the call timeout names the handler call still running")
    void closeNamesTheRunningHandlerCall() throws Exception {
        CountDownLatch entered = new CountDownLatch(1);
        CountDownLatch release = new CountDownLatch(1);
        HotKeyHandler handler = new HotKeyHandler.Adapter() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                entered.countDown();
                try {
                    release.await(BOUND_MS, TimeUnit.MILLISECONDS);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
        };
        try (Capture capture = new Capture(); SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().handler(handler).callTimeout(300).open();
            simulation.hotKey(1, 2, 3);
            assertTrue(entered.await(BOUND_MS, TimeUnit.MILLISECONDS));
            long started = System.nanoTime();
            keyboard.close();
            long closingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            release.countDown();
            assertTrue(closingMs >= 250 && closingMs < 1500, "close took " + closingMs + " ms for a 300 ms bound");
            assertEquals(1, capture.count("onHotKey(HotKeyEvent(1, 2, 3))"), "the running call named in the log");
        }
    }

    @Test
    @DisplayName("layer: close waits one call timeout in all, not one per clean-up call")
    void closeWaitsOneTimeoutInAll() throws Exception {
        try (Capture capture = new Capture(); SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().callTimeout(200).open();
            simulation.scriptCallDelay(150);  // three clean-up calls: 450 ms
            long started = System.nanoTime();
            keyboard.close();
            long closingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            assertTrue(closingMs < 400, "close took " + closingMs + " ms with a 200 ms call timeout");
            assertEquals(1, capture.count("is still running"), "the give-up logged");
        }
    }

    @Test
    @DisplayName("layer: awaitKeyboard opens DETACHED and connects when the keyboard arrives; declared hot keys first")
    void awaitKeyboardAndDeclaredHotKeys() throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            simulation.detach();  // absent before the program starts
            KeyboardException absent = assertThrows(KeyboardException.class, () -> simulation.open());
            assertSame(Reason.KEYBOARD_ABSENT, absent.reason());
            try (Keyboard keyboard = simulation.builder().awaitKeyboard(true)
                    .reconnectDelays(300, 300).hotKey(7, 2, 300).handler(recorder).open()) {
                assertSame(Keyboard.State.DETACHED, keyboard.state());
                assertSame(Reason.DETACHED, assertThrows(KeyboardException.class, () -> keyboard.register(1, 1, 1))
                        .reason());
                simulation.reattach();
                await("connected", () -> keyboard.state() == Keyboard.State.CONNECTED);
                assertEquals(Arrays.asList("register(7, 2, 300)"), simulation.registrationCalls());
                keyboard.register(1, 2, 3);
                simulation.detach();
                simulation.reattach();
                await("connected again", () -> recorder.states().size() == 6);
                assertEquals(Arrays.asList(Keyboard.State.DETACHED, Keyboard.State.RECONNECTING,
                        Keyboard.State.CONNECTED, Keyboard.State.DETACHED, Keyboard.State.RECONNECTING,
                        Keyboard.State.CONNECTED), recorder.states());
                assertEquals(Arrays.asList("register(7, 2, 300)", "register(1, 2, 3)"), simulation.registrationCalls(),
                        "declared, then the journal");
            }
            simulation.scriptRegistration(E_ACCESSDENIED);
            KeyboardException refused = assertThrows(KeyboardException.class,
                    () -> simulation.builder().hotKey(7, 2, 300).open());
            assertSame(Reason.KEYBOARD_REFUSED, refused.reason(), "a declared hot key refused on the first connection");
            simulation.scriptRegistration(0);
            simulation.open().close();  // the failed open let go of the slot
        }
    }

    @Test
    @DisplayName("layer: a hot key toggled a thousand times leaves one entry in the journal, and the replay ends the same")
    void journalOfAToggledKey() {
        Journal journal = new Journal();
        journal.record(NativeCall.REGISTER_STANDARD, new Object[] {5, 6, 7});
        for (int i = 0; i < 1000; i++) {
            journal.record(NativeCall.REGISTER_STANDARD, new Object[] {1, 2, 3});
            journal.record(NativeCall.UNREGISTER_HOT, new Object[] {1, 2});
        }
        journal.record(NativeCall.REGISTER_STANDARD, new Object[] {1, 2, 4});
        List<String> entries = new ArrayList<String>();
        for (Journal.Entry entry : journal.entries()) {
            entries.add(entry.call + Arrays.toString(entry.args));
        }
        assertEquals(Arrays.asList("REGISTER_STANDARD[5, 6, 7]", "UNREGISTER_HOT[1, 2]", "REGISTER_STANDARD[1, 2, 4]"),
                entries);
    }

    @Test
    @DisplayName("layer: the reconnector waits the first delay, then doubles up to the most, and stops when cancelled")
    void reconnectorBackoff() {
        List<Long> delays = new ArrayList<Long>();
        List<Runnable> planned = new ArrayList<Runnable>();
        int[] attempts = {0};
        Reconnector reconnector = new Reconnector((task, millis) -> {
            delays.add(millis);
            planned.add(task);
            return () -> planned.remove(task);
        }, 20, 80, () -> ++attempts[0] == 5);
        reconnector.start();
        assertEquals(0, attempts[0], "an attempt before the first delay");
        while (!planned.isEmpty()) {
            planned.remove(0).run();
        }
        assertEquals(Arrays.asList(20L, 40L, 80L, 80L, 80L), delays);
        assertEquals(5, attempts[0]);
        reconnector.start();
        reconnector.cancel();
        assertTrue(planned.isEmpty(), "an attempt still planned after cancel");
    }

    /** Bridges that answer success, except the method named, which throws what the case gives. */
    private static Bridges throwing(String throwingMethod, Throwable thrown, ProcessSlot slot) {
        return (Bridges) java.lang.reflect.Proxy.newProxyInstance(Bridges.class.getClassLoader(),
                new Class<?>[] {Bridges.class}, (proxy, method, args) -> {
                    if (method.getName().equals(throwingMethod)) {
                        throw thrown;
                    }
                    switch (method.getName()) {
                        case "slot":
                            return slot;
                        case "isNative":
                            return false;
                        default:
                            return 0L;
                    }
                });
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("layer: a DLL that cannot load is LOAD_FAILED; other errors reach the caller as they are")
    @CsvSource({"java.lang.UnsatisfiedLinkError", "java.lang.NoClassDefFoundError", "java.lang.InternalError"})
    void linkageErrors(String type) throws Exception {
        Throwable thrown = (Throwable) Class.forName(type).getConstructor(String.class).newInstance("from the bridge");
        try (Keyboard keyboard = new Keyboard.Builder(throwing("play", thrown, new ProcessSlot())).open()) {
            if (thrown instanceof LinkageError) {
                KeyboardException e = assertThrows(KeyboardException.class, () -> keyboard.play(Tone.BELL));
                assertSame(Reason.LOAD_FAILED, e.reason(), e.getMessage());
            } else {
                assertSame(thrown, assertThrows(Error.class, () -> keyboard.play(Tone.BELL)));
            }
        }
    }

    @ParameterizedTest(name = "{0} throws")
    @DisplayName("layer: a clean-up call that throws does not keep close from its fence or the slot from being freed")
    @CsvSource({"unregisterAllListener", "hotKeyCleanup", "toneCleanup"})
    void throwingCleanup(String method) throws Exception {
        ProcessSlot slot = new ProcessSlot();
        Recorder recorder = new Recorder();
        Keyboard.Builder builder = new Keyboard.Builder(throwing(method, new IllegalStateException("a bridge's fault"),
                slot)).callTimeout(1000);
        try (Capture capture = new Capture()) {
            Keyboard keyboard = builder.handler(recorder).open();
            long started = System.nanoTime();
            keyboard.close();
            assertTrue(System.nanoTime() - started < TimeUnit.MILLISECONDS.toNanos(900), "close waited its bound");
            assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.CLOSED), recorder.states());
            assertEquals(1, capture.count("letting go"), "logged");
            builder.handler(null).open().close();  // the slot is free
        }
    }

    /** Bridges that pass every call to {@code inner}, except that {@code method} throws while {@code times} is above 0. */
    private static Bridges failing(Bridges inner, String method, Throwable thrown,
            java.util.concurrent.atomic.AtomicInteger times) {
        return (Bridges) java.lang.reflect.Proxy.newProxyInstance(Bridges.class.getClassLoader(),
                new Class<?>[] {Bridges.class}, (proxy, called, args) -> {
                    if (called.getName().equals(method) && times.getAndDecrement() > 0) {
                        throw thrown;
                    }
                    try {
                        return called.invoke(inner, args);
                    } catch (java.lang.reflect.InvocationTargetException e) {
                        throw e.getCause();
                    }
                });
    }

    @Test
    @DisplayName("layer: a reconnection attempt that meets a DLL that cannot load tries again later")
    void reconnectionStopsOnALinkageError() throws Exception {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        java.util.concurrent.atomic.AtomicInteger failures = new java.util.concurrent.atomic.AtomicInteger();
        Bridges bridges = failing(simulation.builder().bridges, "toneInit",
                new UnsatisfiedLinkError("from the bridge"), failures);
        Recorder recorder = new Recorder();
        try (Keyboard keyboard = new Keyboard.Builder(bridges).handler(recorder).reconnectDelays(10, 20).open()) {
            failures.set(2);
            simulation.detach();
            await("two attempts met the error and one more was made", () -> failures.get() < 0);
            simulation.reattach();
            await("connected again", () -> recorder.states().size() == 4);
            assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.DETACHED,
                    Keyboard.State.RECONNECTING, Keyboard.State.CONNECTED), recorder.states());
        } finally {
            simulation.close();
        }
    }

    @ParameterizedTest(name = "tones {0}, hot keys {1}, declared {2}")
    @DisplayName("layer: open with Long.MAX_VALUE as call timeout, whatever the number of start-up calls")
    @CsvSource({"false, true, 0", "true, true, 1", "false, true, 2", "true, false, 0"})
    void openTimeoutProductOverflows(boolean tones, boolean hotKeys, int declared) throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard.Builder builder = simulation.builder().tones(tones).hotKeys(hotKeys).callTimeout(Long.MAX_VALUE);
            for (int i = 0; i < declared; i++) {
                builder.hotKey(i, 0, 0);
            }
            try (Keyboard keyboard = builder.open()) {
                assertSame(Keyboard.State.CONNECTED, keyboard.state());
            }
        }
    }

    @Test
    @DisplayName("layer: a stopped call thread still runs what was queued before the stop, then ends")
    void stoppedCallThreadDropsQueuedTasks() throws Exception {
        CallThread thread = new CallThread("stopping-call-thread");
        CountDownLatch entered = new CountDownLatch(1);
        CountDownLatch release = new CountDownLatch(1);
        thread.offer(() -> {
            entered.countDown();
            try {
                release.await(BOUND_MS, TimeUnit.MILLISECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        });
        assertTrue(entered.await(BOUND_MS, TimeUnit.MILLISECONDS));
        long[] answer = {-1};
        Thread caller = new Thread(() -> {
            try {
                answer[0] = thread.call("queued", () -> 42, BOUND_MS);
            } catch (KeyboardException e) {
                answer[0] = -2;
            }
        });
        caller.start();
        await("the call queued", () -> caller.getState() == Thread.State.TIMED_WAITING);
        thread.stop();
        release.countDown();
        caller.join(BOUND_MS);
        assertEquals(42, answer[0], "the call queued before stop()");
        thread.thread().join(BOUND_MS);
        assertTrue(!thread.thread().isAlive(), "the stopped thread ended");
    }

    @Test
    @DisplayName("layer: a keyboard waiting for the slot starts only after the previous one's clean-up calls ran")
    void slotFreedBeforeTheCleanUp() throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard first = simulation.builder().callTimeout(200).open();
            // The clean-up calls, slowed, overlap a start-up made too early.
            Thread player = closeDuringASlowCall(simulation, first, 100);
            try (Keyboard second = simulation.builder().callTimeout(BOUND_MS).open()) {
                List<String> calls = simulation.calls();
                assertTrue(calls.lastIndexOf("TonePort.cleanup") < calls.lastIndexOf("TonePort.Init"),
                        "the first keyboard's clean-up after the second's start-up: " + calls);
                simulation.scriptCallDelay(0);
                assertTrue(second.tryPlay(Tone.SHORT), "tryPlay on the second keyboard");
            }
            player.join(BOUND_MS);
        }
    }

    @Test
    @DisplayName("layer: close from many threads at once lets go once and delivers CLOSED once")
    void concurrentCloseLetsGoTwice() throws Exception {
        for (int round = 0; round < 200; round++) {
            Recorder recorder = new Recorder();
            try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
                Keyboard keyboard = simulation.builder().handler(recorder).open();
                java.util.concurrent.CyclicBarrier start = new java.util.concurrent.CyclicBarrier(4);
                long at = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(20);
                List<Thread> closers = new ArrayList<Thread>();
                for (int i = 0; i < 4; i++) {
                    Thread closer = new Thread(() -> {
                        try {
                            start.await(BOUND_MS, TimeUnit.MILLISECONDS);
                        } catch (Exception e) {
                            return;
                        }
                        while (System.nanoTime() - at < 0) {
                            // released by the clock rather than one by one by the barrier: the calls overlap
                        }
                        keyboard.close();
                    });
                    closer.start();
                    closers.add(closer);
                }
                for (Thread closer : closers) {
                    closer.join(BOUND_MS);
                }
                List<String> calls = simulation.calls();
                for (String cleanUp : Arrays.asList("ChordGate.UnregisterAllListener", "ChordGate.Cleanup",
                        "TonePort.cleanup")) {
                    assertEquals(1, Collections.frequency(calls, cleanUp), "round " + round + ": " + calls);
                }
                assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.CLOSED), recorder.states(),
                        "round " + round);
            }
        }
    }

    @Test
    @DisplayName("layer: a refused hand-over counts the hot keys it lost, not the failures and states it keeps")
    void rejectionCountsKeptEvents() throws Exception {
        java.util.concurrent.atomic.AtomicBoolean refuse = new java.util.concurrent.atomic.AtomicBoolean();
        java.util.concurrent.ExecutorService inner = userExecutor("refusing-executor");
        java.util.concurrent.Executor executor = task -> {
            if (refuse.get()) {
                throw new java.util.concurrent.RejectedExecutionException("refused");
            }
            inner.execute(task);
        };
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().handler(recorder).executor(executor).open();
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            refuse.set(true);
            simulation.keyboardFailed();
            simulation.hotKey(1, 0, 0);
            refuse.set(false);
            simulation.hotKey(2, 0, 0);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS), "idle after the refusals");
            assertEquals(1, recorder.failures.get(), "the failure delivered once the executor took a task");
            assertEquals(Arrays.asList(new HotKeyEvent(2, 0, 0)), recorder.hotKeys());
            assertEquals(1, keyboard.droppedEvents(), "dropped: the refused hot key only");
            refuse.set(true);  // CLOSED refused too: what waits behind it is let go, and still not a hot key
            simulation.keyboardFailed();
            keyboard.close();
            assertEquals(1, keyboard.droppedEvents(), "a failure or CLOSED refused at close counted as a hot key");
        } finally {
            inner.shutdown();
        }
    }

    @Test
    @DisplayName("layer: an executor that waits for the thread it hands the task to does not deadlock the delivery")
    void executorCalledUnderTheDispatcherLock() throws Exception {
        java.util.concurrent.ExecutorService pool = userExecutor("handing-executor");
        List<Throwable> stuck = Collections.synchronizedList(new ArrayList<Throwable>());
        java.util.concurrent.Executor waiting = task -> {
            try {
                pool.submit(task).get(2000, TimeUnit.MILLISECONDS);  // hands over, then waits for it to run
            } catch (Exception e) {
                stuck.add(e);
            }
        };
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).executor(waiting).open()) {
            simulation.hotKey(1, 2, 3);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS), "idle");
            assertEquals(Arrays.asList(new HotKeyEvent(1, 2, 3)), recorder.hotKeys());
            assertEquals(Collections.emptyList(), stuck, "hand-overs that did not complete");
        } finally {
            pool.shutdown();
        }
    }

    @Test
    @DisplayName("layer: the process slot wakes a newcomer as soon as it is freed, not at its deadline")
    void freeDoesNotWakeAWaitingOpen() throws Exception {
        ProcessSlot slot = new ProcessSlot();
        Object a = new Object();
        slot.claim(a, CallThread.deadline(10));
        slot.lettingGo(a);
        Thread freer = new Thread(() -> {
            try {
                Thread.sleep(50);
            } catch (InterruptedException ignored) {
                return;
            }
            slot.free(a);
        });
        freer.start();
        long started = System.nanoTime();
        slot.claim(new Object(), CallThread.deadline(BOUND_MS));
        long waitedMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
        assertTrue(waitedMs < BOUND_MS / 2, "claimed " + waitedMs + " ms after a free 50 ms in");
        freer.join(BOUND_MS);
    }

    @Test
    @DisplayName("layer: a registration the keyboard refused is not made again after a reconnection")
    void refusedRegistrationJournalled() throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(10, 20).open()) {
            simulation.scriptRegistration(E_ACCESSDENIED);
            assertThrows(KeyboardException.class, () -> keyboard.register(1, 2, 3));
            simulation.scriptRegistration(0);
            keyboard.register(4, 5, 6);
            simulation.detach();
            simulation.reattach();
            await("connected again", () -> recorder.states().size() == 4);
            assertEquals(Arrays.asList("register(4, 5, 6)"), simulation.registrationCalls(), "made again");
        }
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("layer: scriptCallDelay delays the listener's calls at open and at close")
    @CsvSource({"open", "close"})
    void callDelaySkipsAListenerCall(String when) throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            boolean atOpen = when.equals("open");
            simulation.scriptCallDelay(atOpen ? 150 : 0);
            long started = System.nanoTime();
            Keyboard keyboard = simulation.builder().tones(false).open();  // ChordGate.Init, RegisterListener
            long openMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            simulation.scriptCallDelay(atOpen ? 0 : 150);
            started = System.nanoTime();
            keyboard.close();  // UnregisterAllListener, ChordGate.Cleanup
            long closeMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            long tookMs = atOpen ? openMs : closeMs;
            assertTrue(tookMs >= 290, when + " took " + tookMs + " ms for two calls of 150 ms");
        }
    }

    /**
     * Closes {@code keyboard} (call timeout 200 ms) while a 600 ms play is in flight, so that close gives
     * up; later calls take {@code laterDelayMs}. Returns the thread of the play.
     */
    private static Thread closeDuringASlowCall(SimulatedKeyboard simulation, Keyboard keyboard, long laterDelayMs)
            throws InterruptedException {
        Thread player = slowCallInFlight(simulation, keyboard, 600);
        simulation.scriptCallDelay(laterDelayMs);
        keyboard.close();
        return player;
    }

    /** Starts a play that takes {@code millis} and returns its thread once the call is in flight. */
    private static Thread slowCallInFlight(SimulatedKeyboard simulation, Keyboard keyboard, long millis)
            throws InterruptedException {
        simulation.scriptCallDelay(millis);
        Thread player = new Thread(() -> keyboard.tryPlay(Tone.BELL));
        player.start();
        await("the slow call in flight", () -> player.getState() == Thread.State.TIMED_WAITING);
        Thread.sleep(50);
        return player;
    }

    @Test
    @DisplayName("layer: once a close gave up, state() is CLOSED and calls fail CLOSED at once")
    void stateNotClosedAfterAGivenUpClose() throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().callTimeout(200).open();
            Thread player = closeDuringASlowCall(simulation, keyboard, 0);
            assertSame(Keyboard.State.CLOSED, keyboard.state());
            long started = System.nanoTime();
            KeyboardException e = assertThrows(KeyboardException.class, () -> keyboard.register(1, 2, 3));
            assertSame(Reason.CLOSED, e.reason(), e.getMessage());
            long tookMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            assertTrue(tookMs < 300, "a call after close took " + tookMs + " ms");
            player.join(BOUND_MS);
        }
    }

    @Test
    @DisplayName("layer: a detachment that the call thread takes up after close() began neither reconnects nor is reported")
    void detachmentAfterCloseReconnects() throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().handler(recorder).callTimeout(BOUND_MS).reconnectDelays(1, 2)
                    .open();
            Thread player = slowCallInFlight(simulation, keyboard, 300);
            simulation.scriptCallDelay(0);
            simulation.detach();  // taken up by the call thread after the slow call, just before close's let-go
            keyboard.close();
            assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.CLOSED), recorder.states());
            assertEquals(1, Collections.frequency(simulation.calls(), "ChordGate.Cleanup"), "" + simulation.calls());
            player.join(BOUND_MS);
        }
    }
}
