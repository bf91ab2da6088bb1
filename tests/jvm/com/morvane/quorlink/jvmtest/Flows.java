package com.morvane.quorlink.jvmtest;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.keyboard.HotKeyEvent;
import com.morvane.quorlink.keyboard.HotKey;
import com.morvane.quorlink.keyboard.HotKeyHandler;
import com.morvane.quorlink.keyboard.Keyboard;
import com.morvane.quorlink.keyboard.Tone;
import com.morvane.quorlink.services.keyboard.ChordGate;
import com.morvane.quorlink.services.keyboard.HotKeyListener;
import com.morvane.quorlink.services.sound.TonePort;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.ArrayDeque;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.Executor;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

/**
 * The libraries' flows in a real JVM: {@code Flows <flow>} runs one flow against the shipped DLLs
 * and returns from main. A failed check ends main with an AssertionError; otherwise the JVM must
 * exit by itself, with code 0, with the libraries' threads still alive.
 */
public final class Flows {
    private static final long E_FAIL = 0x80004005L - (1L << 32);
    private static final long E_INVALIDARG = 0x80070057L - (1L << 32);
    private static final long E_ACCESSDENIED = 0x80070005L - (1L << 32);
    /**
     * How many times longer the waits below are: more than 1 where the build's programs run emulated
     * (run-flow.sh passes it). The waits only catch hangs.
     */
    private static final int TIME_SCALE = timeScale();
    private static final int WAIT_MS = 10000 * TIME_SCALE;

    private static int timeScale() {
        try {
            int scale = Integer.parseInt(System.getProperty("quorlink.test.timeScale", "1"));
            return scale >= 1 && scale <= 99 ? scale : 1;
        } catch (NumberFormatException e) {
            return 1;
        }
    }

    private static int checks;

    private static void expect(String what, long actual, long expected) {
        check(what, actual == expected, actual + ", expected " + expected);
    }

    private static void expect(String what, Object actual, Object expected) {
        check(what, expected == null ? actual == null : expected.equals(actual), actual + ", expected " + expected);
    }

    private static void check(String what, boolean holds, String detail) {
        checks++;
        if (!holds) {
            throw new AssertionError(what + ": " + detail);
        }
    }

    /** "[a, b]": the class library's own toString of lists and arrays differs from the JDK's. */
    private static String joined(Object[] items) {
        StringBuilder text = new StringBuilder("[");
        for (int i = 0; i < items.length; i++) {
            text.append(i == 0 ? "" : ", ").append(items[i]);
        }
        return text.append(']').toString();
    }

    /** Records what reaches it, with the thread it came on. */
    static class Recorder implements HotKeyListener {
        final List<String> calls = new ArrayList<String>();
        final List<Thread> threads = new ArrayList<Thread>();

        synchronized void record(String call) {
            calls.add(call);
            threads.add(Thread.currentThread());
            notifyAll();
        }

        public void HotKeyHit(long first, long second, long third) {
            record("HotKeyHit(" + first + ", " + second + ", " + third + ")");
        }

        public void KBFailed() {
            record("KBFailed()");
        }

        public void KBDetached() {
            record("KBDetached()");
        }

        synchronized String last() {
            return calls.isEmpty() ? null : calls.get(calls.size() - 1);
        }

        synchronized int count() {
            return calls.size();
        }

        /** Counts its waits rather than reading the clock, which may jump on these machines. */
        synchronized boolean awaitCount(int count, int timeoutMs) throws InterruptedException {
            for (int waited = 0; calls.size() < count && waited < timeoutMs; waited += 50) {
                wait(50);
            }
            return calls.size() >= count;
        }

        /** The first values of the hits received, in order. */
        synchronized List<Long> hitNumbers() {
            List<Long> numbers = new ArrayList<Long>();
            for (String call : calls) {
                numbers.add(Long.parseLong(call.substring("HotKeyHit(".length(), call.indexOf(','))));
            }
            return numbers;
        }
    }

    /** Has no KBDetached, so RegisterListener leaves NoSuchMethodError pending. */
    static class WithoutKBDetached {
        final Recorder seen = new Recorder();

        public void HotKeyHit(long first, long second, long third) {
            seen.HotKeyHit(first, second, third);
        }

        public void KBFailed() {
            seen.KBFailed();
        }
    }

    static class Thrower extends Recorder {
        @Override
        public void HotKeyHit(long first, long second, long third) {
            super.HotKeyHit(first, second, third);
            throw new IllegalStateException("thrown by the listener on purpose");
        }
    }

    private static void tone() {
        expect("playBellTone before Init", TonePort.playBellTone(), 1);
        expect("Init", TonePort.Init(), 0);
        expect("playNewsTone", TonePort.playNewsTone(), 0);
        expect("playIncomingConvTone", TonePort.playIncomingConvTone(), 0);
        expect("playBellTone", TonePort.playBellTone(), 0);
        expect("playLimitTone", TonePort.playLimitTone(), 0);
        expect("playShortTone", TonePort.playShortTone(), 0);
        expect("playBusyTone", TonePort.playBusyTone(), 0);
        expect("playInterruptTone", TonePort.playInterruptTone(), 0);
        expect("tones played", joined(Sim.tonesPlayed()), "[News, Incoming, Bell, Limit, Short, Busy, Interrupt]");
        expect("cleanup", TonePort.cleanup(), 0);
        expect("second cleanup", TonePort.cleanup(), 1);
        expect("playBellTone after cleanup", TonePort.playBellTone(), 1);
    }

    private static void toneRefused() {
        Sim.scriptPortRefuses();
        expect("Init with the port refusing", TonePort.Init(), -3);
        expect("playBellTone", TonePort.playBellTone(), 1);
        expect("cleanup", TonePort.cleanup(), 1);
    }

    private static void hotKey() {
        Sim.setDriverEntry(false);
        expect("IsKeyboardDriverInstalled without the entry", ChordGate.IsKeyboardDriverInstalled(), 0);
        Sim.setDriverEntry(true);
        expect("IsKeyboardDriverInstalled with the entry", ChordGate.IsKeyboardDriverInstalled(), 1);
        Sim.setDriverEntry(false);
        expect("IsKeyboardDriverInstalled after removal", ChordGate.IsKeyboardDriverInstalled(), 0);
        expect("SetNativeLibraryPath", ChordGate.SetNativeLibraryPath("C:\\quorlink\\x86"), 0);

        expect("RegisterStandard before Init", ChordGate.RegisterStandard(1, 2, 3), 1);
        check("UnregisterAllHot before Init", ChordGate.UnregisterAllHot() < 0, "not negative");
        expect("Init", ChordGate.Init(), 0);
        expect("RawInit again", ChordGate.RawInit(), 0);

        // Narrowed to the low 32 bits.
        expect("RegisterStandard", ChordGate.RegisterStandard((1L << 32) + 0x12345678, -1, 300), 0);
        expect("RegisterStandard received", Arrays.toString(Sim.lastHotKeyCall(Sim.REGISTER_STANDARD)),
                "[305419896, -1, 300]");
        expect("UnregisterHot", ChordGate.UnregisterHot((5L << 32) + 0x7654321, 0xFFFFFFFFL), 0);
        expect("UnregisterHot received", Arrays.toString(Sim.lastHotKeyCall(Sim.UNREGISTER_HOT)), "[124076833, -1]");
        expect("UnregisterAllHot", ChordGate.UnregisterAllHot(), 0);

        Sim.scriptHotKeyResults((int) E_FAIL, (int) E_INVALIDARG, (int) E_ACCESSDENIED);
        expect("RegisterStandard failing", ChordGate.RegisterStandard(1, 2, 3), E_FAIL);
        expect("UnregisterHot failing", ChordGate.UnregisterHot(1, 2), E_INVALIDARG);
        expect("UnregisterAllHot failing", ChordGate.UnregisterAllHot(), E_ACCESSDENIED);

        expect("Cleanup", ChordGate.Cleanup(), 0);
        expect("second Cleanup", ChordGate.RawCleanup(), 1);
    }

    /** In the prefix where the keyboard components are not installed. */
    private static void notInstalled() {
        expect("TonePort.Init", TonePort.Init(), -2);
        expect("playBellTone", TonePort.playBellTone(), 1);
        expect("cleanup", TonePort.cleanup(), 1);
        expect("ChordGate.Init", ChordGate.Init(), -2);
        expect("RegisterStandard", ChordGate.RegisterStandard(1, 2, 3), 1);
        expect("Cleanup", ChordGate.Cleanup(), 1);
        expect("IsKeyboardDriverInstalled", ChordGate.IsKeyboardDriverInstalled(), 0);
    }

    private static void events() {
        Recorder recorder = new Recorder();
        expect("RegisterListener", ChordGate.RegisterListener(recorder), 0);
        expect("Init", ChordGate.Init(), 0);

        expect("sinks", Sim.hotKeyHit(-1, Integer.MAX_VALUE, Integer.MIN_VALUE), 1);
        expect("sign-extended", recorder.last(), "HotKeyHit(-1, 2147483647, -2147483648)");
        expect("sinks", Sim.keyboardFailed(), 1);
        expect("failure", recorder.last(), "KBFailed()");
        expect("sinks", Sim.keyboardDetached(), 1);
        expect("detachment", recorder.last(), "KBDetached()");
        for (Thread thread : recorder.threads) {
            check("listener thread", thread != Thread.currentThread() && thread.isDaemon(),
                    thread + " (the caller's or not a daemon)");
        }

        // The collector moves objects; the listener reference must still lead to the listener.
        List<Object> kept = new ArrayList<Object>();
        for (int round = 1; round <= 20; round++) {
            for (int i = 0; i < 2000; i++) {
                Object garbage = new long[16 + i % 64];
                if (i % 100 == 0) {
                    kept.add(garbage);
                }
            }
            System.gc();
            Sim.hotKeyHit(round, -round, 7);
            expect("hit after gc", recorder.last(), "HotKeyHit(" + round + ", " + -round + ", 7)");
        }
        expect("calls", recorder.count(), 23);
        expect("Cleanup", ChordGate.Cleanup(), 0);
    }

    /** Keeps the libraries' records that reach java.util.logging's handlers. */
    static final class Capture extends Handler {
        private final List<LogRecord> records = new ArrayList<LogRecord>();

        static Capture install() {
            Capture capture = new Capture();
            Logger.getLogger(Diagnostics.LOGGER).addHandler(capture);
            return capture;
        }

        @Override
        public synchronized void publish(LogRecord record) {
            if (record.getLoggerName() != null && record.getLoggerName().startsWith(Diagnostics.LOGGER)) {
                records.add(record);
            }
        }

        public void flush() {
        }

        public void close() {
        }

        /** The records since the last take, as "logger level method: message". */
        synchronized List<LogRecord> take() {
            List<LogRecord> taken = new ArrayList<LogRecord>(records);
            records.clear();
            return taken;
        }
    }

    private static String describe(LogRecord record) {
        return record.getLoggerName() + " " + record.getLevel().getName() + " " + record.getSourceMethodName() + ": "
                + record.getMessage();
    }

    /** Exactly one record since the last take, which must read `expected` (logger level method: message). */
    private static LogRecord expectOneRecord(Capture capture, String what, String expectedStart) {
        List<LogRecord> records = capture.take();
        String seen = records.size() == 1 ? describe(records.get(0)) : records.size() + " records";
        check(what, records.size() == 1 && seen.startsWith(expectedStart), seen + ", expected " + expectedStart);
        return records.get(0);
    }

    private static final String TONE_LOGGER = Diagnostics.LOGGER + ".TonePort";
    private static final String HOTKEY_LOGGER = Diagnostics.LOGGER + ".ChordGate";

    /** Run with -Dquorlink.diagnostics=INFO: each library's records, with the HRESULT explained. */
    private static void diagnostics() {
        Capture capture = Capture.install();
        expect("TonePort.Init", TonePort.Init(), 0);
        expectOneRecord(capture, "TonePort.Init's record",
                TONE_LOGGER + " INFO Init: Init(): sound is initialized successfully");
        expect("TonePort.cleanup", TonePort.cleanup(), 0);
        capture.take();

        expect("ChordGate.Init", ChordGate.Init(), 0);
        expectOneRecord(capture, "ChordGate.Init's record",
                HOTKEY_LOGGER + " INFO Init: Init(): hotkey is initialized successfully");
        Sim.scriptHotKeyResults((int) E_ACCESSDENIED, 0, 0);
        expect("RegisterStandard refused", ChordGate.RegisterStandard(1, 2, 3), E_ACCESSDENIED);
        String refused = describe(expectOneRecord(capture, "RegisterStandard's record",
                HOTKEY_LOGGER + " SEVERE RegisterStandard: RegisterStandard(): failed to register standard (0x80070005: "));
        check("Windows' text for 0x80070005", refused.endsWith(")") && !refused.endsWith(": )"), refused);

        Thrower thrower = new Thrower();
        expect("RegisterListener thrower", ChordGate.RegisterListener(thrower), 0);
        capture.take();
        expect("sinks", Sim.hotKeyHit(1, 2, 3), 1);
        LogRecord threw = expectOneRecord(capture, "the listener's exception",
                HOTKEY_LOGGER + " WARNING HotKeyHit: the listener's HotKeyHit threw");
        check("with what it threw", threw.getThrown() instanceof IllegalStateException, String.valueOf(threw.getThrown()));
        expect("UnregisterAllListener", ChordGate.UnregisterAllListener(), 0);
        expect("Cleanup", ChordGate.Cleanup(), 0);
    }

    private static final String NOT_CREATED = HOTKEY_LOGGER + " SEVERE Init: Init(): cannot create COM object (0x80040154";

    /** Run with -Dquorlink.diagnostics=INFO where the components are not installed. */
    private static void notInstalledDiagnostics() {
        Capture capture = Capture.install();
        expect("ChordGate.Init", ChordGate.Init(), -2);
        String record = describe(expectOneRecord(capture, "Init's record", NOT_CREATED));
        // Windows' text follows the code where the system has one (Wine has none for this code).
        check("the code, then Windows' text or nothing", record.endsWith("0x80040154)")
                || record.startsWith(NOT_CREATED + ": ") && record.endsWith(")") && !record.endsWith(": )"), record);
    }

    /** Run without the property where the components are not installed: quiet, until switched on. */
    private static void notInstalledQuiet() {
        Capture capture = Capture.install();
        expect("ChordGate.Init", ChordGate.Init(), -2);
        expect("records while off", capture.take().size(), 0);

        // A logger registry's JVM is switched by the logger's level; Avian, which has none, by the property.
        Logger.getLogger(Diagnostics.LOGGER).setLevel(Level.INFO);
        System.setProperty(Diagnostics.PROPERTY, "INFO");
        expect("ChordGate.Init again", ChordGate.Init(), -2);
        expectOneRecord(capture, "Init's record once switched on", NOT_CREATED);

        System.setProperty(Diagnostics.PROPERTY, "OFF");
        expect("ChordGate.Init once more", ChordGate.Init(), -2);
        expect("records once switched off", capture.take().size(), 0);
    }

    /** An executor of one named daemon thread, as a client might bring. */
    static final class NamedExecutor implements Executor {
        private final ArrayDeque<Runnable> tasks = new ArrayDeque<Runnable>();

        NamedExecutor(String name) {
            Thread thread = new Thread(new Runnable() {
                public void run() {
                    while (true) {
                        Runnable task;
                        synchronized (tasks) {
                            while (tasks.isEmpty()) {
                                try {
                                    tasks.wait();
                                } catch (InterruptedException e) {
                                    return;
                                }
                            }
                            task = tasks.removeFirst();
                        }
                        task.run();
                    }
                }
            }, name);
            thread.setDaemon(true);
            thread.start();
        }

        public void execute(Runnable task) {
            synchronized (tasks) {
                tasks.addLast(task);
                tasks.notifyAll();
            }
        }
    }

    /**
     * Records what the Java layer hands over; sleeps 2 s (times the time scale) on the hot key whose first
     * value is 100, 100 ms on those from 200, and throws after recording the one of 666.
     */
    static final class LayerHandler implements HotKeyHandler {
        static final int SLOW_HANDLER_MS = 2000 * TIME_SCALE;

        final List<HotKeyEvent> hits = new ArrayList<HotKeyEvent>();
        final List<Thread> threads = new ArrayList<Thread>();
        final List<Keyboard.State> states = new ArrayList<Keyboard.State>();
        final List<Keyboard> stateKeyboards = new ArrayList<Keyboard>();

        @Override
        public void onHotKey(HotKeyEvent event) {
            if (event.first() == 100 || event.first() >= 200 && event.first() < 300) {
                try {
                    Thread.sleep(event.first() == 100 ? SLOW_HANDLER_MS : 100);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
            synchronized (this) {
                hits.add(event);
                threads.add(Thread.currentThread());
                notifyAll();
            }
            if (event.first() == 666) {
                throw new IllegalStateException("a handler's fault");
            }
        }

        synchronized int calls() {
            return hits.size() + states.size();
        }

        @Override
        public synchronized void onStateChange(Keyboard keyboard, Keyboard.State state) {
            states.add(state);
            stateKeyboards.add(keyboard);
            notifyAll();
        }

        /** Counts its waits rather than reading the clock. */
        synchronized boolean await(int hitCount, int stateCount, int timeoutMs) throws InterruptedException {
            for (int waited = 0; (hits.size() < hitCount || states.size() < stateCount) && waited < timeoutMs;
                 waited += 20) {
                wait(20);
            }
            return hits.size() >= hitCount && states.size() >= stateCount;
        }
    }

    private static boolean awaitCalls(int method, int count) throws InterruptedException {
        for (int waited = 0; Sim.countHotKeyCalls(method) < count && waited < WAIT_MS; waited += 20) {
            Thread.sleep(20);
        }
        return Sim.countHotKeyCalls(method) >= count;
    }

    /**
     * The Java layer over the shipped DLLs: tones, a hot key on the executor, a slow handler, a detachment,
     * a handler that throws, and a close with events in flight.
     */
    private static void layer() throws Exception {
        check("Keyboard.isSupported", Keyboard.isSupported(), String.valueOf(Keyboard.unsupportedReason()));
        LayerHandler handler = new LayerHandler();
        final List<Throwable> thrown = new ArrayList<Throwable>();
        Keyboard keyboard = Keyboard.builder().handler(handler).executor(new NamedExecutor("flow-executor"))
                .handlerErrors(new Thread.UncaughtExceptionHandler() {
                    public void uncaughtException(Thread thread, Throwable e) {
                        synchronized (thrown) {
                            thrown.add(e);
                        }
                    }
                }).reconnectDelays(200, 400, TimeUnit.MILLISECONDS).open();
        expect("state", keyboard.state(), Keyboard.State.CONNECTED);
        for (Tone tone : Tone.values()) {
            keyboard.play(tone);
        }
        expect("tones", joined(Sim.tonesPlayed()), "[News, Incoming, Bell, Limit, Short, Busy, Interrupt]");
        expect("register", keyboard.register(7, 2, 300), 0);
        expect("unregister", keyboard.unregister(4, 5), 0);

        expect("sinks", Sim.hotKeyHit(1, 2, 3), 1);
        check("a hot key reaches the handler", handler.await(1, 1, WAIT_MS), handler.hits.size() + " hits");
        expect("on the executor's thread", handler.threads.get(0).getName(), "flow-executor");

        // The handler sleeps on the first of these; the library's thread stays free meanwhile, so that
        // raising them all ends well before the handler wakes up.
        long started = System.currentTimeMillis();
        for (int i = 0; i <= 100; i++) {
            expect("sinks", Sim.hotKeyHit(100 + i, -i, 7), 1);
        }
        long raisingMs = System.currentTimeMillis() - started;
        check("raising 101 hits behind a handler sleeping " + LayerHandler.SLOW_HANDLER_MS + " ms",
                raisingMs < LayerHandler.SLOW_HANDLER_MS * 3 / 4, raisingMs + " ms");
        check("all arrive", handler.await(102, 1, 3 * WAIT_MS), handler.hits.size() + " hits");
        for (int i = 0; i <= 100; i++) {
            expect("in order", handler.hits.get(1 + i).first(), 100 + i);
        }

        // Detached: the component cannot be made for a while, then comes back.
        int registers = Sim.countHotKeyCalls(Sim.REGISTER_STANDARD);
        int unregisters = Sim.countHotKeyCalls(Sim.UNREGISTER_HOT);
        int creations = Sim.countHotKeyCalls(Sim.CREATE);
        Sim.scriptHotKeyCreation(Sim.REGDB_E_CLASSNOTREG);
        expect("sinks", Sim.keyboardDetached(), 1);
        check("two refused attempts", awaitCalls(Sim.CREATE, creations + 2), "creations: "
                + (Sim.countHotKeyCalls(Sim.CREATE) - creations));
        Sim.scriptHotKeyCreation(0);
        check("connected again", handler.await(102, 4, 3 * WAIT_MS), String.valueOf(handler.states));
        expect("states", joined(handler.states.toArray()), "[CONNECTED, DETACHED, RECONNECTING, CONNECTED]");
        expect("register replayed", Sim.countHotKeyCalls(Sim.REGISTER_STANDARD), registers + 1);
        expect("unregister replayed", Sim.countHotKeyCalls(Sim.UNREGISTER_HOT), unregisters + 1);
        expect("replayed values", Arrays.toString(Sim.lastHotKeyCall(Sim.REGISTER_STANDARD)), "[7, 2, 300]");
        expect("sinks", Sim.hotKeyHit(9, 9, 9), 1);
        check("events flow again", handler.await(103, 4, WAIT_MS), handler.hits.size() + " hits");
        expect("the event's keyboard", handler.hits.get(102).keyboard(), keyboard);

        // What a handler throws goes to handlerErrors, and delivery goes on.
        expect("sinks", Sim.hotKeyHit(666, 0, 0), 1);
        expect("sinks", Sim.hotKeyHit(10, 10, 10), 1);
        check("delivered after a throw", handler.await(105, 4, WAIT_MS), handler.hits.size() + " hits");
        synchronized (thrown) {
            expect("throws received", thrown.size(), 1);
            expect("the throw", thrown.get(0).getMessage(), "a handler's fault");
        }

        // close() with five slow hot keys in flight: when it returns they and CLOSED have been handled.
        for (int i = 0; i < 5; i++) {
            expect("sinks", Sim.hotKeyHit(200 + i, 0, 0), 1);
        }
        keyboard.close();
        int calls = handler.calls();
        expect("hot keys handled when close returned", handler.hits.size(), 110);
        expect("the last call", handler.states.get(handler.states.size() - 1), Keyboard.State.CLOSED);
        expect("state", keyboard.state(), Keyboard.State.CLOSED);
        for (Keyboard stateKeyboard : handler.stateKeyboards) {
            expect("the state change's keyboard", stateKeyboard, keyboard);
        }

        // The layer's own warnings show with no logging configured, on a class library without LogManager;
        // its traces do not.
        Capture capture = Capture.install();
        Diagnostics.logLayer(900, Keyboard.class.getName(), "check", "a layer warning", null);
        Diagnostics.logLayer(500, Keyboard.class.getName(), "check", "a layer trace", null);
        expectOneRecord(capture, "the layer's warning, shown by default",
                Diagnostics.LAYER_LOGGER + " WARNING check: a layer warning");
        Thread.sleep(300);
        expect("handler calls after close returned", handler.calls(), calls);
    }

    /** main returns with the Java layer's threads alive and the keyboard open: the JVM must still exit. */
    private static void layerExit() throws Exception {
        final List<HotKeyEvent> hits = new ArrayList<HotKeyEvent>();
        // A lambda: the handler's one abstract method.
        Keyboard keyboard = Keyboard.builder().handler(event -> {
            synchronized (hits) {
                hits.add(event);
                hits.notifyAll();
            }
        }).open();
        expect("register", keyboard.register(HotKey.of(7, 2, 300)), 0);
        expect("registrations", joined(keyboard.registrations().toArray()), "[HotKey(7, 2, 300)]");
        Sim.streamHits(1000, 1);
        synchronized (hits) {
            for (int waited = 0; hits.size() < 2 && waited < WAIT_MS; waited += 20) {
                hits.wait(20);
            }
            check("events arriving", hits.size() >= 2, hits.size() + " hits");
        }
    }

    private static void listeners() throws InterruptedException {
        expect("Init", ChordGate.Init(), 0);

        WithoutKBDetached partial = new WithoutKBDetached();
        try {
            ChordGate.RegisterListener(partial);
            check("RegisterListener without KBDetached", false, "no NoSuchMethodError");
        } catch (NoSuchMethodError expected) {
            checks++;
        }
        Sim.hotKeyHit(1, 2, 3);
        Sim.keyboardFailed();
        Sim.keyboardDetached();
        expect("partial listener received", joined(partial.seen.calls.toArray()), "[HotKeyHit(1, 2, 3), KBFailed()]");

        Thrower thrower = new Thrower();
        expect("RegisterListener thrower", ChordGate.RegisterListener(thrower), 0);
        for (int i = 1; i <= 3; i++) {
            expect("sinks", Sim.hotKeyHit(i, i, i), 1);
        }
        Sim.keyboardFailed();
        expect("thrower received", thrower.count(), 4);
        expect("after the throws", thrower.last(), "KBFailed()");

        // Swapped while posted hits 1..400 arrive: every hit reaches exactly one of them, and each
        // receives its share in order. Where the swaps fall in the stream depends on the machine.
        Recorder first = new Recorder();
        Recorder second = new Recorder();
        expect("RegisterListener first", ChordGate.RegisterListener(first), 0);
        int total = 0;
        for (int batch = 0; batch < 4; batch++) {
            Sim.postHits(total + 1, 100);
            total += 100;
            expect("RegisterListener swap", ChordGate.RegisterListener(batch % 2 == 0 ? second : first), 0);
        }
        check("posted events handled", Sim.waitForPosted(WAIT_MS), "not within " + WAIT_MS + " ms");
        expect("hits received by both", first.count() + second.count(), total);
        boolean[] received = new boolean[total + 1];
        for (Recorder recorder : new Recorder[] {first, second}) {
            List<Long> numbers = recorder.hitNumbers();
            for (int i = 0; i < numbers.size(); i++) {
                long number = numbers.get(i);
                check("order", i == 0 || numbers.get(i - 1) < number, joined(numbers.toArray()));
                check("each hit once", number >= 1 && number <= total && !received[(int) number], "hit " + number);
                received[(int) number] = true;
            }
        }
        expect("UnregisterAllListener", ChordGate.UnregisterAllListener(), 0);
        int before = first.count() + second.count();
        Sim.hotKeyHit(5, 5, 5);
        expect("after UnregisterAllListener", first.count() + second.count(), before);
    }

    private static void threads() throws InterruptedException {
        expect("TonePort.Init", TonePort.Init(), 0);
        expect("ChordGate.Init", ChordGate.Init(), 0);
        final int threadCount = 4;
        final int rounds = 25;
        final Object gate = new Object();
        final int[] ready = {0};
        final List<String> wrong = new ArrayList<String>();
        Thread[] workers = new Thread[threadCount];
        for (int t = 0; t < threadCount; t++) {
            final int id = t + 1;
            workers[t] = new Thread() {
                @Override
                public void run() {
                    synchronized (gate) {
                        ready[0]++;
                        gate.notifyAll();
                        while (ready[0] < threadCount) {
                            try {
                                gate.wait();
                            } catch (InterruptedException e) {
                                return;
                            }
                        }
                    }
                    for (int i = 0; i < rounds; i++) {
                        long[] results = {TonePort.playBellTone(), TonePort.playShortTone(),
                                ChordGate.RegisterStandard(id, i, 1), ChordGate.UnregisterHot(id, i)};
                        for (long result : results) {
                            if (result != 0) {
                                synchronized (wrong) {
                                    wrong.add("thread " + id + " round " + i + ": " + Arrays.toString(results));
                                }
                            }
                        }
                    }
                }
            };
            workers[t].start();
        }
        for (Thread worker : workers) {
            worker.join();
        }
        check("every call 0", wrong.isEmpty(), joined(wrong.toArray()));
        expect("tones played", Sim.tonesPlayed().length, threadCount * rounds * 2);
    }

    /** main returns while hits keep arriving from the keyboard. */
    private static void exitWithEvents() throws InterruptedException {
        Recorder recorder = new Recorder();
        expect("RegisterListener", ChordGate.RegisterListener(recorder), 0);
        expect("Init", ChordGate.Init(), 0);
        Sim.streamHits(100000, 1);
        check("events arriving", recorder.awaitCount(20, WAIT_MS), recorder.count() + " in " + WAIT_MS + " ms");
    }

    /** Clean-up, then Init again, from Java. */
    private static void reinit() {
        Recorder recorder = new Recorder();
        expect("RegisterListener", ChordGate.RegisterListener(recorder), 0);
        for (int round = 1; round <= 2; round++) {
            expect("ChordGate.Init " + round, ChordGate.Init(), 0);
            expect("RegisterStandard " + round, ChordGate.RegisterStandard(round, 2, 3), 0);
            expect("sinks " + round, Sim.hotKeyHit(round, 0, 0), 1);
            expect("hit " + round, recorder.last(), "HotKeyHit(" + round + ", 0, 0)");
            expect("Cleanup " + round, ChordGate.Cleanup(), 0);
            expect("TonePort.Init " + round, TonePort.Init(), 0);
            expect("playBellTone " + round, TonePort.playBellTone(), 0);
            expect("cleanup " + round, TonePort.cleanup(), 0);
        }
    }

    public static void main(String[] args) throws Exception {
        String flow = args.length > 0 ? args[0] : "";
        if (flow.equals("tone")) {
            tone();
        } else if (flow.equals("tone-refused")) {
            toneRefused();
        } else if (flow.equals("hotkey")) {
            hotKey();
        } else if (flow.equals("not-installed")) {
            notInstalled();
        } else if (flow.equals("events")) {
            events();
        } else if (flow.equals("listeners")) {
            listeners();
        } else if (flow.equals("threads")) {
            threads();
        } else if (flow.equals("exit-with-events")) {
            exitWithEvents();
        } else if (flow.equals("reinit")) {
            reinit();
        } else if (flow.equals("layer")) {
            layer();
        } else if (flow.equals("layer-exit")) {
            layerExit();
        } else if (flow.equals("diagnostics")) {
            diagnostics();
        } else if (flow.equals("not-installed-diagnostics")) {
            notInstalledDiagnostics();
        } else if (flow.equals("not-installed-quiet")) {
            notInstalledQuiet();
        } else if (flow.startsWith("support-")) {
            checks += SupportFlows.run(flow);
        } else {
            throw new IllegalArgumentException("no flow named '" + flow + "'");
        }
        System.out.println("flow " + flow + ": " + checks + " checks passed");
    }
}
