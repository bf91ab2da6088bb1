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

/** SimulatedKeyboard as a test tool: awaitIdle, the registered keys it reports, the errors it keeps, its thread, its scripts. Against the simulated keyboard; every wait is bounded. */
@Timeout(value = 60, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class SimulatedKeyboardTests {
    @Test
    @DisplayName("layer: SimulatedKeyboard.awaitIdle returns once the handler has run, on the library's thread or an executor")
    void awaitIdle() throws Exception {
        java.util.concurrent.ExecutorService executor = userExecutor("idle-executor");
        java.util.concurrent.atomic.AtomicInteger handled = new java.util.concurrent.atomic.AtomicInteger();
        HotKeyHandler handler = new HotKeyHandler() {
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
                        press(simulation, keyboard, i, 0, 0);
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
        HotKeyHandler handler = new HotKeyHandler() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                raisers.add(Thread.currentThread());  // a direct executor runs it on the raising thread
            }
        };
        for (int i = 0; i < 1000; i++) {
            SimulatedKeyboard simulation = new SimulatedKeyboard();
            Keyboard keyboard = simulation.builder().handler(handler).executor(Runnable::run).open();
            press(simulation, keyboard, 1, 2, 3);
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

    @Test
    @DisplayName("simulation: awaitIdle covers a detachment's state changes and a reattachment's attempt, replay included")
    void awaitIdleCoversDetachmentAndReattachment() throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(30, 60, TimeUnit.MILLISECONDS)
                     .open()) {
            keyboard.register(HotKey.of(7, 2, 300));
            simulation.detach();
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertSame(Keyboard.State.RECONNECTING, keyboard.state());
            assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.DETACHED, Keyboard.State.RECONNECTING),
                    recorder.states());
            assertFalse(keyboard.awaitState(Keyboard.State.CONNECTED, 1, TimeUnit.MILLISECONDS), "connected while detached");
            // An attempt that fails after the reattachment: awaitIdle returns once it has.
            int inits = simulation.hotKeyInits();
            simulation.scriptHotKeyInit(-8);
            simulation.reattach();
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertEquals(inits + 1, simulation.hotKeyInits(), "the attempt had run");
            assertSame(Keyboard.State.RECONNECTING, keyboard.state());
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertSame(Keyboard.State.CONNECTED, keyboard.state());
            assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.DETACHED, Keyboard.State.RECONNECTING,
                    Keyboard.State.CONNECTED), recorder.states());
            assertEquals(Arrays.asList(HotKey.of(7, 2, 300)), simulation.registrations(), "the replay");
            simulation.hotKey(7, 2, 300);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertEquals(Arrays.asList(new HotKeyEvent(7, 2, 300)), recorder.hotKeys());
        }
    }

    @Test
    @DisplayName("simulation: a hot key is reported only while a registration with its first two values is in place")
    void onlyRegisteredKeysReported() throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).open()) {
            simulation.hotKey(1, 2, 3);  // forgot to register
            keyboard.register(1, 2, 9);
            simulation.hotKey(1, 2, 3);  // the third value is the keyboard's, passed on
            simulation.hotKey(1, 3, 3);
            simulation.hotKey(2, 2, 3);
            keyboard.register(HotKey.of(4, 5, 6));
            assertEquals(Arrays.asList(HotKey.of(1, 2, 9), HotKey.of(4, 5, 6)), simulation.registrations());
            assertEquals(simulation.registrations(), keyboard.registrations());
            keyboard.unregister(HotKey.of(1, 2, 0));  // by the first two values
            simulation.hotKey(1, 2, 3);
            simulation.hotKey(4, 5, 6);
            keyboard.unregisterAll();
            simulation.hotKey(4, 5, 6);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertEquals(Arrays.asList(new HotKeyEvent(1, 2, 3), new HotKeyEvent(4, 5, 6)), recorder.hotKeys());
            assertEquals(Collections.emptyList(), simulation.registrations());
            assertEquals(Collections.emptyList(), keyboard.registrations());
        }
    }

    @ParameterizedTest(name = "thrown from {0}")
    @DisplayName("simulation: what a handler throws fails the test, once: from awaitIdle or close, later ones suppressed")
    @CsvSource({"awaitIdle", "close"})
    void handlerErrorsFailTheTest(String from) throws Exception {
        AssertionError first = new AssertionError("a handler's failing assertion");
        IllegalStateException second = new IllegalStateException("a handler's fault");
        HotKeyHandler handler = event -> {
            if (event.first() == 1) {
                throw first;
            }
            throw second;
        };
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard keyboard = simulation.builder().handler(handler).open();
        press(simulation, keyboard, 1, 0, 0);
        press(simulation, keyboard, 2, 0, 0);
        AssertionError thrown;
        if (from.equals("awaitIdle")) {
            thrown = assertThrows(AssertionError.class, () -> simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS), "thrown again");
            keyboard.close();
            simulation.close();
        } else {
            keyboard.close();
            thrown = assertThrows(AssertionError.class, simulation::close);
            simulation.close();  // once
        }
        assertSame(first, thrown);
        assertEquals(Arrays.asList(second), Arrays.asList(thrown.getSuppressed()));
    }

    @Test
    @DisplayName("simulation: a throwable other than an AssertionError fails the test as the cause of one")
    void handlerExceptionWrapped() throws Exception {
        IllegalStateException fault = new IllegalStateException("a handler's fault");
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(event -> {
                 throw fault;
             }).open()) {
            press(simulation, keyboard, 1, 0, 0);
            AssertionError thrown = assertThrows(AssertionError.class,
                    () -> simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertSame(fault, thrown.getCause());
        }
    }

    @Test
    @DisplayName("simulation: raises from many threads at once start one keyboard thread, which close ends")
    void concurrentFirstRaisesStartOneThread() throws Exception {
        java.util.Set<Thread> before = Thread.getAllStackTraces().keySet();
        for (int round = 0; round < 100; round++) {
            SimulatedKeyboard simulation = new SimulatedKeyboard();
            java.util.concurrent.CyclicBarrier start = new java.util.concurrent.CyclicBarrier(4);
            List<Thread> raisers = new ArrayList<Thread>();
            for (int i = 0; i < 4; i++) {
                raisers.add(new Thread(() -> {
                    try {
                        start.await(BOUND_MS, TimeUnit.MILLISECONDS);
                    } catch (Exception e) {
                        return;
                    }
                    simulation.keyboardFailed();
                }));
            }
            for (Thread raiser : raisers) {
                raiser.start();
            }
            for (Thread raiser : raisers) {
                raiser.join(BOUND_MS);
            }
            simulation.close();
        }
        await("no simulated keyboard thread left", () -> newThreads(before, "simulated-keyboard").isEmpty());
    }
}
