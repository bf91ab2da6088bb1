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

/** Detachment and reconnection: the states, the backoff, the journal's replay, the declared hot keys, errors met by an attempt. Against the simulated keyboard; every wait is bounded. */
@Timeout(value = 60, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class KeyboardReconnectionTests {
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
        try (Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(20, 80, TimeUnit.MILLISECONDS).open()) {
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
            press(simulation, keyboard, 5, 5, 5);
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
        Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(10000, 30000, TimeUnit.MILLISECONDS).open();
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

    @Test
    @DisplayName("layer: awaitKeyboard opens DETACHED and connects when the keyboard arrives; declared hot keys first")
    void awaitKeyboardAndDeclaredHotKeys() throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            simulation.detach();  // absent before the program starts
            KeyboardException absent = assertThrows(KeyboardException.class, () -> simulation.open());
            assertSame(Reason.KEYBOARD_ABSENT, absent.reason());
            try (Keyboard keyboard = simulation.builder().awaitKeyboard(true)
                    .reconnectDelays(300, 300, TimeUnit.MILLISECONDS).hotKey(7, 2, 300).handler(recorder).open()) {
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
        assertEquals(20L, delays.get(delays.size() - 1), "a new reconnection starts again from the first delay");
        reconnector.cancel();
        assertTrue(planned.isEmpty(), "an attempt still planned after cancel");
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("layer: a reconnection attempt that meets an error (a DLL that cannot load, any other) tries again later")
    @CsvSource({"java.lang.UnsatisfiedLinkError", "java.lang.InternalError", "java.lang.IllegalStateException"})
    void reconnectionGoesOnAfterAnError(String type) throws Exception {
        Throwable thrown = (Throwable) Class.forName(type).getConstructor(String.class).newInstance("from the bridge");
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        java.util.concurrent.atomic.AtomicInteger failures = new java.util.concurrent.atomic.AtomicInteger();
        Bridges bridges = failing(simulation.builder().bridges, "toneInit", thrown, failures);
        Recorder recorder = new Recorder();
        try (Keyboard keyboard = new Keyboard.Builder(bridges).handler(recorder)
                .reconnectDelays(10, 20, TimeUnit.MILLISECONDS).open()) {
            failures.set(2);
            simulation.detach();
            await("two attempts met the error and one more was made", () -> failures.get() < 0);
            simulation.reattach();
            assertTrue(keyboard.awaitState(Keyboard.State.CONNECTED, BOUND_MS, TimeUnit.MILLISECONDS), "connected again");
            await("CONNECTED delivered", () -> recorder.states().size() == 4);
            assertEquals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.DETACHED,
                    Keyboard.State.RECONNECTING, Keyboard.State.CONNECTED), recorder.states());
        } finally {
            simulation.close();
        }
    }

    @Test
    @DisplayName("layer: a registration the keyboard refused is not made again after a reconnection")
    void refusedRegistrationJournalled() throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(10, 20, TimeUnit.MILLISECONDS).open()) {
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

    @Test
    @DisplayName("layer: a declared hot key refused at a reconnection is logged; the reconnection stands")
    void declaredHotKeyRefusedAtAReconnection() throws Exception {
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).hotKey(HotKey.of(7, 2, 300))
                     .reconnectDelays(10, 20, TimeUnit.MILLISECONDS).open()) {
            simulation.scriptRegistration(E_ACCESSDENIED);
            simulation.detach();
            simulation.reattach();
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertSame(Keyboard.State.CONNECTED, keyboard.state(), "the attempt failed on the refusal");
            assertEquals(Collections.emptyList(), keyboard.registrations(), "the refused key is not registered");
        }
    }

    @Test
    @DisplayName("layer: a keyboard object keeps the hot keys declared when it opened; a later hotKey reaches only later ones")
    void declaredHotKeysCopiedAtOpen() throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard.Builder builder = simulation.builder().hotKey(1, 2, 3).reconnectDelays(10, 20, TimeUnit.MILLISECONDS);
            try (Keyboard keyboard = builder.open()) {
                builder.hotKey(9, 9, 9);
                simulation.detach();
                simulation.reattach();
                assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
                assertSame(Keyboard.State.CONNECTED, keyboard.state());
                assertEquals(Arrays.asList("register(1, 2, 3)"), simulation.registrationCalls());
                assertEquals(Arrays.asList(HotKey.of(1, 2, 3)), keyboard.registrations());
            }
            try (Keyboard later = builder.open()) {
                assertEquals(Arrays.asList(HotKey.of(1, 2, 3), HotKey.of(9, 9, 9)), later.registrations());
            }
        }
    }

    @Test
    @DisplayName("layer: reconnection attempts that keep failing are said once at WARNING, traced at FINE")
    void repeatedFailedAttemptsWarnedOnce() throws Exception {
        try (Capture capture = new Capture(); SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().reconnectDelays(1, 2, TimeUnit.MILLISECONDS).open()) {
            int before = simulation.hotKeyInits();
            simulation.detach();
            await("ten failed attempts", () -> simulation.calls().stream().filter("TonePort.Init"::equals).count() >= 11);
            assertEquals(1, capture.count("is still not back after " + KeyboardLayer.REPEATED_FAILURES + " attempts"),
                    "the warnings: " + capture.records.size());
            assertEquals(0, capture.count("not back yet"), "a trace at WARNING");
            assertTrue(simulation.hotKeyInits() >= before);
            simulation.reattach();
            assertTrue(keyboard.awaitState(Keyboard.State.CONNECTED, BOUND_MS, TimeUnit.MILLISECONDS));
        }
    }
}
