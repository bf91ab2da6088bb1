package com.morvane.quorlink.bench;

import com.morvane.quorlink.keyboard.Keyboard;
import com.morvane.quorlink.keyboard.KeyboardException;
import com.morvane.quorlink.keyboard.SimulatedKeyboard;
import java.util.Arrays;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * The Java layer's figures on the JDK, with the simulated keyboard, in one run: the time from just before
 * a hot key is raised to the entry of the code that gets it (p50, p99, max over events raised one at a
 * time, each once the previous one has arrived), the rate of a burst raised without pause until the last
 * event has arrived, and the rate at which a queued burst is delivered. Three rows: the library's own event thread, a user's single-thread executor, and
 * as the floor of any hand-off a bare LinkedBlockingQueue between two plain threads. Prints the figures and
 * the executor's ratios against its aims; asserts no time. Exits with 1 only when something is broken: an
 * event lost or dropped, or one that did not arrive within the wait. Run by bench/layer-bench-jdk.sh.
 */
public final class LayerBenchJdk {
    private static final long ARRIVAL_WAIT_MS = 10000;
    private static final double P99_AIM = 1.5;    // the executor's p99 at most this times the dispatcher's
    private static final double BURST_AIM = 0.5;  // the executor's burst at least this part of the dispatcher's

    private LayerBenchJdk() {
    }

    /** Where events arrive: the time each was raised, how long it took, how many came and when the last did. */
    private static final class Arrivals {
        private long[] raisedAt = new long[0];
        private long[] tookNanos = new long[0];
        private int seen;
        private long lastAt;
        private boolean holding;  // the first event's receiver waits in it until release()

        synchronized void reset(int events, boolean holdFirst) {
            raisedAt = new long[events];
            tookNanos = new long[events];
            seen = 0;
            lastAt = 0;
            holding = holdFirst;
        }

        /** Lets the receiver held by the first event go on. */
        synchronized void release() {
            holding = false;
            notifyAll();
        }

        // The raising thread writes before the hand-off, the receiving one reads after it: the hand-off
        // orders the two.
        long raising(int index) {
            long now = System.nanoTime();
            raisedAt[index] = now;
            return now;
        }

        void arrived(int index) {
            arrived(index, raisedAt[index]);
        }

        void arrived(int index, long raised) {
            long now = System.nanoTime();
            synchronized (this) {
                tookNanos[index] = now - raised;
                seen++;
                lastAt = now;
                notifyAll();
                while (holding && index == 0) {
                    try {
                        wait();
                    } catch (InterruptedException e) {
                        Thread.currentThread().interrupt();
                        return;
                    }
                }
            }
        }

        /** Waits until {@code count} events have arrived, at most the arrival wait since the last one came. */
        synchronized void await(int count) throws InterruptedException {
            long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(ARRIVAL_WAIT_MS);
            while (seen < count) {
                long left = deadline - System.nanoTime();
                if (left <= 0) {
                    throw new IllegalStateException("only " + seen + " of " + count + " events arrived within "
                            + ARRIVAL_WAIT_MS + " ms of each other");
                }
                int before = seen;
                TimeUnit.NANOSECONDS.timedWait(this, left);
                if (seen > before) {
                    deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(ARRIVAL_WAIT_MS);
                }
            }
        }

        synchronized long lastAt() {
            return lastAt;
        }

        /** The times taken by events {@code from} onwards, in microseconds, sorted. */
        synchronized double[] sortedMicros(int from) {
            double[] micros = new double[tookNanos.length - from];
            for (int i = from; i < tookNanos.length; i++) {
                micros[i - from] = tookNanos[i] / 1000.0;
            }
            Arrays.sort(micros);
            return micros;
        }
    }

    /** One way of getting an event from the raising thread to the code that handles it. */
    private interface Path extends AutoCloseable {
        void raise(int index) throws InterruptedException;

        long dropped();

        /** Lets the path go and waits for its threads; an interrupt while waiting is a broken run. */
        @Override
        void close();
    }

    /** Hot keys raised at the simulated keyboard, handled through a keyboard object of the layer. */
    private static final class LayerPath implements Path {
        private final SimulatedKeyboard simulation = new SimulatedKeyboard();
        private final ExecutorService executor;
        private final Keyboard keyboard;
        private final Arrivals arrivals;

        LayerPath(final Arrivals arrivals, ExecutorService executor, int queueCapacity) throws KeyboardException {
            this.arrivals = arrivals;
            this.executor = executor;
            keyboard = simulation.builder().tones(false).executor(executor).queueCapacity(queueCapacity)
                    .handler(event -> arrivals.arrived(event.third())).open();
            keyboard.register(0, 0, 0);  // the simulation, as the keyboard, reports only registered keys
        }

        @Override
        public void raise(int index) {
            arrivals.raising(index);
            simulation.hotKey(0, 0, index);  // one registered key; the index rides in the third value
        }

        @Override
        public long dropped() {
            return keyboard.droppedEvents();
        }

        @Override
        public void close() {
            keyboard.close();
            simulation.close();
            if (executor != null) {
                executor.shutdown();
                if (!awaitEnd(executor)) {
                    throw new IllegalStateException("the executor did not end");
                }
            }
        }

        private static boolean awaitEnd(ExecutorService executor) {
            try {
                return executor.awaitTermination(ARRIVAL_WAIT_MS, TimeUnit.MILLISECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return false;
            }
        }
    }

    /** The floor: a producer put()s the time it raised at, a plain consumer thread take()s it. */
    private static final class QueuePath implements Path {
        // Compared by identity: any value may be a real time.
        private static final Long END = new Long(0);

        private final LinkedBlockingQueue<Long> queue = new LinkedBlockingQueue<Long>();
        private final Arrivals arrivals;
        private final Thread consumer;

        QueuePath(Arrivals events) {
            arrivals = events;
            consumer = new Thread(new Runnable() {
                @Override
                public void run() {
                    try {
                        int index = 0;
                        for (Long raised; (raised = queue.take()) != END; ) {
                            arrivals.arrived(index++, raised);
                        }
                    } catch (InterruptedException e) {
                        Thread.currentThread().interrupt();
                    }
                }
            }, "bench-queue-consumer");
            consumer.setDaemon(true);
            consumer.start();
        }

        @Override
        public void raise(int index) throws InterruptedException {
            queue.put(arrivals.raising(index));
        }

        @Override
        public long dropped() {
            return 0;
        }

        @Override
        public void close() {
            queue.add(END);  // unbounded: never waits
            try {
                consumer.join(ARRIVAL_WAIT_MS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
            if (consumer.isAlive()) {
                throw new IllegalStateException("the consumer did not end");
            }
        }
    }

    /** A row's figures. */
    private static final class Figures {
        double[] micros;
        double perSecond;  // raised without pause, until the last has arrived
        double drained;    // queued behind a held first event, from its release until the last has arrived

        double p50() {
            return micros[micros.length / 2];
        }

        double p99() {
            return micros[micros.length * 99 / 100];
        }

        double max() {
            return micros[micros.length - 1];
        }
    }

    private interface PathFactory {
        Path open(Arrivals arrivals) throws Exception;
    }

    /** A row of the table: how its path is made, and its figures. */
    private static final class Row {
        final String name;
        final PathFactory factory;
        final Figures figures = new Figures();
        final Arrivals arrivals = new Arrivals();

        Row(String name, PathFactory factory) {
            this.name = name;
            this.factory = factory;
        }
    }

    /**
     * The one-at-a-time events of all rows in turn, event by event, so that the machine's other load and
     * the collector's work fall on every row alike; a row's event is raised once its previous one arrived.
     */
    private static void measureLatency(Row[] rows, int warmUp, int events) throws Exception {
        Path[] paths = new Path[rows.length];
        try {
            for (int r = 0; r < rows.length; r++) {
                rows[r].arrivals.reset(warmUp + events, false);
                paths[r] = rows[r].factory.open(rows[r].arrivals);
            }
            System.gc();
            for (int i = 0; i < warmUp + events; i++) {
                // Each row follows each other one as often: what the row before left running weighs alike.
                for (int k = 0; k < rows.length; k++) {
                    int r = (i + k) % rows.length;
                    paths[r].raise(i);
                    rows[r].arrivals.await(i + 1);
                }
            }
            for (int r = 0; r < rows.length; r++) {
                checkNoneDropped(paths[r], "of the events raised one at a time");
                rows[r].figures.micros = rows[r].arrivals.sortedMicros(warmUp);
            }
        } finally {
            for (Path path : paths) {
                if (path != null) {
                    path.close();
                }
            }
        }
    }

    /** Each row's warm-up burst and its measured one; then the same with the first event held. */
    private static void measureBursts(Row[] rows, int burst) throws Exception {
        for (boolean held : new boolean[] {false, true}) {
            for (Row row : rows) {
                burst(row.factory, row.arrivals, Math.min(burst, 20000), held);
                System.gc();
                double perSecond = burst(row.factory, row.arrivals, burst, held);
                if (held) {
                    row.figures.drained = perSecond;
                } else {
                    row.figures.perSecond = perSecond;
                }
            }
        }
    }

    /**
     * Raises {@code count} events without pause, and returns the events per second from the first raise
     * until the last one has arrived. With {@code held}, the receiver waits inside the first event until
     * all are raised, so that the rest queue up; the rate is then counted from its release, and so measures
     * the delivery alone, without the raising side's pace.
     */
    private static double burst(PathFactory factory, Arrivals arrivals, int count, boolean held) throws Exception {
        arrivals.reset(count, held);
        try (Path path = factory.open(arrivals)) {
            long start = System.nanoTime();
            for (int i = 0; i < count; i++) {
                path.raise(i);
            }
            checkNoneDropped(path, "of a burst of " + count);
            if (held) {
                arrivals.await(1);
                start = System.nanoTime();
                arrivals.release();
            }
            arrivals.await(count);
            return (held ? count - 1 : count) / ((arrivals.lastAt() - start) / 1e9);
        }
    }

    private static void checkNoneDropped(Path path, String which) {
        long dropped = path.dropped();
        if (dropped > 0) {
            throw new IllegalStateException(dropped + " events " + which + " were dropped");
        }
    }

    private static String row(String name, Figures figures) {
        return String.format("%-32s %8.1f %8.1f %9.1f %11.0f %11.0f", name, figures.p50(), figures.p99(),
                figures.max(), figures.perSecond, figures.drained);
    }

    private static String aim(String what, double ratio, boolean met, String target) {
        return String.format("%-34s %5.2f  (aim: %s)  %s", what, ratio, target, met ? "met" : "MISSED");
    }

    /**
     * Runs the three rows and prints the table.
     *
     * @param args the events raised one at a time (10,000), the burst (200,000), the warm-up (2,000)
     * @throws Exception when something is broken: the program then exits with 1
     */
    public static void main(String[] args) throws Exception {
        int events = args.length > 0 ? Integer.parseInt(args[0]) : 10000;
        final int burst = args.length > 1 ? Integer.parseInt(args[1]) : 200000;
        int warmUp = args.length > 2 ? Integer.parseInt(args[2]) : 2000;
        if (events < 100 || burst < 2 || warmUp < 0) {
            throw new IllegalArgumentException("at least 100 events one at a time and a burst of 2, and no"
                    + " negative warm-up: " + events + ", " + burst + ", " + warmUp);
        }
        // The queue holds a whole burst, so that none is dropped whatever the handler's pace.
        final int capacity = Math.max(burst, warmUp + events);

        Row[] rows = {new Row("library's dispatcher", new PathFactory() {
            @Override
            public Path open(Arrivals arrivals) throws Exception {
                return new LayerPath(arrivals, null, capacity);
            }
        }), new Row("user's single-thread executor", new PathFactory() {
            @Override
            public Path open(Arrivals arrivals) throws Exception {
                return new LayerPath(arrivals, Executors.newSingleThreadExecutor(), capacity);
            }
        }), new Row("LinkedBlockingQueue hand-off", new PathFactory() {
            @Override
            public Path open(Arrivals arrivals) {
                return new QueuePath(arrivals);
            }
        })};
        measureLatency(rows, warmUp, events);
        measureBursts(rows, burst);
        Figures dispatcher = rows[0].figures;
        Figures executor = rows[1].figures;

        System.out.println(String.format("raise -> handler entry: %,d events one at a time after %,d of warm-up, the rows in turn"
                + " (microseconds); a burst of %,d events raised without pause, and the same queued behind a"
                + " held first event, drained from its release (events per second)", events, warmUp, burst));
        System.out.println(String.format("java %s, %s, %d processors", System.getProperty("java.version"),
                System.getProperty("java.vm.name"), Runtime.getRuntime().availableProcessors()));
        System.out.println(String.format("%-32s %8s %8s %9s %11s %11s", "", "p50", "p99", "max", "burst/s",
                "drained/s"));
        for (Row row : rows) {
            System.out.println(row(row.name, row.figures));
        }
        double p99Ratio = executor.p99() / dispatcher.p99();
        double burstRatio = executor.perSecond / dispatcher.perSecond;
        System.out.println(aim("executor p99 / dispatcher p99", p99Ratio, p99Ratio <= P99_AIM, "1.5 at most"));
        System.out.println(aim("executor burst / dispatcher burst", burstRatio, burstRatio >= BURST_AIM,
                "0.5 at least"));
        double drainRatio = executor.drained / dispatcher.drained;
        System.out.println(aim("the same, drained from a queue", drainRatio, drainRatio >= BURST_AIM,
                "0.5 at least"));
        System.out.println("dropped events: none (the queue holds a whole burst)");
    }
}
