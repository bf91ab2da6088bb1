package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import java.util.ArrayDeque;

/**
 * The one thread of a keyboard object on which every native call runs, one at a time: the caller's
 * thread never enters a COM apartment, so callers in any apartment work, and calls never overlap. A
 * caller waits for its call at most the object's call timeout; a call that outlasts it still runs, and
 * later calls queue behind it.
 */
final class CallThread {
    /** A native call's body; returns the native method's value. */
    interface Call {
        long run();
    }

    private static final class Task {
        final Call call;
        boolean done;
        long value;
        Throwable thrown;

        Task(Call call) {
            this.call = call;
        }
    }

    private final ArrayDeque<Task> queue = new ArrayDeque<Task>();
    private final Thread thread;
    private boolean stopping;

    CallThread(String name) {
        thread = new Thread(new Runnable() {
            @Override
            public void run() {
                serve();
            }
        }, name);
        thread.setDaemon(true);
        thread.start();
    }

    Thread thread() {
        return thread;
    }

    /**
     * Runs {@code call} on the call thread and returns its value, waiting at most {@code timeoutMs}.
     * On the call thread itself it runs at once.
     */
    long call(String operation, Call call, long timeoutMs) throws KeyboardException {
        if (Thread.currentThread() == thread) {
            return run(operation, call);
        }
        Task task = new Task(call);
        synchronized (this) {
            if (stopping) {
                throw new KeyboardException(operation, Reason.CLOSED, 0, null);
            }
            queue.addLast(task);
            notifyAll();
        }
        long deadline = System.nanoTime() + timeoutMs * 1000000L;
        synchronized (task) {
            while (!task.done) {
                long left = (deadline - System.nanoTime()) / 1000000L;
                if (left <= 0) {
                    throw new KeyboardException(operation, Reason.TIMEOUT, 0, "waited " + timeoutMs + " ms");
                }
                try {
                    task.wait(left);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    throw new KeyboardException(operation, Reason.INTERRUPTED, 0, null);
                }
            }
        }
        return valueOf(operation, task);
    }

    /** Lets the thread end once the calls queued so far have run. */
    synchronized void stop() {
        stopping = true;
        notifyAll();
    }

    private static long run(String operation, Call call) throws KeyboardException {
        Task task = new Task(call);
        execute(task);
        return valueOf(operation, task);
    }

    private static long valueOf(String operation, Task task) throws KeyboardException {
        if (task.thrown instanceof LinkageError) {
            throw new KeyboardException(operation, Reason.LOAD_FAILED, 0, task.thrown.toString());
        }
        if (task.thrown instanceof RuntimeException) {
            throw (RuntimeException) task.thrown;
        }
        if (task.thrown instanceof Error) {
            throw (Error) task.thrown;
        }
        return task.value;
    }

    private static void execute(Task task) {
        long value = 0;
        Throwable thrown = null;
        try {
            value = task.call.run();
        } catch (Throwable t) {
            thrown = t;
        }
        synchronized (task) {
            task.value = value;
            task.thrown = thrown;
            task.done = true;
            task.notifyAll();
        }
    }

    private void serve() {
        while (true) {
            Task task;
            synchronized (this) {
                while (queue.isEmpty() && !stopping) {
                    try {
                        wait();
                    } catch (InterruptedException e) {
                        // Only stop() ends the thread, once the queue is empty.
                    }
                }
                if (queue.isEmpty()) {
                    return;
                }
                task = queue.removeFirst();
            }
            execute(task);
        }
    }
}
