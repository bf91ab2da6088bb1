package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.Diagnostics;
import java.util.concurrent.Executor;
import java.util.concurrent.RejectedExecutionException;

/**
 * Takes the keyboard's events off the keyboard's thread and hands them to the user's handler, in order,
 * on the user's executor or on a daemon thread of its own. Offering never blocks: the keyboard's thread
 * only queues. The queue of hot-key events is bounded; when it is full the newest event is dropped,
 * counted, and said once through the logger. State changes are never dropped. A handler method that
 * throws is logged, and the next event is delivered.
 */
final class EventDispatcher extends SerialQueue<EventDispatcher.Event> {
    abstract static class Event {
        final boolean hotKey;

        Event(boolean hotKey) {
            this.hotKey = hotKey;
        }

        abstract void deliverTo(HotKeyHandler handler);
    }

    private final HotKeyHandler handler;
    private final Executor executor;  // null: the dispatcher's own thread runs the handler
    private final int capacity;
    private int queuedHotKeys;  // guarded by this, as the queue is
    private long dropped;
    private boolean overflowSaid;

    EventDispatcher(HotKeyHandler handler, Executor executor, int capacity, String threadName) {
        super(threadName);
        this.handler = handler;
        this.executor = executor;
        this.capacity = capacity;
        start();
    }

    synchronized long dropped() {
        return dropped;
    }

    void hotKey(final HotKeyEvent event) {
        offer(new Event(true) {
            @Override
            void deliverTo(HotKeyHandler target) {
                target.onHotKey(event);
            }
        });
    }

    void keyboardFailed() {
        offer(new Event(true) {
            @Override
            void deliverTo(HotKeyHandler target) {
                target.onKeyboardFailed();
            }
        });
    }

    void detached() {
        offer(new Event(false) {
            @Override
            void deliverTo(HotKeyHandler target) {
                target.onDetached();
            }
        });
    }

    void stateChange(final Keyboard.State state) {
        offer(new Event(false) {
            @Override
            void deliverTo(HotKeyHandler target) {
                target.onStateChange(state);
            }
        });
    }

    private void offer(Event event) {
        boolean sayOverflow = false;
        synchronized (this) {
            if (event.hotKey && queuedHotKeys >= capacity) {
                dropped++;
                sayOverflow = !overflowSaid;
                overflowSaid = true;
            } else if (add(event)) {
                queuedHotKeys += event.hotKey ? 1 : 0;
            }
        }
        if (sayOverflow) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "events", "the handler falls behind: its queue of "
                    + capacity + " events is full, so newer hot-key events are dropped and counted"
                    + " (Keyboard.droppedEvents()); this is said once", null);
        }
    }

    @Override
    void taken(Event event) {
        queuedHotKeys -= event.hotKey ? 1 : 0;
    }

    @Override
    void serve(Event event) {
        if (executor == null) {
            deliver(event);
        } else {
            handOver(event);
        }
    }

    // One event at a time, so that the executor's threads keep the order; the next is handed over once
    // this one's handler method has returned.
    private void handOver(final Event event) {
        final boolean[] done = {false};
        try {
            executor.execute(new Runnable() {
                @Override
                public void run() {
                    try {
                        deliver(event);
                    } finally {
                        synchronized (done) {
                            done[0] = true;
                            done.notifyAll();
                        }
                    }
                }
            });
        } catch (RejectedExecutionException e) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "events",
                    "the executor refused an event; it is dropped", e);
            return;
        }
        synchronized (done) {
            while (!done[0]) {
                try {
                    done.wait();
                } catch (InterruptedException e) {
                    // The executor still owns the event; its turn ends when it has run.
                }
            }
        }
    }

    private void deliver(Event event) {
        try {
            event.deliverTo(handler);
        } catch (Throwable t) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "events",
                    "a HotKeyHandler method threw; the next event is delivered as usual", t);
        }
    }
}
