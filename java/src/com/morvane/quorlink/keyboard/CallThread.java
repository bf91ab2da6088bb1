package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.concurrent.Executor;
import java.util.concurrent.RejectedExecutionException;

/**
 * One daemon thread that runs tasks one at a time, in order, and delayed tasks when they are due, until
 * it is stopped and what was queued before has run. A keyboard object's native calls, its state changes,
 * its journal edits and its reconnection attempts all run on its call thread, so that state has one owner
 * and no lock; a keyboard object without a user's executor delivers its events through another one.
 */
final class CallThread implements Executor {
    /** A unit of work on the call thread; its value or its exception goes back to the waiting caller. */
    interface Task {
        long run() throws KeyboardException;
    }

    /** A delayed task that can still be called off. */
    interface Cancellable {
        void cancel();
    }

    // Far enough that no sum with System.nanoTime() overflows; about 73 years.
    private static final long LONGEST_NANOS = Long.MAX_VALUE / 4;

    private final Thread thread;
    private final ArrayDeque<Runnable> ready = new ArrayDeque<Runnable>();  // guarded by this
    private final ArrayList<Delayed> delayed = new ArrayList<Delayed>();    // guarded by this, by due time
    private boolean stopping;                                               // guarded by this

    CallThread(String name) {
        thread = new Thread(new Runnable() {
            @Override
            public void run() {
                for (Runnable task; (task = next()) != null; ) {
                    try {
                        task.run();
                    } catch (Throwable t) {
                        Diagnostics.logLayer(900, Keyboard.class.getName(), "calls", "a task of the call thread threw", t);
                    }
                }
            }
        }, name);
        thread.setDaemon(true);
        thread.start();
    }

    /** A deadline {@code millis} from now, in {@link System#nanoTime()} terms; any positive value is fine. */
    static long deadline(long millis) {
        long nanos = millis >= LONGEST_NANOS / 1000000L ? LONGEST_NANOS : millis * 1000000L;
        return System.nanoTime() + nanos;
    }

    /** What is left until {@code deadline}, in whole milliseconds rounded up; 0 once it has passed. */
    static long millisLeft(long deadline) {
        long nanos = deadline - System.nanoTime();
        return nanos <= 0 ? 0 : (nanos + 999999L) / 1000000L;
    }

    /** Waits on {@code monitor}, which the caller holds, until {@code deadline}; false once it has passed. */
    static boolean waitUntil(Object monitor, long deadline) throws InterruptedException {
        long left = millisLeft(deadline);
        if (left == 0) {
            return false;
        }
        monitor.wait(left);
        return true;
    }

    boolean isCurrent() {
        return Thread.currentThread() == thread;
    }

    Thread thread() {
        return thread;
    }

    /**
     * Queues a task.
     *
     * @throws RejectedExecutionException once the thread is stopping
     */
    @Override
    public void execute(Runnable task) {
        if (!offer(task)) {
            throw new RejectedExecutionException(thread.getName() + " has stopped");
        }
    }

    /** Queues a task; false once the thread is stopping. */
    synchronized boolean offer(Runnable task) {
        if (stopping) {
            return false;
        }
        ready.addLast(task);
        notifyAll();
        return true;
    }

    /** Runs {@code task} on the thread once {@code millis} have passed, unless cancelled or stopped before. */
    synchronized Cancellable schedule(Runnable task, long millis) {
        final Delayed entry = new Delayed(task, deadline(millis));
        int at = 0;
        while (at < delayed.size() && delayed.get(at).due - entry.due <= 0) {
            at++;
        }
        delayed.add(at, entry);
        notifyAll();
        return new Cancellable() {
            @Override
            public void cancel() {
                synchronized (CallThread.this) {
                    delayed.remove(entry);
                }
            }
        };
    }

    /** Lets the thread end once what is queued now has run; delayed tasks are dropped, later tasks refused. */
    synchronized void stop() {
        stopping = true;
        delayed.clear();
        notifyAll();
    }

    /**
     * Runs {@code task} on the thread and returns its value, waiting at most {@code timeoutMs}; on the
     * thread itself (a handler's call from a direct executor) it runs at once.
     */
    long call(String operation, Task task, long timeoutMs) throws KeyboardException {
        return call(operation, task, timeoutMs, true);
    }

    /**
     * As {@link #call(String, Task, long)}; with {@code withdraw} false, a task the caller stopped waiting for
     * still runs in its turn (a clean-up that must happen whoever waits for it).
     */
    long call(String operation, Task task, long timeoutMs, boolean withdraw) throws KeyboardException {
        Pending pending = new Pending(operation, task, withdraw);
        if (isCurrent()) {
            pending.run();
        } else if (!offer(pending)) {
            throw new KeyboardException(operation, Reason.CLOSED, 0, null);
        }
        return pending.await(timeoutMs);
    }

    private synchronized Runnable next() {
        while (true) {
            if (!delayed.isEmpty() && delayed.get(0).due - System.nanoTime() <= 0) {
                return delayed.remove(0).task;
            }
            if (!ready.isEmpty()) {
                return ready.pollFirst();
            }
            if (stopping) {
                return null;
            }
            try {
                if (delayed.isEmpty()) {
                    wait();
                } else {
                    waitUntil(this, delayed.get(0).due);
                }
            } catch (InterruptedException e) {
                // Only stop() ends the thread, once its queue is empty.
            }
        }
    }

    private static final class Delayed {
        final Runnable task;
        final long due;

        Delayed(Runnable task, long due) {
            this.task = task;
            this.due = due;
        }
    }

    /**
     * A task a caller waits for. A caller that stops waiting (time-out, interrupt) before the task started
     * withdraws it, and it never runs; once started, it runs to its end, and its effects stand.
     */
    private final class Pending implements Runnable {
        private final String operation;
        private final Task task;
        private final boolean mayWithdraw;
        private boolean started;   // guarded by this
        private boolean withdrawn; // guarded by this
        private boolean done;      // guarded by this
        private long value;        // guarded by this
        private Throwable thrown;  // guarded by this

        Pending(String operation, Task task, boolean mayWithdraw) {
            this.operation = operation;
            this.task = task;
            this.mayWithdraw = mayWithdraw;
        }

        @Override
        public void run() {
            synchronized (this) {
                if (withdrawn) {
                    return;
                }
                started = true;
            }
            long result = 0;
            Throwable failure = null;
            try {
                result = task.run();
            } catch (Throwable t) {
                failure = t;
            }
            synchronized (this) {
                value = result;
                thrown = failure;
                done = true;
                notifyAll();
            }
        }

        long await(long timeoutMs) throws KeyboardException {
            synchronized (this) {
                long deadline = deadline(timeoutMs);
                try {
                    while (!done) {
                        if (!waitUntil(this, deadline)) {
                            throw new KeyboardException(operation, Reason.TIMEOUT, 0, "waited " + timeoutMs + " ms; "
                                    + giveUp());
                        }
                    }
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    throw new KeyboardException(operation, Reason.INTERRUPTED, 0, giveUp());
                }
            }
            // LinkageError first: it is an Error too, and a DLL that cannot load is the caller's LOAD_FAILED.
            if (thrown instanceof LinkageError) {
                throw new KeyboardException(operation, Reason.LOAD_FAILED, 0, thrown.toString());
            }
            if (thrown instanceof KeyboardException) {
                throw (KeyboardException) thrown;
            }
            if (thrown instanceof RuntimeException) {
                throw (RuntimeException) thrown;
            }
            if (thrown instanceof Error) {
                throw (Error) thrown;
            }
            return value;
        }

        // The caller holds this. A task not started yet is withdrawn; a started one goes on.
        private String giveUp() {
            if (!started && mayWithdraw) {
                withdrawn = true;
                return "withdrawn before it started: it has no effect";
            }
            return started ? "it had started and may still take effect" : "it runs in its turn";
        }
    }
}
