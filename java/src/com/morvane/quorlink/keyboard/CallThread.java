package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.keyboard.KeyboardException.Reason;

/**
 * The one thread of a keyboard object on which every native call runs, one at a time: the caller's
 * thread never enters a COM apartment, so callers in any apartment work, and calls never overlap. A
 * caller waits for its call at most the object's call timeout; a call that outlasts it still runs, and
 * later calls queue behind it.
 */
final class CallThread extends SerialQueue<CallThread.Task> {
    /** A native call's body; returns the native method's value. */
    interface Call {
        long run();
    }

    static final class Task {
        final Call call;
        boolean done;
        long value;
        Throwable thrown;

        Task(Call call) {
            this.call = call;
        }
    }

    CallThread(String name) {
        super(name);
        start();
    }

    /**
     * Runs {@code call} on the call thread and returns its value, waiting at most {@code timeoutMs}.
     * On the call thread itself it runs at once.
     */
    long call(String operation, Call call, long timeoutMs) throws KeyboardException {
        if (Thread.currentThread() == thread()) {
            return run(operation, call);
        }
        Task task = new Task(call);
        if (!add(task)) {
            throw new KeyboardException(operation, Reason.CLOSED, 0, null);
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

    @Override
    void serve(Task task) {
        execute(task);
    }
}
