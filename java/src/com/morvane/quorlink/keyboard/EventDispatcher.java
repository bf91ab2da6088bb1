package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.Diagnostics;
import java.util.ArrayDeque;
import java.util.concurrent.Executor;

/**
 * Takes the keyboard's events off the keyboard's thread and hands them to the user's handler, in order.
 * Offering never blocks: the keyboard's thread only queues. One drain task at a time, on the user's
 * executor or on a daemon thread of the dispatcher's own, delivers what is queued. Hot keys wait in a
 * bounded queue (the newest is dropped and counted when it is full, said once per burst); failures and
 * state changes are never dropped. What a handler throws goes to the receiver the builder gave (or the
 * simulation's keeper), else to the delivering thread's uncaught-exception handler, and delivery goes on.
 * No lock is held while user code runs.
 *
 * <p>A drain task stops draining in the same step in which it finds the queue empty, so an event offered
 * at any moment either is taken by the running task or finds none running and hands over a new one.
 */
final class EventDispatcher {
    private enum Kind {
        HOT_KEY, FAILED, STATE
    }

    private static final class Event {
        final Kind kind;
        final HotKeyEvent hotKey;
        final Keyboard.State state;

        Event(Kind kind, HotKeyEvent hotKey, Keyboard.State state) {
            this.kind = kind;
            this.hotKey = hotKey;
            this.state = state;
        }

        void deliverTo(HotKeyHandler handler, Keyboard keyboard) {
            switch (kind) {
                case HOT_KEY:
                    handler.onHotKey(hotKey);
                    break;
                case FAILED:
                    handler.onKeyboardFailed(keyboard);
                    break;
                default:
                    handler.onStateChange(keyboard, state);
            }
        }

        boolean last() {
            return state == Keyboard.State.CLOSED;
        }

        @Override
        public String toString() {
            return kind == Kind.HOT_KEY ? "onHotKey(" + hotKey + ")" : kind == Kind.FAILED ? "onKeyboardFailed()"
                    : "onStateChange(" + state + ")";
        }
    }

    // A drain task handed over this long ago that has not started yet may have been discarded by the
    // executor; the next event hands over another, which delivers what the lost one would have.
    private static final long RESUBMIT_NANOS = 200000000L;

    private final Keyboard keyboard;
    private final HotKeyHandler handler;
    private final Executor executor;
    private final CallThread ownThread;  // null when the user's executor delivers
    private final Thread.UncaughtExceptionHandler errors;  // null: the delivering thread's own
    private final int capacity;
    private final Runnable drain = new Runnable() {
        @Override
        public void run() {
            drain();
        }
    };

    private final ArrayDeque<Event> queue = new ArrayDeque<Event>();  // this and what follows guarded by this
    private int queuedHotKeys;
    private long dropped;
    private boolean overflowSaid;
    private boolean rejectionSaid;
    private boolean held = true;   // until open() returns
    private boolean handedOver;    // a drain task was handed over and has not started
    private long handedOverAt;
    private boolean draining;      // a drain task delivers
    private boolean lastQueued;    // CLOSED is queued: nothing more is taken
    private boolean quiet;         // close() from a handler: no handler call starts after the current one
    private boolean finished;      // CLOSED delivered, or nothing more will be
    private Thread delivering;
    private Event current;

    EventDispatcher(Keyboard keyboard, HotKeyHandler handler, Executor executor,
                    Thread.UncaughtExceptionHandler errors, int capacity) {
        this.keyboard = keyboard;
        this.handler = handler;
        this.errors = errors;
        this.capacity = capacity;
        this.ownThread = executor == null ? new CallThread("quorlink-keyboard-events") : null;
        this.executor = executor == null ? ownThread : executor;
    }

    synchronized long dropped() {
        return dropped;
    }

    void hotKey(HotKeyEvent event) {
        offer(new Event(Kind.HOT_KEY, event, null));
    }

    void keyboardFailed() {
        offer(new Event(Kind.FAILED, null, null));
    }

    /** A state change; {@link Keyboard.State#CLOSED} is the last event taken. */
    void stateChange(Keyboard.State state) {
        offer(new Event(Kind.STATE, null, state));
    }

    /** open() has returned: what waited is delivered. */
    void open() {
        synchronized (this) {
            held = false;
        }
        handOverIfNeeded();
    }

    /** The object never opened: nothing is delivered, the own thread ends. */
    void abandon() {
        synchronized (this) {
            queue.clear();
            lastQueued = true;
            finished = true;
            notifyAll();
        }
        if (ownThread != null) {
            ownThread.stop();
        }
    }

    /** Whether the calling thread is delivering an event of this dispatcher now. */
    synchronized boolean deliveringHere() {
        return delivering == Thread.currentThread();
    }

    /**
     * close() from a handler: no handler call starts after the current one; queued hot keys are dropped and
     * counted, and the handler, which called close() itself, gets no CLOSED.
     */
    synchronized void quiet() {
        quiet = true;
    }

    /** Waits until CLOSED has been delivered and the drain task has ended; false at the deadline. */
    synchronized boolean awaitFinished(long deadline) throws InterruptedException {
        return await(deadline, true);
    }

    /** Waits until every event offered so far has been handled; false at the deadline. */
    synchronized boolean awaitIdle(long deadline) throws InterruptedException {
        return await(deadline, false);
    }

    private boolean await(long deadline, boolean toTheEnd) throws InterruptedException {
        while (toTheEnd ? !finished || draining : !queue.isEmpty() || draining) {
            if (!CallThread.waitUntil(this, deadline)) {
                return false;
            }
        }
        return true;
    }

    /** The handler call running now, for a close() that gave up waiting for it. */
    synchronized String running() {
        return current == null ? null : current + " on thread " + delivering.getName();
    }

    private void offer(Event event) {
        boolean sayOverflow = false;
        synchronized (this) {
            if (lastQueued) {
                return;
            }
            if (event.kind == Kind.HOT_KEY && queuedHotKeys >= capacity) {
                dropped++;
                sayOverflow = !overflowSaid;
                overflowSaid = true;  // until the queue has drained: once per burst
            } else {
                queue.addLast(event);
                queuedHotKeys += event.kind == Kind.HOT_KEY ? 1 : 0;
                lastQueued = event.last();
            }
        }
        if (sayOverflow) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "events", "the handler falls behind: its queue of "
                    + capacity + " events is full, so newer hot-key events are dropped and counted"
                    + " (Keyboard.droppedEvents()); this is said once until the queue has drained", null);
        }
        handOverIfNeeded();
    }

    // Outside the lock: the executor is user code.
    private void handOverIfNeeded() {
        synchronized (this) {
            long now = System.nanoTime();
            if (held || draining || queue.isEmpty() || handedOver && now - handedOverAt < RESUBMIT_NANOS) {
                return;
            }
            handedOver = true;
            handedOverAt = now;
        }
        try {
            executor.execute(drain);
        } catch (Throwable t) {
            refused(t);
        }
    }

    // The executor refused or threw: the hot keys waiting are lost and counted; the other events wait for
    // the next hand-over, unless nothing will come after them.
    private void refused(Throwable t) {
        long lost = 0;
        boolean say;
        synchronized (this) {
            handedOver = false;
            for (int left = queue.size(); left > 0; left--) {
                Event event = queue.pollFirst();
                if (event.kind == Kind.HOT_KEY || lastQueued) {
                    lost += event.kind == Kind.HOT_KEY ? 1 : 0;
                } else {
                    queue.addLast(event);  // kept, in order, for the next hand-over
                }
            }
            queuedHotKeys = 0;
            dropped += lost;
            finished |= lastQueued;
            say = !rejectionSaid;
            rejectionSaid = true;
            notifyAll();
        }
        if (say) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "events", "the executor did not take the delivery of "
                    + lost + " hot-key events; they are dropped and counted (Keyboard.droppedEvents()), and later"
                    + " events are handed to it again; this is said once until it takes a delivery again", t);
        }
    }

    private void drain() {
        synchronized (this) {
            handedOver = false;
            if (draining) {
                return;  // the one that drains takes what is queued
            }
            draining = true;
            rejectionSaid = false;  // the executor takes deliveries again
            delivering = Thread.currentThread();
        }
        boolean ended = false;
        boolean stopped = false;
        try {
            for (Event event; (event = take()) != null; ) {
                deliver(event);
                if (event.last()) {
                    ended = true;
                    break;
                }
            }
            stopped = true;
        } finally {
            boolean again;
            synchronized (this) {
                finished |= ended;
                if (draining && delivering == Thread.currentThread()) {
                    // CLOSED delivered, or something escaped: take() did not end the draining
                    draining = false;
                    delivering = null;
                    current = null;
                    notifyAll();
                }
                ended = finished;  // CLOSED delivered, or dropped after a close from a handler
                again = !stopped && !finished;
            }
            if (ended && ownThread != null) {
                ownThread.stop();
            }
            if (again) {
                handOverIfNeeded();
            }
        }
    }

    // Null once nothing is left to deliver; the draining ends in the same step, under the lock, so an
    // offer that comes after it hands over a new drain task itself.
    private synchronized Event take() {
        Event event = held ? null : queue.pollFirst();
        while (event != null && quiet) {
            dropped += event.kind == Kind.HOT_KEY ? 1 : 0;
            queuedHotKeys -= event.kind == Kind.HOT_KEY ? 1 : 0;
            finished |= event.last();
            event = queue.pollFirst();
        }
        if (event == null) {
            overflowSaid = false;
            current = null;
            draining = false;
            delivering = null;
            notifyAll();
            return null;
        }
        queuedHotKeys -= event.kind == Kind.HOT_KEY ? 1 : 0;
        current = event;
        return event;
    }

    private void deliver(Event event) {
        try {
            event.deliverTo(handler, keyboard);
        } catch (Throwable t) {
            // The user's own error goes to the user's receiver; a trace here, not a warning.
            Diagnostics.logLayer(500, Keyboard.class.getName(), "events",
                    "a HotKeyHandler method threw; the next event is delivered as usual", t);
            Thread thread = Thread.currentThread();
            Thread.UncaughtExceptionHandler target = errors != null ? errors : thread.getUncaughtExceptionHandler();
            try {
                target.uncaughtException(thread, t);
            } catch (Throwable again) {
                Diagnostics.logLayer(900, Keyboard.class.getName(), "events",
                        "the uncaught-exception handler threw in turn", again);
            }
        }
    }
}
