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

/** close() as a fence: what has run when it returns, what never starts after it, its bound, interrupts, the process slot. Against the simulated keyboard; every wait is bounded. */
@Timeout(value = 60, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class KeyboardFenceTests {
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
        press(simulation, opened[0], 1, 1, 1);
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
            press(simulation, keyboard, i, 0, 0);
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
                press(simulation, k, run, 0, 0);
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
        Keyboard first = simulation.builder().callTimeout(200, TimeUnit.MILLISECONDS).open();
        simulation.scriptCallDelay(1000);
        Thread player = new Thread(() -> first.tryPlay(Tone.BELL));
        player.start();
        Thread.sleep(50);  // the 1 s call is in flight
        simulation.scriptCallDelay(0);
        long started = System.nanoTime();
        first.close();
        long closingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
        assertTrue(closingMs < 700, "close took " + closingMs + " ms with a 200 ms call timeout");
        KeyboardException e = assertThrows(KeyboardException.class, () -> simulation.builder().callTimeout(200, TimeUnit.MILLISECONDS).open());
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
        // A holder that is not letting go is not waited for: the newcomer fails at once, even with time left.
        KeyboardException[] late = new KeyboardException[1];
        Thread newcomer = new Thread(() -> {
            try {
                slot.claim(b, CallThread.deadline(BOUND_MS));
                slot.free(b);
            } catch (KeyboardException failed) {
                late[0] = failed;
            }
        });
        newcomer.start();
        await("the newcomer answered or waits", () -> !newcomer.isAlive()
                || newcomer.getState() == Thread.State.TIMED_WAITING);
        slot.free(a);
        newcomer.join(BOUND_MS);
        assertTrue(late[0] != null && late[0].reason() == Reason.ALREADY_OPEN, "waited for a holder not letting go");
        slot.claim(a, CallThread.deadline(10));
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

    @Test
    @DisplayName("layer: close racing a reconnection that completes: CLOSED stays last and state() CLOSED")
    void closeRacesReconnection() throws Exception {
        for (int round = 0; round < 100; round++) {
            Recorder recorder = new Recorder();
            SimulatedKeyboard simulation = new SimulatedKeyboard();
            Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(1, 2, TimeUnit.MILLISECONDS).open();
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
            opened[0] = simulation.builder().handler(recorder).callTimeout(3000, TimeUnit.MILLISECONDS).open();
            press(simulation, opened[0], 1, 0, 0);
            press(simulation, opened[0], 2, 0, 0);
            press(simulation, opened[0], 3, 0, 0);
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
        HotKeyHandler handler = blockingUntil(entered, release);
        try (Capture capture = new Capture(); SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().handler(handler).callTimeout(300, TimeUnit.MILLISECONDS).open();
            press(simulation, keyboard, 1, 2, 3);
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
            Keyboard keyboard = simulation.builder().callTimeout(200, TimeUnit.MILLISECONDS).open();
            simulation.scriptCallDelay(150);  // three clean-up calls: 450 ms
            long started = System.nanoTime();
            keyboard.close();
            long closingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            assertTrue(closingMs < 400, "close took " + closingMs + " ms with a 200 ms call timeout");
            assertEquals(1, capture.count("is still running"), "the give-up logged");
            assertEquals(1, capture.count("the native call ChordGate.") + capture.count("the native call TonePort."),
                    "the running native call named");
            assertEquals(0, capture.count("call null"), "a null for a name");
        }
    }

    @ParameterizedTest(name = "{0} throws")
    @DisplayName("layer: a clean-up call that throws does not keep close from its fence or the slot from being freed")
    @CsvSource({"unregisterAllListener", "hotKeyCleanup", "toneCleanup"})
    void throwingCleanup(String method) throws Exception {
        ProcessSlot slot = new ProcessSlot();
        Recorder recorder = new Recorder();
        Keyboard.Builder builder = new Keyboard.Builder(throwing(method, new IllegalStateException("a bridge's fault"),
                slot)).callTimeout(1000, TimeUnit.MILLISECONDS);
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
            Keyboard first = simulation.builder().callTimeout(200, TimeUnit.MILLISECONDS).open();
            // The clean-up calls, slowed, overlap a start-up made too early.
            Thread player = closeDuringASlowCall(simulation, first, 100);
            try (Keyboard second = simulation.builder().callTimeout(BOUND_MS, TimeUnit.MILLISECONDS).open()) {
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
    @DisplayName("layer: once a close gave up, state() is CLOSED and calls fail CLOSED at once")
    void stateNotClosedAfterAGivenUpClose() throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().callTimeout(200, TimeUnit.MILLISECONDS).open();
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
            Keyboard keyboard = simulation.builder().handler(recorder).callTimeout(BOUND_MS, TimeUnit.MILLISECONDS).reconnectDelays(1, 2, TimeUnit.MILLISECONDS)
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

    @ParameterizedTest(name = "events on {0}")
    @DisplayName("fence: an interrupted close still waits for the clean-up and the handler, then sets the flag again")
    @CsvSource({"the library's thread", "a user's executor"})
    void interruptedCloseKeepsTheFence(String where) throws Exception {
        java.util.concurrent.ExecutorService executor = where.startsWith("a user") ? userExecutor("fence-executor") : null;
        SlowRecorder recorder = new SlowRecorder(100);
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().handler(recorder).executor(executor).open();
            for (int i = 1; i <= 3; i++) {
                press(simulation, keyboard, i, 0, 0);
            }
            Thread.currentThread().interrupt();  // as a JUnit @Timeout or a pool shutting down does
            keyboard.close();
            assertTrue(Thread.interrupted(), "the interrupt flag set again");
            List<Object> atReturn = recorder.copy();
            assertEquals(3, recorder.hotKeys().size(), "hot keys handled when close returned: " + atReturn);
            assertEquals(Keyboard.State.CLOSED, atReturn.get(atReturn.size() - 1), "the last call: " + atReturn);
            assertEquals(0, recorder.running.get(), "a handler call still running");
        } finally {
            if (executor != null) {
                executor.shutdown();
            }
        }
    }

    @Test
    @DisplayName("fence: close waits one call timeout in all for the clean-up and the handler together")
    void closeWaitsOneTimeoutForCleanUpAndHandler() throws Exception {
        CountDownLatch entered = new CountDownLatch(1);
        CountDownLatch release = new CountDownLatch(1);
        HotKeyHandler blocking = blockingUntil(entered, release);
        try (Capture capture = new Capture(); SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().handler(blocking).callTimeout(1500, TimeUnit.MILLISECONDS).open();
            press(simulation, keyboard, 1, 0, 0);
            assertTrue(entered.await(BOUND_MS, TimeUnit.MILLISECONDS));
            simulation.scriptCallDelay(400);  // three clean-up calls: 1,200 ms of the 1,500
            long started = System.nanoTime();
            keyboard.close();
            long closingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            release.countDown();
            // One bound in all: about 1,500 ms; a fresh one for the handler would make it about 2,700.
            assertTrue(closingMs < 2300, "close took " + closingMs + " ms with a 1,500 ms call timeout");
            assertEquals(1, capture.count("the handler call onHotKey(HotKeyEvent(1, 0, 0)) on thread"), "named");
        }
    }

    @Test
    @DisplayName("fence: a reconnection attempt that falls due after close began does not run")
    void dueAttemptAfterCloseDoesNotRun() throws Exception {
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            simulation.scriptToneInit(-3);  // absent at open: opened DETACHED, the first attempt planned
            int[] initsAtClose = {-1};
            // A direct executor runs onStateChange on the call thread: the attempt falls due while it sleeps,
            // behind the clean-up that close() queued.
            HotKeyHandler handler = new HotKeyHandler() {
                @Override
                public void onHotKey(HotKeyEvent event) {
                }

                @Override
                public void onStateChange(Keyboard keyboard, Keyboard.State state) {
                    if (state == Keyboard.State.DETACHED) {
                        keyboard.close();
                        initsAtClose[0] = simulation.calls().size();
                        try {
                            Thread.sleep(200);
                        } catch (InterruptedException e) {
                            Thread.currentThread().interrupt();
                        }
                    }
                }
            };
            Keyboard keyboard = simulation.builder().awaitKeyboard(true).handler(handler).executor(Runnable::run)
                    .reconnectDelays(20, 40, TimeUnit.MILLISECONDS).open();
            assertTrue(keyboard.awaitState(Keyboard.State.CLOSED, BOUND_MS, TimeUnit.MILLISECONDS));
            keyboard.close();
            List<String> after = simulation.calls().subList(initsAtClose[0], simulation.calls().size());
            assertFalse(after.contains("TonePort.Init"), "an attempt after close began: " + after);
        }
    }

    /** A handler that counts {@code entered} down, then blocks until {@code release} opens (or the bound passes). */
    private static HotKeyHandler blockingUntil(CountDownLatch entered, CountDownLatch release) {
        return event -> {
            entered.countDown();
            try {
                release.await(BOUND_MS, TimeUnit.MILLISECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        };
    }
}
