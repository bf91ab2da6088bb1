package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.keyboard.Keyboard.State;
import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import com.morvane.quorlink.services.keyboard.HotKeyListener;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * What stands behind a {@link Keyboard}: its call thread, which owns the state, the session and the
 * reconnection (each changes in a task there, so no check-then-act spans threads), and its event
 * dispatcher. The caller's side only reads the published state and waits for tasks.
 */
final class KeyboardLayer {
    private final Keyboard keyboard;
    private final boolean tones;
    private final boolean hotKeys;
    private final boolean reconnect;
    private final boolean awaitKeyboard;
    private final long callTimeoutMs;
    private final CallThread calls = new CallThread("quorlink-keyboard-calls");
    private final EventDispatcher events;  // null without a handler
    private final BridgeSession session;
    private final Reconnector reconnector;
    private final Object closing = new Object();
    private boolean closeDone;       // guarded by closing
    // close() was called: calls fail at once. Set once, by the close() that goes first; an atomic, so that
    // every thread sees it at once.
    private final AtomicBoolean closed = new AtomicBoolean();
    private final Object stateChanged = new Object();  // notified at each change of state, for awaitState
    private volatile State state;     // written on the call thread only
    private int failedAttempts;       // on the call thread: failed attempts since the last connection
    private volatile long attemptsMade;  // on the call thread: attempts ended, for the simulation's awaitIdle

    KeyboardLayer(Keyboard keyboard, Keyboard.Builder builder) {
        this.keyboard = keyboard;
        tones = builder.tones;
        hotKeys = builder.hotKeys;
        reconnect = builder.reconnect;
        awaitKeyboard = builder.awaitKeyboard;
        callTimeoutMs = builder.callTimeoutMs;
        Thread.UncaughtExceptionHandler errors = builder.handlerErrors != null ? builder.handlerErrors
                : builder.keptErrors;
        events = builder.handler == null ? null : new EventDispatcher(keyboard, builder.handler, builder.executor,
                errors, builder.queueCapacity);
        session = new BridgeSession(builder.bridges, tones, hotKeys, new Listener(), builder.declared);
        reconnector = new Reconnector(new Reconnector.Scheduler() {
            @Override
            public CallThread.Cancellable schedule(Runnable task, long millis) {
                return calls.schedule(task, millis);
            }
        }, builder.firstDelayMs, builder.maxDelayMs, new Reconnector.Attempt() {
            @Override
            public boolean connect() {
                return attempt();
            }
        });
    }

    /** Takes the slot, connects on the call thread, and only then lets events reach the handler. */
    void open() throws KeyboardException {
        try {
            session.claim(this, CallThread.deadline(callTimeoutMs));
        } catch (KeyboardException e) {
            calls.stop();
            abandonEvents();
            throw e;
        }
        long perCall = callTimeoutMs;
        int count = session.connectCalls();
        try {
            calls.call("Keyboard.open", new CallThread.Task() {
                @Override
                public long run() throws KeyboardException {
                    connectFirst();
                    return 0;
                }
            }, perCall > Long.MAX_VALUE / Math.max(1, count) ? Long.MAX_VALUE : perCall * Math.max(1, count));
        } catch (KeyboardException | RuntimeException | Error e) {
            letGoAfterFailedOpen();
            throw e;
        }
        if (events != null) {
            // Released from the call thread, so that even a direct executor never runs the handler inside open().
            calls.offer(new Runnable() {
                @Override
                public void run() {
                    events.open();
                }
            });
        }
    }

    private void connectFirst() throws KeyboardException {
        try {
            session.connect(false);
        } catch (KeyboardException e) {
            boolean absent = e.reason() == Reason.KEYBOARD_ABSENT || e.reason() == Reason.NOT_INSTALLED;
            if (!awaitKeyboard || !absent) {
                throw e;
            }
            // Opened DETACHED: the first attempt reports RECONNECTING, as after a detachment.
            session.release(false);
            setState(State.DETACHED);
            reconnector.start();
            return;
        }
        setState(State.CONNECTED);
    }

    // Queued behind the start-up, so it runs after it even when the caller stopped waiting for it; the
    // slot stays taken until then.
    private void letGoAfterFailedOpen() {
        try {
            calls.call("Keyboard.open", new CallThread.Task() {
                @Override
                public long run() {
                    session.release(true);
                    session.free(KeyboardLayer.this);
                    return 0;
                }
            }, callTimeoutMs, false);
        } catch (KeyboardException e) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "open", "letting go after a failed open: "
                    + e.getMessage(), null);
        } finally {
            calls.stop();
            abandonEvents();
        }
    }

    private void abandonEvents() {
        if (events != null) {
            events.abandon();
        }
    }

    State state() {
        return closed.get() ? State.CLOSED : state;
    }

    /** Waits until {@link #state()} is {@code wanted}; false at the deadline. */
    boolean awaitState(State wanted, long deadline) throws InterruptedException {
        synchronized (stateChanged) {
            while (state() != wanted) {
                if (!CallThread.waitUntil(stateChanged, deadline)) {
                    return false;
                }
            }
            return true;
        }
    }

    List<HotKey> registrations() {
        return session.registrations();
    }

    long droppedEvents() {
        return events == null ? 0 : events.dropped();
    }

    /** One native call of the command table, made on the call thread; refused at once where it cannot run. */
    long command(NativeCall call, Object... args) throws KeyboardException {
        String operation = call.operation(args);
        refuse(operation, call);
        return calls.call(operation, new Command(call, args, operation), callTimeoutMs);
    }

    private final class Command implements CallThread.Task {
        private final NativeCall call;
        private final Object[] args;
        private final String operation;

        Command(NativeCall call, Object[] args, String operation) {
            this.call = call;
            this.args = args;
            this.operation = operation;
        }

        @Override
        public long run() throws KeyboardException {
            refuse(operation, call);  // again where the state is decided: it may have changed meanwhile
            return session.call(call, args);
        }
    }

    private void refuse(String operation, NativeCall call) throws KeyboardException {
        State now = state();
        if (now == State.CLOSED) {
            throw new KeyboardException(operation, Reason.CLOSED, 0, null);
        }
        boolean tonesCall = call == NativeCall.PLAY;
        if (!(tonesCall ? tones : hotKeys)) {
            throw new KeyboardException(operation, Reason.NOT_OPEN, 0, "this keyboard object was opened without "
                    + (tonesCall ? "tones" : "hot keys"));
        }
        if (now == State.DETACHED || now == State.RECONNECTING) {
            throw new KeyboardException(operation, Reason.DETACHED, 0, now == State.RECONNECTING
                    ? "it is being opened again" : null);
        }
    }

    // Published before it is offered: a handler that reads state() sees at least this one.
    private void setState(State next) {
        synchronized (stateChanged) {
            state = next;
            stateChanged.notifyAll();
        }
        if (events != null) {
            events.stateChange(next);
        }
    }

    private void detached() {
        if (closed.get() || state != State.CONNECTED) {
            return;
        }
        setState(State.DETACHED);
        if (reconnect) {
            session.release(false);
            setState(State.RECONNECTING);
            reconnector.start();
        }
    }

    // One attempt of the reconnection; whatever it meets, another follows until one works or close() began.
    private boolean attempt() {
        if (closed.get()) {
            return true;  // due before the clean-up queued by close() could cancel it
        }
        try {
            if (state == State.DETACHED) {
                setState(State.RECONNECTING);
            }
            try {
                session.connect(true);
            } catch (Throwable e) {
                failedAttempts++;
                String why = e instanceof KeyboardException ? e.getMessage() : e.toString();
                Diagnostics.logLayer(500, Keyboard.class.getName(), "reconnect", "the keyboard is not back yet: "
                        + why, e instanceof KeyboardException ? null : e);
                if (failedAttempts == REPEATED_FAILURES) {
                    Diagnostics.logLayer(900, Keyboard.class.getName(), "reconnect", "the keyboard is still not back"
                            + " after " + failedAttempts + " attempts (the last: " + why + "); attempts go on until"
                            + " it is or the keyboard object is closed; this is said once until it is back", null);
                }
                session.release(false);
                return false;
            }
            failedAttempts = 0;
            setState(State.CONNECTED);
            return true;
        } finally {
            attemptsMade++;
            synchronized (stateChanged) {
                stateChanged.notifyAll();
            }
        }
    }

    /** How many failed attempts in a row make a warning, once per detachment. */
    static final int REPEATED_FAILURES = 5;

    /**
     * The fence: see {@link Keyboard#close()}. The clean-up runs on the call thread after the calls queued
     * before it; the caller waits for it and then for the handler's last call, within one call timeout.
     */
    void close() {
        boolean first = closed.compareAndSet(false, true);
        if (first) {
            synchronized (stateChanged) {
                stateChanged.notifyAll();
            }
            session.lettingGo(this);
            calls.offer(new Runnable() {
                @Override
                public void run() {
                    letGo();
                }
            });
        }
        boolean inHandler = events != null && events.deliveringHere();
        if (inHandler) {
            events.quiet();
        }
        if (calls.isCurrent()) {
            return;  // the clean-up is queued behind the task running now
        }
        // An interrupt does not shorten the fence: the waits go on, and the flag is set again at the end.
        boolean interrupted = false;
        long deadline = CallThread.deadline(callTimeoutMs);
        try {
            while (true) {
                try {
                    if (!awaitCloseDone(deadline)) {
                        String running = session.running();
                        Diagnostics.logLayer(900, Keyboard.class.getName(), "close", "gave up after " + callTimeoutMs
                                + " ms: " + (running == null ? "no native call runs, but the clean-up has not run yet"
                                : "the native call " + running + " is still running") + "; the keyboard is let go"
                                + " once the call thread gets to it", null);
                    }
                    break;
                } catch (InterruptedException e) {
                    interrupted = true;
                }
            }
            while (!inHandler && events != null) {
                try {
                    if (!events.awaitFinished(deadline)) {
                        String running = events.running();
                        Diagnostics.logLayer(900, Keyboard.class.getName(), "close", "gave up after " + callTimeoutMs
                                + " ms: " + (running == null ? "no handler call runs, but the handler has not"
                                + " received CLOSED yet" : "the handler call " + running + " is still running"), null);
                    }
                    break;
                } catch (InterruptedException e) {
                    interrupted = true;
                }
            }
        } finally {
            if (interrupted) {
                Thread.currentThread().interrupt();
            }
        }
    }

    private boolean awaitCloseDone(long deadline) throws InterruptedException {
        synchronized (closing) {
            while (!closeDone) {
                if (!CallThread.waitUntil(closing, deadline)) {
                    return false;
                }
            }
            return true;
        }
    }

    private void letGo() {
        reconnector.cancel();
        session.release(true);
        setState(State.CLOSED);
        session.free(this);
        calls.stop();
        synchronized (closing) {
            closeDone = true;
            closing.notifyAll();
        }
    }

    /** The listener the bridges call on the keyboard's thread: it only queues. */
    final class Listener implements HotKeyListener {
        @Override
        public void HotKeyHit(long first, long second, long third) {
            if (events != null) {
                events.hotKey(new HotKeyEvent(keyboard, (int) first, (int) second, (int) third,
                        System.currentTimeMillis()));
            }
        }

        @Override
        public void KBFailed() {
            if (events != null) {
                events.keyboardFailed();
            }
        }

        @Override
        public void KBDetached() {
            calls.offer(new Runnable() {
                @Override
                public void run() {
                    detached();
                }
            });
        }

        /**
         * Whether everything this listener took has been handled, waiting until {@code deadline}: the call
         * thread's work it queued (a detachment's state changes); with {@code attached}, an attempt due to
         * reconnect (then the object is connected again, or its attempt failed); and the handler's events.
         */
        boolean awaitIdle(long deadline, boolean attached) throws InterruptedException {
            if (!passCallThread(deadline)) {
                return false;
            }
            if (attached) {
                long before = attemptsMade;
                synchronized (stateChanged) {
                    while (reconnecting() && attemptsMade == before) {
                        if (!CallThread.waitUntil(stateChanged, deadline)) {
                            return false;
                        }
                    }
                }
                if (!passCallThread(deadline)) {
                    return false;
                }
            }
            return events == null || events.awaitIdle(deadline);
        }

        private boolean reconnecting() {
            State now = state();
            return (now == State.DETACHED || now == State.RECONNECTING) && reconnector.active();
        }

        // Everything queued on the call thread before now has run (or the thread has stopped).
        private boolean passCallThread(long deadline) throws InterruptedException {
            if (calls.isCurrent()) {
                return true;
            }
            try {
                calls.call("awaitIdle", new CallThread.Task() {
                    @Override
                    public long run() {
                        return 0;
                    }
                }, Math.max(1, CallThread.millisLeft(deadline)));
                return true;
            } catch (KeyboardException e) {
                if (e.reason() == Reason.INTERRUPTED) {
                    Thread.interrupted();
                    throw new InterruptedException();
                }
                return e.reason() == Reason.CLOSED;  // stopped: nothing more runs there
            }
        }
    }
}
