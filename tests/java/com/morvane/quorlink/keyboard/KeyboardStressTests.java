package com.morvane.quorlink.keyboard;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import org.junit.jupiter.api.DisplayName;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/**
 * The layer under load on the JDK: callers on eight threads, hot keys raised without pause, the keyboard
 * detached and back every 50-200 ms, and close() at a random moment, round after round. Every wait is
 * bounded; a failure names the round and its seed.
 */
@Timeout(value = 120, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class KeyboardStressTests {
    private static final int ROUNDS = 200;
    private static final int CALLERS = 8;
    private static final long BOUND_MS = 5000;

    /** Records the states and every handler call made after close() returned. */
    private static final class Watcher implements HotKeyHandler {
        final List<Keyboard.State> states = Collections.synchronizedList(new ArrayList<Keyboard.State>());
        final AtomicBoolean closeReturned = new AtomicBoolean();
        final List<String> late = Collections.synchronizedList(new ArrayList<String>());

        @Override
        public void onHotKey(HotKeyEvent event) {
            if (closeReturned.get()) {
                late.add(event.toString());
            }
        }

        @Override
        public void onStateChange(Keyboard keyboard, Keyboard.State state) {
            if (closeReturned.get()) {
                late.add(state.toString());
            }
            states.add(state);
        }
    }

    @Test
    @DisplayName("layer stress: no hang, no handler call after close, legal states, replays equal to the journal")
    void stress() throws Exception {
        long seed = System.nanoTime();
        Random seeds = new Random(seed);
        for (int round = 0; round < ROUNDS; round++) {
            round(round, seeds.nextLong(), "round " + round + " of seed " + seed);
        }
    }

    private static void round(int round, long seed, String what) throws Exception {
        Random random = new Random(seed);
        Watcher watcher = new Watcher();
        SimulatedKeyboard simulation = new SimulatedKeyboard();
        Keyboard keyboard = simulation.builder().handler(watcher).reconnectDelays(1, 4, TimeUnit.MILLISECONDS).callTimeout(2000, TimeUnit.MILLISECONDS)
                .executor(round % 2 == 0 ? null : Runnable::run).open();
        AtomicBoolean stop = new AtomicBoolean();
        CyclicBarrier start = new CyclicBarrier(CALLERS + 3);
        List<Thread> threads = new ArrayList<Thread>();
        for (int i = 0; i < CALLERS; i++) {
            long callerSeed = random.nextLong();
            threads.add(new Thread(() -> {
                Random calls = new Random(callerSeed);
                awaitStart(start);
                while (!stop.get()) {
                    int first = calls.nextInt(4);
                    try {
                        switch (calls.nextInt(7)) {
                            case 0:
                                keyboard.play(Tone.values()[calls.nextInt(Tone.values().length)]);
                                break;
                            case 1:
                            case 2:
                                keyboard.register(first, 2, 300);
                                break;
                            case 3:
                            case 4:
                                keyboard.unregister(first, 2);
                                break;
                            case 5:
                                keyboard.tryPlay(Tone.SHORT);
                                break;
                            default:
                                if (calls.nextInt(10) == 0) {
                                    keyboard.unregisterAll();
                                }
                        }
                    } catch (KeyboardException e) {
                        // DETACHED, CLOSED, NOT_PLAYED: the outcomes a caller meets here
                    }
                }
            }));
        }
        threads.add(new Thread(() -> {
            awaitStart(start);
            for (int i = 0; !stop.get(); i++) {
                simulation.hotKey(i % 4, 2, 300);  // the keys the callers register
            }
        }));
        long detachSeed = random.nextLong();
        threads.add(new Thread(() -> {
            Random pace = new Random(detachSeed);
            awaitStart(start);
            while (!stop.get()) {
                sleep(50 + pace.nextInt(151));
                simulation.detach();
                sleep(1 + pace.nextInt(20));
                simulation.reattach();
            }
        }));
        for (Thread thread : threads) {
            thread.setDaemon(true);
            thread.start();
        }
        awaitStart(start);
        sleep(random.nextInt(250));
        long started = System.nanoTime();
        keyboard.close();
        long closingMs = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - started);
        watcher.closeReturned.set(true);
        stop.set(true);
        for (Thread thread : threads) {
            thread.join(BOUND_MS);
            assertTrue(!thread.isAlive(), what + ": a thread hangs: " + thread);
        }
        simulation.close();
        assertTrue(closingMs < 2500, what + ": close took " + closingMs + " ms");
        sleep(2);
        assertEquals(Collections.emptyList(), watcher.late, what + ": handler calls after close returned");
        assertLegal(new ArrayList<Keyboard.State>(watcher.states), what);
        assertReplaysEqualTheJournal(simulation.calls(), what);
    }

    // CONNECTED first; CONNECTED -> DETACHED -> RECONNECTING -> CONNECTED; CLOSED last, once.
    private static void assertLegal(List<Keyboard.State> states, String what) {
        assertTrue(!states.isEmpty() && states.get(0) == Keyboard.State.CONNECTED, what + ": " + states);
        assertEquals(Keyboard.State.CLOSED, states.get(states.size() - 1), what + ": " + states);
        for (int i = 1; i < states.size(); i++) {
            Keyboard.State from = states.get(i - 1);
            Keyboard.State to = states.get(i);
            boolean legal = to == Keyboard.State.CLOSED ? from != Keyboard.State.CLOSED
                    : to == Keyboard.State.DETACHED ? from == Keyboard.State.CONNECTED
                    : to == Keyboard.State.RECONNECTING ? from == Keyboard.State.DETACHED
                    : from == Keyboard.State.RECONNECTING;
            assertTrue(legal, what + ": " + from + " -> " + to + " in " + states);
        }
    }

    /**
     * Walks the native calls in their order: registrations that went through form the journal (an
     * unregistration of one key replaces that key's entries, an unregisterAll empties it), and right after each listener registration of a reconnection the
     * journal's calls must come, all of them, in order.
     */
    private static void assertReplaysEqualTheJournal(List<String> calls, String what) {
        List<String> journal = new ArrayList<String>();
        boolean first = true;
        for (int i = 0; i < calls.size(); i++) {
            String call = calls.get(i);
            if (call.equals("ChordGate.RegisterListener")) {
                if (!first) {
                    List<String> replayed = new ArrayList<String>();
                    for (int j = i + 1; j < calls.size() && replayed.size() < journal.size()
                            && isRegistration(calls.get(j)); j++) {
                        replayed.add(calls.get(j));
                    }
                    assertEquals(journal, replayed, what + ": the replay at call " + i);
                    i += replayed.size();
                }
                first = false;
            } else if (call.equals("ChordGate.unregisterAll()")) {
                journal.clear();
            } else if (call.startsWith("ChordGate.unregister(")) {
                // One hot key's unregistration replaces what the journal held for that key.
                String key = call.substring("ChordGate.unregister(".length(), call.length() - 1) + ",";
                for (java.util.Iterator<String> k = journal.iterator(); k.hasNext(); ) {
                    String earlier = k.next();
                    if (earlier.startsWith("ChordGate.register(" + key)
                            || earlier.equals("ChordGate.unregister(" + key.substring(0, key.length() - 1) + ")")) {
                        k.remove();
                    }
                }
                journal.add(call);
            } else if (isRegistration(call)) {
                journal.add(call);
            }
        }
    }

    private static boolean isRegistration(String call) {
        return call.startsWith("ChordGate.register(") || call.startsWith("ChordGate.unregister(");
    }

    private static void awaitStart(CyclicBarrier start) {
        try {
            start.await(BOUND_MS, TimeUnit.MILLISECONDS);
        } catch (Exception e) {
            throw new AssertionError("the start barrier", e);
        }
    }

    private static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }
}
