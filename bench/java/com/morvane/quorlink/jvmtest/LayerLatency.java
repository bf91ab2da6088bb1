package com.morvane.quorlink.jvmtest;

import com.morvane.quorlink.keyboard.Keyboard;
import com.morvane.quorlink.services.keyboard.ChordGate;
import com.morvane.quorlink.services.keyboard.HotKeyListener;

/**
 * The time from a hot key raised at the simulated component to the entry of the Java code that gets it:
 * a HotKeyListener that ChordGate.dll calls on its own thread, and a HotKeyHandler that the Java layer
 * calls on its event thread, one hit at a time, in one run. Prints p50, p99 and the maximum; asserts
 * nothing. Run by bench/layer-latency.sh under Avian and Wine.
 */
public final class LayerLatency {
    private static final int WARM_UP = 500;

    private static long[] entered;
    private static int count;

    private LayerLatency() {
    }

    private static synchronized void enter(long index) {
        entered[(int) index] = Sim.nanoTime();
        count++;
        LayerLatency.class.notifyAll();
    }

    private static synchronized void awaitCount(int wanted) throws InterruptedException {
        while (count < wanted) {
            LayerLatency.class.wait(1000);
        }
    }

    /** Raises hits 0..events-1, each once the previous one has arrived; returns the latencies in µs. */
    private static double[] measure(int events) throws InterruptedException {
        long[] raised = new long[events];
        synchronized (LayerLatency.class) {
            entered = new long[events];
            count = 0;
        }
        for (int i = 0; i < events; i++) {
            raised[i] = Sim.nanoTime();
            Sim.hotKeyHit(i, 0, 7);
            awaitCount(i + 1);
        }
        double[] micros = new double[events - WARM_UP];
        for (int i = WARM_UP; i < events; i++) {
            micros[i - WARM_UP] = (entered[i] - raised[i]) / 1000.0;
        }
        sort(micros);
        return micros;
    }

    // Shell sort: the class library sorts no primitive arrays, and its Double is not Comparable.
    private static void sort(double[] values) {
        for (int gap = values.length / 2; gap > 0; gap /= 2) {
            for (int i = gap; i < values.length; i++) {
                double value = values[i];
                int j = i;
                for (; j >= gap && values[j - gap] > value; j -= gap) {
                    values[j] = values[j - gap];
                }
                values[j] = value;
            }
        }
    }

    // The class library's String.format takes no widths or precisions.
    private static String pad(String text, int width, boolean left) {
        StringBuilder padded = new StringBuilder(text);
        while (padded.length() < width) {
            padded.insert(left ? padded.length() : 0, ' ');
        }
        return padded.toString();
    }

    private static String oneDecimal(double value) {
        long tenths = Math.round(value * 10);
        return pad(tenths / 10 + "." + tenths % 10, 10, false);
    }

    private static String figures(double[] sorted) {
        return oneDecimal(sorted[sorted.length / 2]) + " " + oneDecimal(sorted[sorted.length * 99 / 100]) + " "
                + oneDecimal(sorted[sorted.length - 1]);
    }

    public static void main(String[] args) throws Exception {
        int events = args.length > 0 ? Integer.parseInt(args[0]) : 10000;

        if (ChordGate.Init() != 0 || ChordGate.RegisterListener(new HotKeyListener() {
            public void HotKeyHit(long first, long second, long third) {
                enter(first);
            }

            public void KBFailed() {
            }

            public void KBDetached() {
            }
        }) != 0) {
            throw new IllegalStateException("ChordGate did not start");
        }
        double[] listener = measure(events + WARM_UP);

        // The floor of any hand-off: the listener wakes a plain Java thread, which enters.
        final long[] handed = {-1};
        Thread woken = new Thread(new Runnable() {
            public void run() {
                long next = 0;
                while (true) {
                    synchronized (handed) {
                        while (handed[0] < next) {
                            try {
                                handed.wait();
                            } catch (InterruptedException e) {
                                return;
                            }
                        }
                    }
                    enter(next++);
                }
            }
        }, "bench-woken");
        woken.setDaemon(true);
        woken.start();
        ChordGate.RegisterListener(new HotKeyListener() {
            public void HotKeyHit(long first, long second, long third) {
                synchronized (handed) {
                    handed[0] = first;
                    handed.notifyAll();
                }
            }

            public void KBFailed() {
            }

            public void KBDetached() {
            }
        });
        double[] hop = measure(events + WARM_UP);
        woken.interrupt();
        ChordGate.UnregisterAllListener();
        ChordGate.Cleanup();

        Keyboard keyboard = Keyboard.builder().tones(false).handler(event -> enter(event.first())).open();
        double[] handler = measure(events + WARM_UP);
        keyboard.close();

        System.out.println("hot key raised -> Java code entered, " + events + " events each, one at a time"
                + " (Avian under Wine; microseconds)");
        System.out.println(pad("", 40, true) + pad("p50", 11, false) + pad("p99", 11, false) + pad("max", 11, false));
        System.out.println(pad("HotKeyListener called by ChordGate.dll", 40, true) + " " + figures(listener));
        System.out.println(pad("HotKeyHandler through the Java layer", 40, true) + " " + figures(handler));
        System.out.println(pad("listener waking a plain Java thread", 40, true) + " " + figures(hop));
        double ratio = handler[handler.length * 99 / 100] / listener[listener.length * 99 / 100];
        System.out.println("layer p99 / listener p99: " + Math.round(ratio * 100) / 100.0 + " (target 2.0 at most)"
                + (ratio <= 2.0 ? "" : "   MISSED"));
    }
}
