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

/** The event dispatcher: the bounded queue, executors (the own thread, a pool, a direct one, one that refuses), handlers that throw or block, the order of events. Against the simulated keyboard; every wait is bounded. */
@Timeout(value = 60, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class KeyboardDispatcherTests {
    @Test
    @DisplayName("layer: a full queue drops the newest, counts them, says so once per burst, keeps the order")
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
            press(simulation, keyboard, 1, -1, 7);
            assertTrue(entered.await(BOUND_MS, TimeUnit.MILLISECONDS), "the handler got the first event");
            long started = System.nanoTime();
            for (int i = 2; i <= 50; i++) {
                press(simulation, keyboard, i, -i, 7);
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
            // A second overflow, after the queue drained, is a burst of its own: said again, once.
            for (int i = 0; i < 30; i++) {
                press(simulation, keyboard, 100 + i, 0, 7);
            }
            await("the second overflow", () -> keyboard.droppedEvents() > 39);
            releaseAgain.countDown();
            await("the second burst drained", () -> recorder.hotKeys().size() == 22);
            assertEquals(2, capture.count("newer hot-key events are dropped"), "times the overflow was logged");
            for (Thread thread : new ArrayList<Thread>(recorder.threads)) {  // a handler call may still add
                assertEquals("quorlink-keyboard-events", thread.getName(), "the handler's thread");
            }
        }
    }

    // A failing assertion in a user's handler is an Error, not an Exception: it must still reach someone.
    @ParameterizedTest(name = "to {0}")
    @DisplayName("layer: what a handler throws reaches the uncaught-exception handler, is no warning, and delivery goes on")
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
        // The simulation's bridges without the simulation's keeper of handler errors: as the real keyboard.
        Keyboard.Builder builder = new Keyboard.Builder(simulation.builder().bridges).handler(recorder)
                .executor(executor);
        if (viaBuilder) {
            builder.handlerErrors((t, e) -> builderGot.add(e));
        }
        try (Capture capture = new Capture(); Keyboard keyboard = builder.open()) {
            press(simulation, keyboard, 1, 0, 0);
            press(simulation, keyboard, 2, 0, 0);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS), "handled");
            assertEquals(2, recorder.hotKeys().size(), "delivered after the throw");
            List<Throwable> got = viaBuilder ? builderGot : threadGot;
            assertEquals(1, got.size(), "received by " + route);
            assertTrue(got.get(0) instanceof AssertionError, String.valueOf(got.get(0)));
            assertEquals(0, (viaBuilder ? threadGot : builderGot).size(), "received by the other");
            assertEquals(0, capture.count("a HotKeyHandler method threw"), "the user's own error as a warning");
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
        HotKeyHandler handler = new HotKeyHandler() {
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
        press(simulation, opened[0], 1, 1, 1);
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
        HotKeyHandler handler = new HotKeyHandler() {
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
                press(simulation, keyboard, 1, 2, 3);
                assertTrue(handlerWaits.await(BOUND_MS, TimeUnit.MILLISECONDS), "the handler started");
                // The handler now waits for this lock; the API and the keyboard's thread must not.
                keyboard.register(4, 5, 6);
                keyboard.play(Tone.LIMIT);
                press(simulation, keyboard, 7, 8, 9);
            }
            await("both events handled once the lock is free", () -> handled.size() == 2);
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
                press(simulation, keyboard, i, 0, 0);
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
            press(simulation, keyboard, 1, 0, 0);
            press(simulation, keyboard, 2, 0, 0);
            refuse.set(false);
            press(simulation, keyboard, 3, 0, 0);
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
            press(simulation, keyboard, 1, 0, 0);
            Thread.sleep(300);
            press(simulation, keyboard, 2, 0, 0);
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
            press(simulation, keyboard, 7, -2, 300);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            HotKeyEvent event = recorder.hotKeys().get(0);
            assertSame(keyboard, event.keyboard());
            assertTrue(event.when() >= before && event.when() <= System.currentTimeMillis(), "when " + event.when());
            assertEquals(-2, event.second());
            assertEquals(Arrays.asList("register 0"), answers);
            assertEquals(Arrays.asList("register(7, -2, 300)", "register(7, -2, 301)"), simulation.registrationCalls());
            assertEquals(Arrays.asList(HotKey.of(7, -2, 301)), keyboard.registrations(), "the same key, replaced");
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
            HotKeyHandler handler = new HotKeyHandler() {
                @Override
                public void onHotKey(HotKeyEvent event) {
                    callsSeen.add(Thread.currentThread() == opener ? -1 : simulation.calls().size());
                }

                @Override
                public void onStateChange(Keyboard keyboard, Keyboard.State state) {
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
    @DisplayName("layer: a refused hand-over counts the hot keys it lost, not the failures and states it keeps")
    void rejectionCountsKeptEvents() throws Exception {
        java.util.concurrent.atomic.AtomicBoolean refuse = new java.util.concurrent.atomic.AtomicBoolean();
        java.util.concurrent.ExecutorService inner = userExecutor("refusing-executor");
        java.util.concurrent.Executor executor = refusingWhile(refuse, inner);
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            Keyboard keyboard = simulation.builder().handler(recorder).executor(executor).open();
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            refuse.set(true);
            simulation.keyboardFailed();
            press(simulation, keyboard, 1, 0, 0);
            refuse.set(false);
            press(simulation, keyboard, 2, 0, 0);
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
            press(simulation, keyboard, 1, 2, 3);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS), "idle");
            assertEquals(Arrays.asList(new HotKeyEvent(1, 2, 3)), recorder.hotKeys());
            assertEquals(Collections.emptyList(), stuck, "hand-overs that did not complete");
        } finally {
            pool.shutdown();
        }
    }

    @Test
    @DisplayName("dispatcher: hot keys lost to a refusing executor free their places in the queue")
    void refusedHotKeysFreeTheQueue() throws Exception {
        java.util.concurrent.atomic.AtomicBoolean refuse = new java.util.concurrent.atomic.AtomicBoolean();
        java.util.concurrent.ExecutorService inner = userExecutor("refusing-executor");
        java.util.concurrent.Executor executor = refusingWhile(refuse, inner);
        Recorder recorder = new Recorder();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).executor(executor).queueCapacity(2).open()) {
            keyboard.register(1, 0, 0);
            keyboard.register(2, 0, 0);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            refuse.set(true);
            simulation.hotKey(1, 0, 0);  // each refused: lost and counted
            simulation.hotKey(2, 0, 0);
            assertEquals(2, keyboard.droppedEvents());
            refuse.set(false);
            simulation.hotKey(1, 0, 1);  // the queue of two is empty again: both taken
            simulation.hotKey(2, 0, 1);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertEquals(Arrays.asList(new HotKeyEvent(1, 0, 1), new HotKeyEvent(2, 0, 1)), recorder.hotKeys());
            assertEquals(2, keyboard.droppedEvents(), "dropped as if the queue were still full");
        } finally {
            inner.shutdown();
        }
    }

    @Test
    @DisplayName("dispatcher: an error receiver that throws does not escape into the executor; delivery goes on")
    void throwingErrorReceiverStaysInside() throws Exception {
        List<Throwable> escaped = Collections.synchronizedList(new ArrayList<Throwable>());
        java.util.concurrent.ExecutorService inner = userExecutor("catching-executor");
        java.util.concurrent.Executor executor = task -> inner.execute(() -> {
            try {
                task.run();
            } catch (Throwable t) {
                escaped.add(t);
            }
        });
        Recorder recorder = new Recorder() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                super.onHotKey(event);
                throw new IllegalStateException("a handler's fault");
            }
        };
        try (SimulatedKeyboard simulation = new SimulatedKeyboard();
             Keyboard keyboard = simulation.builder().handler(recorder).executor(executor).handlerErrors((t, e) -> {
                 throw new IllegalStateException("the receiver's own fault");
             }).open()) {
            press(simulation, keyboard, 1, 0, 0);
            press(simulation, keyboard, 2, 0, 0);
            assertTrue(simulation.awaitIdle(BOUND_MS, TimeUnit.MILLISECONDS));
            assertEquals(2, recorder.hotKeys().size(), "delivered after the receiver threw");
            keyboard.close();
            assertEquals(Collections.emptyList(), escaped, "thrown into the executor");
        } finally {
            inner.shutdown();
        }
    }

    @Test
    @DisplayName("dispatcher: a failed open leaves no event thread behind")
    void failedOpenStopsTheEventThread() throws Exception {
        java.util.Set<Thread> before = Thread.getAllStackTraces().keySet();
        try (SimulatedKeyboard simulation = new SimulatedKeyboard()) {
            for (int i = 0; i < 3; i++) {
                simulation.scriptHotKeyInit(-2);
                assertThrows(KeyboardException.class, () -> simulation.builder().handler(new Recorder()).open());
            }
        }
        await("no event thread left", () -> newThreads(before, "quorlink-keyboard-events").isEmpty());
    }

    /** An executor that refuses every task while {@code refuse} is set, and hands the rest to {@code inner}. */
    private static java.util.concurrent.Executor refusingWhile(java.util.concurrent.atomic.AtomicBoolean refuse,
                                                               java.util.concurrent.Executor inner) {
        return task -> {
            if (refuse.get()) {
                throw new java.util.concurrent.RejectedExecutionException("refused");
            }
            inner.execute(task);
        };
    }
}
