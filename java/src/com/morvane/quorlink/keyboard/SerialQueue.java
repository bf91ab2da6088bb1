package com.morvane.quorlink.keyboard;

import java.util.ArrayDeque;

/**
 * A queue served by one daemon thread of its own, one item at a time, in order, until it is stopped and
 * what was queued before has been served. The keyboard object's calls and its events each have one.
 */
abstract class SerialQueue<T> {
    private final ArrayDeque<T> queue = new ArrayDeque<T>();
    private final Thread thread;
    private boolean stopping;

    SerialQueue(String threadName) {
        thread = new Thread(new Runnable() {
            @Override
            public void run() {
                for (T item; (item = next()) != null; ) {
                    serve(item);
                }
            }
        }, threadName);
        thread.setDaemon(true);
    }

    /** Starts the thread; a subclass calls it last in its constructor, once its own fields are set. */
    final void start() {
        thread.start();
    }

    final Thread thread() {
        return thread;
    }

    /** Queues an item; false once the queue is stopping. */
    final synchronized boolean add(T item) {
        if (stopping) {
            return false;
        }
        queue.addLast(item);
        notifyAll();
        return true;
    }

    /** Lets the thread end once what is queued now has been served; later items are refused. */
    final synchronized void stop() {
        stopping = true;
        notifyAll();
    }

    /** On the thread, outside the lock. */
    abstract void serve(T item);

    /** Under the lock, as the item leaves the queue. */
    void taken(T item) {
    }

    private synchronized T next() {
        while (queue.isEmpty() && !stopping) {
            try {
                wait();
            } catch (InterruptedException e) {
                // Only stop() ends the thread, once the queue is empty.
            }
        }
        T item = queue.pollFirst();
        if (item != null) {
            taken(item);
        }
        return item;
    }
}
