package com.morvane.quorlink.keyboard;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

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
        Recorder recorder = new Recorder() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                super.onHotKey(event);
                entered.countDown();
                try {
                    release.await(BOUND_MS, TimeUnit.MILLISECONDS);
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
            release.countDown();
            await("11 events delivered", () -> recorder.hotKeys().size() == 11);
            List<HotKeyEvent> expected = new ArrayList<HotKeyEvent>();
            for (int i = 1; i <= 11; i++) {
                expected.add(new HotKeyEvent(i, -i, 7));
            }
            assertEquals(expected, recorder.hotKeys());
            assertEquals(1, capture.count("newer hot-key events are dropped"), "times the overflow was logged");
            for (Thread thread : recorder.threads) {
                assertEquals("quorlink-keyboard-events", thread.getName(), "the handler's thread");
            }
        }
    }

    @Test
    @DisplayName("layer: a throwing handler is logged and the next event delivered")
    void throwingHandler() throws Exception {
        Recorder recorder = new Recorder() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                super.onHotKey(event);
                if (event.first() == 1) {
                    throw new IllegalStateException("a handler's fault");
                }
            }
        };
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Capture capture = new Capture(); Keyboard keyboard = simulation.builder().handler(recorder).open()) {
            simulation.hotKey(1, 0, 0);
            simulation.hotKey(2, 0, 0);
            await("both delivered", () -> recorder.hotKeys().size() == 2);
            assertEquals(1, capture.count("a HotKeyHandler method threw"), "logged " + capture.records.size());
            assertSame(Keyboard.State.CONNECTED, keyboard.state());
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
        await("closed from its handler", () -> closer.states().contains(Keyboard.State.CLOSED));
        opened[0].close();
        assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.CLOSED), closer.states());
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
}
