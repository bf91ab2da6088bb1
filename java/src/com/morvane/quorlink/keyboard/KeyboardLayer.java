package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.keyboard.Keyboard.State;
import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import com.morvane.quorlink.services.keyboard.HotKeyListener;

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
    private boolean closeRequested;  // guarded by closing
    private boolean closeDone;       // guarded by closing
    private volatile boolean closed;  // close() was called: calls fail at once
    private volatile State state;     // written on the call thread only

    KeyboardLayer(Keyboard keyboard, Keyboard.Builder builder) {
        this.keyboard = keyboard;
        tones = builder.tones;
        hotKeys = builder.hotKeys;
        reconnect = builder.reconnect;
        awaitKeyboard = builder.awaitKeyboard;
        callTimeoutMs = builder.callTimeoutMs;
        events = builder.handler == null ? null : new EventDispatcher(builder.handler, builder.executor,
                builder.handlerErrors, builder.queueCapacity);
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
            }, callTimeoutMs);
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
        return closed ? State.CLOSED : state;
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

    private void setState(State next) {
        state = next;
        if (events != null) {
            events.stateChange(next);
        }
    }

    private void detached() {
        if (closed || state != State.CONNECTED) {
            return;
        }
        setState(State.DETACHED);
        if (reconnect) {
            session.release(false);
            setState(State.RECONNECTING);
            reconnector.start();
        }
    }

    private boolean attempt() {
        if (closed) {
            return true;
        }
        if (state == State.DETACHED) {
            setState(State.RECONNECTING);
        }
        try {
            session.connect(true);
        } catch (KeyboardException | RuntimeException | LinkageError e) {
            Diagnostics.logLayer(800, Keyboard.class.getName(), "reconnect", "the keyboard is not back yet: "
                    + (e instanceof KeyboardException ? e.getMessage() : e.toString()), null);
            session.release(false);
            return false;
        }
        setState(State.CONNECTED);
        return true;
    }

    /**
     * The fence: see {@link Keyboard#close()}. The clean-up runs on the call thread after the calls queued
     * before it; the caller waits for it and then for the handler's last call, within one call timeout.
     */
    void close() {
        boolean first;
        synchronized (closing) {
            first = !closeRequested;
            closeRequested = true;
        }
        if (first) {
            closed = true;
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
        long deadline = CallThread.deadline(callTimeoutMs);
        if (!awaitCloseDone(deadline)) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "close", "gave up after " + callTimeoutMs
                    + " ms: the native call " + calls.running() + " is still running; the keyboard is let go"
                    + " once it returns", null);
        }
        if (!inHandler && events != null && !events.awaitFinished(deadline)) {
            Diagnostics.logLayer(900, Keyboard.class.getName(), "close", "gave up after " + callTimeoutMs
                    + " ms: the handler call " + events.running() + " is still running", null);
        }
    }

    private boolean awaitCloseDone(long deadline) {
        synchronized (closing) {
            try {
                while (!closeDone) {
                    if (!CallThread.waitUntil(closing, deadline)) {
                        return false;
                    }
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return false;
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
            if (events != null) {
                events.detached();
            }
            calls.offer(new Runnable() {
                @Override
                public void run() {
                    detached();
                }
            });
        }

        /** Whether every event this listener took has been handled, waiting until {@code deadline}. */
        boolean awaitIdle(long deadline) {
            return events == null || events.awaitIdle(deadline);
        }
    }
}
