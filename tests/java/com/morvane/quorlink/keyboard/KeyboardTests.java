package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.internal.LoaderTests;
import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

/**
 * The Java layer on the JDK, against the simulated keyboard: the outcome table, the call thread, the
 * event queue, handlers that throw or block, reconnection and closing. Every wait is bounded.
 */
public final class KeyboardTests {
    private static final long E_ACCESSDENIED = 0x80070005L - (1L << 32);
    private static final long BOUND_MS = 5000;

    private KeyboardTests() {
    }

    /**
     * Adds this class's cases to the Java tests.
     *
     * @param runner the Java tests' runner
     */
    public static void run(LoaderTests.Runner runner) {
        runner.run("layer: every documented return value of every native method to its reason", KeyboardTests::table);
        runner.run("layer: open's failures name their reason and let go of what was opened", KeyboardTests::openFails);
        runner.run("layer: seven tones, registrations and their failures, all on the call thread",
                KeyboardTests::callsOnTheCallThread);
        runner.run("layer: a call that outlasts the call timeout is a TIMEOUT; later calls still work",
                KeyboardTests::timeout);
        runner.run("layer: a full queue drops the newest, counts them, says so once, keeps the order",
                KeyboardTests::boundedQueue);
        runner.run("layer: a throwing handler is logged and the next event delivered", KeyboardTests::throwingHandler);
        runner.run("layer: a direct executor whose handler registers, plays and closes does not hang",
                KeyboardTests::directExecutorReentry);
        runner.run("layer: a handler blocked on a lock that a calling thread holds does not hang",
                KeyboardTests::handlerBlockedOnCallersLock);
        runner.run("layer: reconnection after a detachment: backoff, states, registrations replayed in order",
                KeyboardTests::reconnects);
        runner.run("layer: close during a reconnection ends it at once", KeyboardTests::closeDuringRetry);
        runner.run("layer: close twice, from a handler, and calls after close", KeyboardTests::closing);
    }

    private static void check(boolean condition, String what) {
        LoaderTests.check(condition, what);
    }

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

        List<Object> copy() {
            synchronized (seen) {
                return new ArrayList<Object>(seen);
            }
        }

        List<Keyboard.State> states() {
            List<Keyboard.State> states = new ArrayList<Keyboard.State>();
            for (Object o : copy()) {
                if (o instanceof Keyboard.State) {
                    states.add((Keyboard.State) o);
                }
            }
            return states;
        }

        List<HotKeyEvent> hotKeys() {
            List<HotKeyEvent> events = new ArrayList<HotKeyEvent>();
            for (Object o : copy()) {
                if (o instanceof HotKeyEvent) {
                    events.add((HotKeyEvent) o);
                }
            }
            return events;
        }
    }

    private interface Condition {
        boolean holds();
    }

    private static void await(String what, Condition condition) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(BOUND_MS);
        while (!condition.holds()) {
            check(System.nanoTime() < deadline, "not within " + BOUND_MS + " ms: " + what);
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

    private static void table() {
        Object[][] rows = {
            {NativeCall.TONE_INIT, 0L, null}, {NativeCall.TONE_INIT, -1L, Reason.COM_REFUSED},
            {NativeCall.TONE_INIT, -2L, Reason.NOT_INSTALLED}, {NativeCall.TONE_INIT, -3L, Reason.KEYBOARD_ABSENT},
            {NativeCall.TONE_INIT, -4L, Reason.NOT_HANDED_OVER}, {NativeCall.TONE_INIT, -5L, Reason.NO_ANSWER},
            {NativeCall.TONE_INIT, -6L, Reason.UNDOCUMENTED_VALUE}, {NativeCall.TONE_INIT, 1L, Reason.UNDOCUMENTED_VALUE},
            {NativeCall.HOT_KEY_INIT, 0L, null}, {NativeCall.HOT_KEY_INIT, -1L, Reason.COM_REFUSED},
            {NativeCall.HOT_KEY_INIT, -2L, Reason.NOT_INSTALLED},
            {NativeCall.HOT_KEY_INIT, -3L, Reason.COMPONENT_INCOMPLETE},
            {NativeCall.HOT_KEY_INIT, -4L, Reason.COMPONENT_INCOMPLETE},
            {NativeCall.HOT_KEY_INIT, -5L, Reason.COMPONENT_INCOMPLETE},
            {NativeCall.HOT_KEY_INIT, -6L, Reason.COMPONENT_INCOMPLETE},
            {NativeCall.HOT_KEY_INIT, -7L, Reason.NOT_HANDED_OVER}, {NativeCall.HOT_KEY_INIT, -8L, Reason.NO_ANSWER},
            {NativeCall.HOT_KEY_INIT, -9L, Reason.UNEXPECTED_ERROR},
            {NativeCall.HOT_KEY_INIT, -10L, Reason.UNDOCUMENTED_VALUE},
            {NativeCall.HOT_KEY_INIT, 2L, Reason.UNDOCUMENTED_VALUE},
            {NativeCall.PLAY, 0L, null}, {NativeCall.PLAY, 1L, Reason.NOT_PLAYED},
            {NativeCall.PLAY, -1L, Reason.UNDOCUMENTED_VALUE},
            {NativeCall.TONE_CLEANUP, 0L, null}, {NativeCall.TONE_CLEANUP, 1L, Reason.NOT_OPEN},
            {NativeCall.TONE_CLEANUP, 2L, Reason.UNDOCUMENTED_VALUE},
            {NativeCall.HOT_KEY_CLEANUP, 0L, null}, {NativeCall.HOT_KEY_CLEANUP, 1L, Reason.NOT_OPEN},
            {NativeCall.HOT_KEY_CLEANUP, -1L, Reason.UNDOCUMENTED_VALUE},
            {NativeCall.REGISTER_LISTENER, 0L, null}, {NativeCall.REGISTER_LISTENER, 1L, Reason.LISTENER_REFUSED},
            {NativeCall.REGISTER_LISTENER, 2L, Reason.UNDOCUMENTED_VALUE},
            {NativeCall.UNREGISTER_ALL_LISTENER, 0L, null},
            {NativeCall.UNREGISTER_ALL_LISTENER, 1L, Reason.UNDOCUMENTED_VALUE},
            {NativeCall.REGISTER_STANDARD, 0L, null}, {NativeCall.REGISTER_STANDARD, 1L, Reason.NOT_OPEN},
            {NativeCall.REGISTER_STANDARD, 2L, null}, {NativeCall.REGISTER_STANDARD, E_ACCESSDENIED, Reason.KEYBOARD_REFUSED},
            {NativeCall.REGISTER_STANDARD, 1L << 32, Reason.UNDOCUMENTED_VALUE},
            {NativeCall.UNREGISTER_HOT, 0L, null}, {NativeCall.UNREGISTER_HOT, 1L, null},
            {NativeCall.UNREGISTER_HOT, -2147467259L, Reason.KEYBOARD_REFUSED},
            {NativeCall.UNREGISTER_ALL_HOT, 0L, null}, {NativeCall.UNREGISTER_ALL_HOT, -2147417850L, Reason.KEYBOARD_REFUSED},
            {NativeCall.UNREGISTER_ALL_HOT, -(1L << 40), Reason.UNDOCUMENTED_VALUE},
        };
        for (Object[] row : rows) {
            NativeCall call = (NativeCall) row[0];
            long value = (Long) row[1];
            check(call.reason(value) == row[2], call + " " + value + " -> " + call.reason(value) + ", expected " + row[2]);
            if (row[2] == null) {
                continue;
            }
            KeyboardException e = call.failure(call.operation, value);
            check(e.reason() == row[2] && e.nativeValue() == value, call + " " + value + ": " + e.getMessage());
            check(e.getMessage().contains(row[2] == Reason.KEYBOARD_REFUSED ? "HRESULT " + KeyboardException.hex(value)
                    : "it returned " + value), e.getMessage());
        }
        check(KeyboardException.hex(E_ACCESSDENIED).equals("0x80070005"), KeyboardException.hex(E_ACCESSDENIED));
        for (NativeCall call : NativeCall.values()) {
            check(call.reason(Long.MIN_VALUE) == Reason.UNDOCUMENTED_VALUE, call + " with Long.MIN_VALUE");
        }
    }

    private static KeyboardException expectFailure(String what, Opener opener) throws Exception {
        try {
            opener.run();
        } catch (KeyboardException e) {
            return e;
        }
        throw new AssertionError(what + ": no KeyboardException");
    }

    private interface Opener {
        void run() throws Exception;
    }

    private static void openFails() throws Exception {
        Object[][] rows = {  // tone Init, hot-key Init, reason, operation, calls after the failure
            {-3L, 0L, Reason.KEYBOARD_ABSENT, "TonePort.Init", "[TonePort.Init, ChordGate.UnregisterAllListener,"
                    + " ChordGate.Cleanup, TonePort.cleanup]"},
            {0L, -2L, Reason.NOT_INSTALLED, "ChordGate.Init", "[TonePort.Init, ChordGate.Init,"
                    + " ChordGate.UnregisterAllListener, ChordGate.Cleanup, TonePort.cleanup]"},
            {0L, -42L, Reason.UNDOCUMENTED_VALUE, "ChordGate.Init", null},
        };
        for (Object[] row : rows) {
            final SimulatedKeyboard simulation = new SimulatedKeyboard();
            simulation.scriptToneInit((Long) row[0]);
            simulation.scriptHotKeyInit((Long) row[1]);
            KeyboardException e = expectFailure("open", new Opener() {
                @Override
                public void run() throws Exception {
                    simulation.open();
                }
            });
            check(e.reason() == row[2] && e.nativeValue() == ((Long) row[0] != 0 ? (Long) row[0] : (Long) row[1])
                    && e.getMessage().startsWith(row[3] + ": "), e.getMessage());
            check(row[4] == null || simulation.calls().toString().equals(row[4]), "calls " + simulation.calls());
        }
    }

    private static void callsOnTheCallThread() throws Exception {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Keyboard keyboard = simulation.open()) {
            for (Tone tone : Tone.values()) {
                keyboard.play(tone);
            }
            check(simulation.tonesPlayed().equals(Arrays.asList(Tone.values())), "played " + simulation.tonesPlayed());
            check(keyboard.register(7, 2, 300) == 0 && keyboard.unregister(7, 2) == 0 && keyboard.unregisterAll() == 0,
                    "registration values");
            simulation.scriptPlay(1);
            KeyboardException e = null;
            try {
                keyboard.play(Tone.BELL);
            } catch (KeyboardException thrown) {
                e = thrown;
            }
            check(e != null && e.reason() == Reason.NOT_PLAYED && e.nativeValue() == 1
                    && e.getMessage().startsWith("TonePort.playBellTone: "), String.valueOf(e));
            check(!keyboard.tryPlay(Tone.NEWS), "tryPlay of a refused tone");
            simulation.scriptRegistration(E_ACCESSDENIED);
            try {
                keyboard.register(1, 2, 3);
                e = null;
            } catch (KeyboardException thrown) {
                e = thrown;
            }
            check(e != null && e.reason() == Reason.KEYBOARD_REFUSED && e.nativeValue() == E_ACCESSDENIED
                    && e.getMessage().contains("0x80070005"), String.valueOf(e));
        }
        check(simulation.callingThreads().size() == 1, "calls on " + simulation.callingThreads());
        Thread used = simulation.callingThreads().iterator().next();
        check(used.getName().equals("quorlink-keyboard-calls") && used.isDaemon() && used != Thread.currentThread(),
                "calls on " + used);
    }

    private static void timeout() throws Exception {
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Keyboard keyboard = simulation.builder().callTimeout(100).open()) {
            simulation.scriptCallDelay(600);
            long started = System.nanoTime();
            KeyboardException e = null;
            try {
                keyboard.play(Tone.BELL);
            } catch (KeyboardException thrown) {
                e = thrown;
            }
            long waitedMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            check(e != null && e.reason() == Reason.TIMEOUT, String.valueOf(e));
            check(waitedMs < 500, "waited " + waitedMs + " ms for a 100 ms bound");
            simulation.scriptCallDelay(0);
            Thread.sleep(700);  // the late call ends
            keyboard.play(Tone.SHORT);
            check(simulation.tonesPlayed().equals(Arrays.asList(Tone.BELL, Tone.SHORT)), "" + simulation.tonesPlayed());
        }
    }

    private static void boundedQueue() throws Exception {
        final CountDownLatch entered = new CountDownLatch(1);
        final CountDownLatch release = new CountDownLatch(1);
        final Recorder recorder = new Recorder() {
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
            check(entered.await(BOUND_MS, TimeUnit.MILLISECONDS), "the handler got the first event");
            long started = System.nanoTime();
            for (int i = 2; i <= 50; i++) {
                simulation.hotKey(i, -i, 7);
            }
            long raisingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
            check(raisingMs < 2000, "raising 49 events behind a blocked handler took " + raisingMs + " ms");
            check(keyboard.droppedEvents() == 39, "dropped " + keyboard.droppedEvents());
            release.countDown();
            await("11 events delivered", new Condition() {
                @Override
                public boolean holds() {
                    return recorder.hotKeys().size() == 11;
                }
            });
            List<HotKeyEvent> expected = new ArrayList<HotKeyEvent>();
            for (int i = 1; i <= 11; i++) {
                expected.add(new HotKeyEvent(i, -i, 7));
            }
            check(recorder.hotKeys().equals(expected), "delivered " + recorder.hotKeys());
            check(capture.count("newer hot-key events are dropped") == 1, "overflow said "
                    + capture.count("newer hot-key events are dropped") + " times");
            for (Thread thread : recorder.threads) {
                check(thread.getName().equals("quorlink-keyboard-events"), "handler ran on " + thread);
            }
        }
    }

    private static void throwingHandler() throws Exception {
        final Recorder recorder = new Recorder() {
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
            await("both delivered", new Condition() {
                @Override
                public boolean holds() {
                    return recorder.hotKeys().size() == 2;
                }
            });
            check(capture.count("a HotKeyHandler method threw") == 1, "logged " + capture.records.size());
            check(keyboard.state() == Keyboard.State.CONNECTED, "state " + keyboard.state());
        }
    }

    private static void directExecutorReentry() throws Exception {
        final SimulatedKeyboard simulation = new SimulatedKeyboard();
        final Keyboard[] opened = new Keyboard[1];
        final List<String> done = Collections.synchronizedList(new ArrayList<String>());
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
        opened[0] = simulation.builder().handler(handler).executor(new java.util.concurrent.Executor() {
            @Override
            public void execute(Runnable task) {
                task.run();
            }
        }).open();
        simulation.hotKey(1, 1, 1);
        await("the handler registered, played and closed", new Condition() {
            @Override
            public boolean holds() {
                return done.size() == 3;
            }
        });
        check(done.equals(Arrays.asList("register 0", "played", "closed")), "" + done);
        check(opened[0].state() == Keyboard.State.CLOSED, "state " + opened[0].state());
    }

    private static void handlerBlockedOnCallersLock() throws Exception {
        final Object lock = new Object();
        final CountDownLatch handlerWaits = new CountDownLatch(1);
        final List<String> handled = Collections.synchronizedList(new ArrayList<String>());
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
                check(handlerWaits.await(BOUND_MS, TimeUnit.MILLISECONDS), "the handler started");
                // The handler now waits for this lock; the API and the keyboard's thread must not.
                keyboard.register(4, 5, 6);
                keyboard.play(Tone.LIMIT);
                simulation.hotKey(7, 8, 9);
            }
            await("both events handled once the lock is free", new Condition() {
                @Override
                public boolean holds() {
                    return handled.size() == 2;
                }
            });
        }
    }

    private static void reconnects() throws Exception {
        long[][] backoff = {{1000, 30000, 2000}, {2000, 30000, 4000}, {16000, 30000, 30000},
                            {30000, 30000, 30000}, {50, 200, 100}, {100, 200, 200}, {150, 200, 200}};
        for (long[] step : backoff) {
            check(Keyboard.nextDelay(step[0], step[1]) == step[2], Arrays.toString(step));
        }
        final Recorder recorder = new Recorder();
        final SimulatedKeyboard simulation = new SimulatedKeyboard();
        try (Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(20, 80).open()) {
            keyboard.register(1, 2, 3);
            keyboard.unregister(4, 5);
            keyboard.register(6, 7, 8);
            simulation.detach();
            await("three failed attempts", new Condition() {
                @Override
                public boolean holds() {
                    return Collections.frequency(simulation.calls(), "TonePort.Init") >= 4;
                }
            });
            check(keyboard.state() == Keyboard.State.RECONNECTING, "state " + keyboard.state());
            KeyboardException e = null;
            try {
                keyboard.register(9, 9, 9);
            } catch (KeyboardException thrown) {
                e = thrown;
            }
            check(e != null && e.reason() == Reason.NOT_OPEN, "a call while reconnecting: " + e);
            simulation.reattach();
            await("connected again", new Condition() {
                @Override
                public boolean holds() {
                    return recorder.states().size() == 4;
                }
            });
            check(recorder.states().equals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.DETACHED,
                    Keyboard.State.RECONNECTING, Keyboard.State.CONNECTED)), "states " + recorder.states());
            check(simulation.registrationCalls().equals(Arrays.asList("register(1, 2, 3)", "unregister(4, 5)",
                    "register(6, 7, 8)")), "replayed " + simulation.registrationCalls());
            simulation.hotKey(5, 5, 5);
            await("events flow again", new Condition() {
                @Override
                public boolean holds() {
                    return recorder.hotKeys().contains(new HotKeyEvent(5, 5, 5));
                }
            });
            for (Thread thread : simulation.callingThreads()) {
                check(thread.getName().equals("quorlink-keyboard-calls"), "a native call on " + thread);
            }

            // unregisterAll() ends what a reconnection makes again.
            keyboard.unregisterAll();
            keyboard.register(9, 9, 9);
            simulation.detach();
            simulation.reattach();
            await("connected a third time", new Condition() {
                @Override
                public boolean holds() {
                    return recorder.states().size() == 7;
                }
            });
            check(simulation.registrationCalls().equals(Arrays.asList("register(9, 9, 9)")),
                    "replayed after unregisterAll " + simulation.registrationCalls());
        }
    }

    private static void closeDuringRetry() throws Exception {
        final Recorder recorder = new Recorder();
        final SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard keyboard = simulation.builder().handler(recorder).reconnectDelays(10000, 30000).open();
        simulation.detach();
        await("reconnecting", new Condition() {
            @Override
            public boolean holds() {
                return recorder.states().contains(Keyboard.State.RECONNECTING);
            }
        });
        long started = System.nanoTime();
        keyboard.close();
        long closingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
        check(closingMs < 1000, "close took " + closingMs + " ms during a 10 s wait");
        await("the reconnection thread ended", new Condition() {
            @Override
            public boolean holds() {
                return !threadAlive("quorlink-keyboard-reconnect");
            }
        });
        check(simulation.hotKeyInits() == 1, "attempts after close: " + (simulation.hotKeyInits() - 1));
        await("CLOSED reached the handler", new Condition() {
            @Override
            public boolean holds() {
                return recorder.states().contains(Keyboard.State.CLOSED);
            }
        });
    }

    static boolean threadAlive(String name) {
        for (Thread thread : Thread.getAllStackTraces().keySet()) {
            if (thread.getName().equals(name) && thread.isAlive()) {
                return true;
            }
        }
        return false;
    }

    private static void closing() throws Exception {
        final Recorder recorder = new Recorder();
        final SimulatedKeyboard simulation = new SimulatedKeyboard();
        final Keyboard[] opened = new Keyboard[1];
        final Recorder closer = new Recorder() {
            @Override
            public void onHotKey(HotKeyEvent event) {
                super.onHotKey(event);
                opened[0].close();
                opened[0].close();
            }
        };
        opened[0] = simulation.builder().handler(closer).open();
        simulation.hotKey(1, 1, 1);
        await("closed from its handler", new Condition() {
            @Override
            public boolean holds() {
                return closer.states().contains(Keyboard.State.CLOSED);
            }
        });
        opened[0].close();
        check(closer.states().equals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.CLOSED)),
                "states " + closer.states());
        try {
            opened[0].play(Tone.BELL);
            check(false, "play after close");
        } catch (KeyboardException e) {
            check(e.reason() == Reason.CLOSED, e.getMessage());
        }
        check(simulation.calls().contains("ChordGate.UnregisterAllListener")
                && simulation.calls().contains("ChordGate.Cleanup") && simulation.calls().contains("TonePort.cleanup"),
                "let go: " + simulation.calls());
        await("the object's threads ended", new Condition() {
            @Override
            public boolean holds() {
                return !threadAlive("quorlink-keyboard-events") && !threadAlive("quorlink-keyboard-calls");
            }
        });
        Keyboard second = new SimulatedKeyboard().builder().handler(recorder).open();
        second.close();
        second.close();
        await("CLOSED once", new Condition() {
            @Override
            public boolean holds() {
                return !threadAlive("quorlink-keyboard-events");
            }
        });
        check(recorder.states().equals(Arrays.asList(Keyboard.State.CONNECTED, Keyboard.State.CLOSED)),
                "close twice: " + recorder.states());
    }
}
