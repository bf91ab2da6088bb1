package com.morvane.quorlink.keyboard;

/**
 * Takes hold of a detached keyboard again: attempts after the first delay and then at doubling intervals
 * up to the longest, until one works or it is cancelled. Each attempt is a delayed task of the call
 * thread, so it runs where the rest of the object's state lives; cancelling drops the pending one.
 */
final class Reconnector {
    /** One attempt to open the keyboard again; true once it is connected. */
    interface Attempt {
        boolean connect();
    }

    /** Where the attempts run after their delay. */
    interface Scheduler {
        CallThread.Cancellable schedule(Runnable task, long millis);
    }

    private final Scheduler scheduler;
    private final Attempt attempt;
    private final long firstMs;
    private final long maxMs;
    private CallThread.Cancellable pending;
    private long delayMs;
    private volatile boolean active;  // between start() and a success or cancel(); read from any thread

    Reconnector(Scheduler scheduler, long firstMs, long maxMs, Attempt attempt) {
        this.scheduler = scheduler;
        this.firstMs = firstMs;
        this.maxMs = maxMs;
        this.attempt = attempt;
    }

    static long nextDelay(long delay, long max) {
        return delay >= max / 2 ? max : delay * 2;
    }

    /** Starts over: the first attempt after the first delay. */
    void start() {
        cancel();
        delayMs = firstMs;
        active = true;
        plan();
    }

    /** Whether attempts are planned or running. */
    boolean active() {
        return active;
    }

    /** No further attempt. */
    void cancel() {
        active = false;
        if (pending != null) {
            pending.cancel();
            pending = null;
        }
    }

    private void plan() {
        pending = scheduler.schedule(new Runnable() {
            @Override
            public void run() {
                pending = null;
                if (!attempt.connect()) {
                    delayMs = nextDelay(delayMs, maxMs);
                    plan();
                } else {
                    active = false;
                }
            }
        }, delayMs);
    }
}
