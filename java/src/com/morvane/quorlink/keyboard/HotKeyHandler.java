package com.morvane.quorlink.keyboard;

/**
 * Receives what the keyboard reports, off the keyboard's own thread: each method runs on the
 * {@link java.util.concurrent.Executor} given to {@link Keyboard.Builder#executor} (the object starts no
 * thread of its own for events then), or on the keyboard object's one event thread when none was given,
 * one call at a time and in the order the events arrived, never before {@link Keyboard.Builder#open()} has
 * returned and never under a lock of the library. A method may take its time, call any method of
 * {@link Keyboard} (reach it through {@link HotKeyEvent#keyboard()}; {@code close()} included) and block;
 * later events wait in a bounded queue meanwhile. What a method throws goes to the delivering thread's
 * {@link Thread#getUncaughtExceptionHandler() uncaught-exception handler}, or to the one given to
 * {@link Keyboard.Builder#handlerErrors}, and the next event is delivered. After
 * {@link Keyboard.State#CLOSED} no method is called. Extend {@link Adapter} to implement only some of the
 * methods.
 */
public interface HotKeyHandler {
    /**
     * A registered hot key was pressed.
     *
     * @param event its three values, its keyboard object and its time
     */
    void onHotKey(HotKeyEvent event);

    /** The keyboard reported a failure; never dropped when the queue is full. */
    void onKeyboardFailed();

    /** The keyboard was detached; with reconnection on, the keyboard object tries to take hold again. */
    void onDetached();

    /**
     * The keyboard object's state changed: {@link Keyboard.State#CONNECTED} once open or reconnected,
     * {@link Keyboard.State#DETACHED}, {@link Keyboard.State#RECONNECTING}, and last {@link Keyboard.State#CLOSED}.
     *
     * @param state the new state
     */
    void onStateChange(Keyboard.State state);

    /** A handler whose methods do nothing, to extend. */
    abstract class Adapter implements HotKeyHandler {
        /** For subclasses. */
        protected Adapter() {
        }

        /**
         * Does nothing.
         *
         * @param event ignored
         */
        @Override
        public void onHotKey(HotKeyEvent event) {
        }

        /** Does nothing. */
        @Override
        public void onKeyboardFailed() {
        }

        /** Does nothing. */
        @Override
        public void onDetached() {
        }

        /**
         * Does nothing.
         *
         * @param state ignored
         */
        @Override
        public void onStateChange(Keyboard.State state) {
        }
    }
}
