package com.morvane.quorlink.keyboard;

import static com.morvane.quorlink.keyboard.KeyboardFixtures.*;
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

/** The API of a keyboard object: the outcome table of the native calls, open's failures, the call thread, time-outs, the builder's options, hot keys by name and the handler's shape. Against the simulated keyboard; every wait is bounded. */
@Timeout(value = 60, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class KeyboardApiTests {
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
        try (Keyboard keyboard = simulation.builder().callTimeout(100, TimeUnit.MILLISECONDS).open()) {
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

    @ParameterizedTest(name = "reconnect {0}")
    @DisplayName("layer: while detached, play, register, unregister and unregisterAll fail DETACHED at once, with no native call")
    @CsvSource({"true", "false"})
    void detachedAnswersAtOnce(boolean reconnect) throws Exception {
        Recorder recorder = new Recorder();
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Keyboard keyboard = simulation.builder().handler(recorder).reconnect(reconnect)
                .reconnectDelays(10000, 30000, TimeUnit.MILLISECONDS).open()) {
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
        try (Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(10, 20, TimeUnit.MILLISECONDS).open()) {
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
    @DisplayName("layer: durations saturate: Long.MAX_VALUE as call timeout and as wait")
    void durationsSaturate() throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().callTimeout(Long.MAX_VALUE, TimeUnit.MILLISECONDS).reconnectDelays(1, Long.MAX_VALUE, TimeUnit.MILLISECONDS)
                     .handler(new Recorder()).open()) {
            keyboard.play(Tone.BELL);
            assertEquals(0, keyboard.register(1, 2, 3));
            press(simulation, keyboard, 1, 2, 3);
            assertTrue(simulation.awaitIdle(Long.MAX_VALUE, TimeUnit.DAYS));
        }
        assertEquals(Long.MAX_VALUE, Reconnector.nextDelay(Long.MAX_VALUE / 2 + 1, Long.MAX_VALUE));
        assertTrue(CallThread.millisLeft(CallThread.deadline(Long.MAX_VALUE)) > 0, "a deadline in the past");
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("layer: a DLL that cannot load is LOAD_FAILED; other errors reach the caller as they are")
    @CsvSource({"java.lang.UnsatisfiedLinkError", "java.lang.NoClassDefFoundError", "java.lang.InternalError",
        "java.lang.IllegalStateException"})
    void linkageErrors(String type) throws Exception {
        Throwable thrown = (Throwable) Class.forName(type).getConstructor(String.class).newInstance("from the bridge");
        try (Keyboard keyboard = new Keyboard.Builder(throwing("play", thrown, new ProcessSlot())).open()) {
            if (thrown instanceof LinkageError) {
                KeyboardException e = assertThrows(KeyboardException.class, () -> keyboard.play(Tone.BELL));
                assertSame(Reason.LOAD_FAILED, e.reason(), e.getMessage());
            } else {
                assertSame(thrown, assertThrows(Throwable.class, () -> keyboard.play(Tone.BELL)));
            }
        }
    }

    @ParameterizedTest(name = "tones {0}, hot keys {1}, declared {2}")
    @DisplayName("layer: open with Long.MAX_VALUE as call timeout, whatever the number of start-up calls")
    @CsvSource({"false, true, 0", "true, true, 1", "false, true, 2", "true, false, 0"})
    void openTimeoutProductOverflows(boolean tones, boolean hotKeys, int declared) throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard.Builder builder = simulation.builder().tones(tones).hotKeys(hotKeys).callTimeout(Long.MAX_VALUE, TimeUnit.MILLISECONDS);
            for (int i = 0; i < declared; i++) {
                builder.hotKey(i, 0, 0);
            }
            try (Keyboard keyboard = builder.open()) {
                assertSame(Keyboard.State.CONNECTED, keyboard.state());
            }
        }
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("api: a call that gives up before its native call started is withdrawn; a started one may complete")
    @CsvSource({"timed out while queued", "interrupted while queued", "timed out while running"})
    void givenUpCalls(String row) throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).callTimeout(300, TimeUnit.MILLISECONDS)
                     .reconnectDelays(10, 20, TimeUnit.MILLISECONDS).open()) {
            boolean queued = row.endsWith("queued");
            Thread player = queued ? slowCallInFlight(simulation, keyboard, 600) : null;
            simulation.scriptCallDelay(queued ? 0 : 600);
            if (row.startsWith("interrupted")) {
                Thread.currentThread().interrupt();
            }
            KeyboardException e = assertThrows(KeyboardException.class, () -> keyboard.register(HotKey.of(1, 2, 3)));
            assertSame(row.startsWith("interrupted") ? Reason.INTERRUPTED : Reason.TIMEOUT, e.reason(), e.getMessage());
            assertEquals(row.startsWith("interrupted"), Thread.interrupted(), "the interrupt flag kept");
            assertTrue(e.getMessage().contains(queued ? "withdrawn" : "may still take effect"), e.getMessage());
            if (player != null) {
                player.join(BOUND_MS);  // its caller may have given up too: wait for the play itself
                await("the slow call finished", () -> !simulation.tonesPlayed().isEmpty());
            } else {
                await("the started registration completed", () -> !simulation.registrations().isEmpty());
            }
            simulation.scriptCallDelay(0);
            keyboard.play(Tone.BELL);  // behind whatever the call thread still had
            List<HotKey> made = queued ? Collections.<HotKey>emptyList() : Arrays.asList(HotKey.of(1, 2, 3));
            assertEquals(made, simulation.registrations(), "on the keyboard");
            assertEquals(made, keyboard.registrations(), "in the journal");
            simulation.detach();
            simulation.reattach();
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertEquals(made, simulation.registrations(), "made again at the reconnection");
        }
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("api: a handler is a lambda; its state changes name the keyboard open() returned, whose state() agrees")
    @CsvSource({"the library's thread", "a direct executor"})
    void lambdaHandlerAndItsKeyboard(String where) throws Exception {
        boolean direct = where.startsWith("a direct");
        List<HotKeyEvent> hits = Collections.synchronizedList(new ArrayList<HotKeyEvent>());
        List<Object> stateCalls = Collections.synchronizedList(new ArrayList<Object>());
        HotKeyHandler handler = new HotKeyHandler() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                hits.add(event);
            }

            @Override
            public void onStateChange(Keyboard keyboard, Keyboard.State state) {
                // state() is published before the change is handed over: a direct executor, which runs
                // this where the change is made, sees it (the library's thread may see a later one)
                stateCalls.add(Arrays.asList(keyboard, state, direct ? keyboard.state() : state));
            }
        };
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().handler(handler)
                    .executor(direct ? Runnable::run : null)
                    .reconnectDelays(10, 20, TimeUnit.MILLISECONDS).open();
            simulation.detach();
            simulation.reattach();
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            keyboard.close();
            List<Object> expected = new ArrayList<Object>();
            for (Keyboard.State state : Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.DETACHED,
                    Keyboard.State.RECONNECTING, Keyboard.State.CONNECTED, Keyboard.State.CLOSED)) {
                expected.add(Arrays.asList(keyboard, state, state));
            }
            assertEquals(expected, stateCalls);
        }
        // The one abstract method: a lambda compiles and receives the hot keys.
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(hits::add).open()) {
            press(simulation, keyboard, 7, 2, 300);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertEquals(Arrays.asList(new HotKeyEvent(7, 2, 300)), hits);
            assertSame(keyboard, hits.get(0).keyboard());
            assertEquals(HotKey.of(7, 2, 300), hits.get(0).hotKey());
        }
    }

    @ParameterizedTest(name = "{0} and {1}: equal {2}")
    @DisplayName("api: HotKey and HotKeyEvent are equal when all three values are; a key is its first two")
    @CsvSource({
        "1 2 3, 1 2 3, true, true",
        "1 2 3, 1 2 4, false, true",
        "1 2 3, 1 3 3, false, false",
        "1 2 3, 2 2 3, false, false",
        "-1 0 0, 0 -1 0, false, false"})
    void valueEquality(String a, String b, boolean equal, boolean sameKey) {
        int[] x = values(a);
        int[] y = values(b);
        HotKey keyA = HotKey.of(x[0], x[1], x[2]);
        HotKey keyB = HotKey.of(y[0], y[1], y[2]);
        assertEquals(equal, keyA.equals(keyB));
        assertEquals(equal, new HotKeyEvent(x[0], x[1], x[2]).equals(new HotKeyEvent(y[0], y[1], y[2])));
        assertEquals(sameKey, keyA.sameKey(keyB));
        if (equal) {
            assertEquals(keyA.hashCode(), keyB.hashCode());
            assertEquals(new HotKeyEvent(x[0], x[1], x[2]).hashCode(), new HotKeyEvent(y[0], y[1], y[2]).hashCode());
        }
        assertEquals("HotKey(" + x[0] + ", " + x[1] + ", " + x[2] + ")", keyA.toString());
    }

    private static int[] values(String text) {
        String[] parts = text.trim().split(" ");
        return new int[] {Integer.parseInt(parts[0]), Integer.parseInt(parts[1]), Integer.parseInt(parts[2])};
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("api: the builder refuses 0 where at least 1 is due")
    @CsvSource({"queueCapacity", "callTimeout", "reconnectDelays first", "reconnectDelays max below first"})
    void builderRefusesZero(String option) {
        Keyboard.Builder builder = new SimulatedKeyboard().builder();
        assertThrows(IllegalArgumentException.class, () -> {
            switch (option) {
                case "queueCapacity":
                    builder.queueCapacity(0);
                    break;
                case "callTimeout":
                    builder.callTimeout(0, TimeUnit.SECONDS);
                    break;
                case "reconnectDelays first":
                    builder.reconnectDelays(0, 10, TimeUnit.MILLISECONDS);
                    break;
                default:
                    builder.reconnectDelays(2, 1, TimeUnit.SECONDS);
            }
        });
        builder.queueCapacity(1).callTimeout(1, TimeUnit.NANOSECONDS).reconnectDelays(1, 1, TimeUnit.MICROSECONDS);
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("api: open() refuses contradictory options with IllegalStateException, and opens nothing")
    @CsvSource({"no tones and no hot keys", "a declared hot key without hot keys"})
    void contradictoryOptions(String row) {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard.Builder builder = simulation.builder().hotKeys(false);
        if (row.startsWith("no tones")) {
            builder.tones(false);
        } else {
            builder.hotKey(HotKey.of(1, 2, 3));
        }
        assertThrows(IllegalStateException.class, builder::open);
        assertEquals(Collections.emptyList(), simulation.calls());
    }

    @ParameterizedTest(name = "opened with {0} only")
    @DisplayName("api: a call of the bridge not opened fails NOT_OPEN at once, naming that bridge, with no native call")
    @CsvSource({"tones", "hot keys"})
    void callOfTheBridgeNotOpened(String opened) throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().tones(opened.equals("tones")).hotKeys(opened.equals("hot keys"))
                     .open()) {
            int calls = simulation.calls().size();
            KeyboardException e = assertThrows(KeyboardException.class, () -> {
                if (opened.equals("tones")) {
                    keyboard.register(1, 2, 3);
                } else {
                    keyboard.play(Tone.BELL);
                }
            });
            assertSame(Reason.NOT_OPEN, e.reason(), e.getMessage());
            assertTrue(e.getMessage().contains("without " + (opened.equals("tones") ? "hot keys" : "tones")),
                    e.getMessage());
            assertEquals(calls, simulation.calls().size(), "native calls made");
        }
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("api: with awaitKeyboard, an absent keyboard and a component not installed both open DETACHED")
    @CsvSource({"TonePort.Init -3", "ChordGate.Init -2"})
    void awaitKeyboardOpensDetached(String row) throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            if (row.startsWith("TonePort")) {
                simulation.scriptToneInit(-3);
            } else {
                simulation.scriptHotKeyInit(-2);
            }
            try (Keyboard keyboard = simulation.builder().awaitKeyboard(true)
                    .reconnectDelays(10, 20, TimeUnit.MILLISECONDS).open()) {
                assertTrue(keyboard.awaitState(Keyboard.State.CONNECTED, BOUND_MS, TimeUnit.MILLISECONDS),
                        "connected when it arrives");
            }
        }
    }

    @Test
    @DisplayName("api: open's bound is one call timeout per start-up call, all of them counted")
    void openBoundCountsEveryStartUpCall() throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            simulation.scriptCallDelay(800);  // three start-up calls: 2,400 ms, within 3 x 1,000 but not 2 x 1,000
            try (Keyboard keyboard = simulation.builder().callTimeout(1000, TimeUnit.MILLISECONDS).open()) {
                assertSame(Keyboard.State.CONNECTED, keyboard.state());
                simulation.scriptCallDelay(0);
            }
        }
    }
}
