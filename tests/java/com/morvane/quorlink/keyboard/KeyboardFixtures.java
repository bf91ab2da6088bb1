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

/** What the layer's test classes share: a handler that records, bounded waits, a log capture, bridges that fail. */
final class KeyboardFixtures {
    static final long E_ACCESSDENIED = 0x80070005L - (1L << 32);
    static final long BOUND_MS = 5000;

    /** Collects what a handler gets, for the test thread to wait on. */
    static class Recorder implements HotKeyHandler {
        final List<Object> seen = Collections.synchronizedList(new ArrayList<Object>());
        final List<Thread> threads = Collections.synchronizedList(new ArrayList<Thread>());
        final java.util.concurrent.atomic.AtomicInteger failures = new java.util.concurrent.atomic.AtomicInteger();

        @Override
        public void onKeyboardFailed(Keyboard keyboard) {
            failures.incrementAndGet();
        }

        @Override
        public void onHotKey(HotKeyEvent event) {
            threads.add(Thread.currentThread());
            seen.add(event);
        }

        @Override
        public void onStateChange(Keyboard keyboard, Keyboard.State state) {
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

    static void await(String what, BooleanSupplier condition) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(BOUND_MS);
        while (!condition.getAsBoolean()) {
            assertTrue(System.nanoTime() < deadline, "not within " + BOUND_MS + " ms: " + what);
            Thread.sleep(5);
        }
    }

    /** Keeps the layer's records of the parent logger, switched on at WARNING for the case. */
    static final class Capture extends Handler implements AutoCloseable {
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
        public void onStateChange(Keyboard keyboard, Keyboard.State state) {
            if (running.incrementAndGet() > 1) {
                overlaps.incrementAndGet();
            }
            super.onStateChange(keyboard, state);
            running.decrementAndGet();
        }
    }

    static java.util.concurrent.ExecutorService userExecutor(String name) {
        return java.util.concurrent.Executors.newSingleThreadExecutor(task -> {
            Thread thread = new Thread(task, name);
            thread.setDaemon(true);
            return thread;
        });
    }

    /** Bridges that answer success, except the method named, which throws what the case gives. */
    static Bridges throwing(String throwingMethod, Throwable thrown, ProcessSlot slot) {
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

    /** Bridges that pass every call to {@code inner}, except that {@code method} throws while {@code times} is above 0. */
    static Bridges failing(Bridges inner, String method, Throwable thrown,
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

    /**
     * Closes {@code keyboard} (call timeout 200 ms) while a 600 ms play is in flight, so that close gives
     * up; later calls take {@code laterDelayMs}. Returns the thread of the play.
     */
    static Thread closeDuringASlowCall(SimulatedKeyboard simulation, Keyboard keyboard, long laterDelayMs)
            throws InterruptedException {
        Thread player = slowCallInFlight(simulation, keyboard, 600);
        simulation.scriptCallDelay(laterDelayMs);
        keyboard.close();
        return player;
    }

    /** Starts a play that takes {@code millis} and returns its thread once the call is in flight. */
    static Thread slowCallInFlight(SimulatedKeyboard simulation, Keyboard keyboard, long millis)
            throws InterruptedException {
        simulation.scriptCallDelay(millis);
        Thread player = new Thread(() -> keyboard.tryPlay(Tone.BELL));
        player.start();
        await("the slow call in flight", () -> player.getState() == Thread.State.TIMED_WAITING);
        Thread.sleep(50);
        return player;
    }

    /**
     * Presses a hot key on the simulation, registering it first through {@code keyboard} when it is not yet:
     * the simulation, like the keyboard, reports only registered keys.
     */
    static void press(SimulatedKeyboard simulation, Keyboard keyboard, int first, int second, int third)
            throws KeyboardException {
        HotKey key = HotKey.of(first, second, third);
        boolean known = false;
        for (HotKey registered : keyboard.registrations()) {
            known |= registered.sameKey(key);
        }
        if (!known) {
            keyboard.register(key);
        }
        simulation.hotKey(key);
    }

    private KeyboardFixtures() {
    }
}
