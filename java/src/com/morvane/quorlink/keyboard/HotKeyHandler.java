package com.morvane.quorlink.keyboard;

/**
 * Receives what the keyboard reports, off the keyboard's own thread. One abstract method, so a lambda
 * fits: {@code Keyboard.builder().handler(event -> ...)}; the other methods do nothing unless overridden.
 *
 * <p>Each method runs on the {@link java.util.concurrent.Executor} given to {@link Keyboard.Builder#executor}
 * (the object starts no thread of its own for events then), or on the keyboard object's one event thread
 * when none was given, one call at a time and in the order the events arrived, never before
 * {@link Keyboard.Builder#open()} has returned and never under a lock of the library. A method may take its
 * time, call any method of {@link Keyboard} ({@code close()} included) and block; later events wait in a
 * bounded queue meanwhile. What a method throws goes to the one given to
 * {@link Keyboard.Builder#handlerErrors}, or else to the delivering thread's
 * {@link Thread#getUncaughtExceptionHandler() uncaught-exception handler} (over a {@link SimulatedKeyboard},
 * the simulation keeps it and fails the test with it), and the next event is delivered. After
 * {@link Keyboard.State#CLOSED} no method is called.
 */
public interface HotKeyHandler {
    /**
     * A registered hot key was pressed.
     *
     * @param event its three values, its keyboard object and its time
     */
    void onHotKey(HotKeyEvent event);

    /**
     * The keyboard object's state changed: {@link Keyboard.State#CONNECTED} once open or reconnected,
     * {@link Keyboard.State#DETACHED}, {@link Keyboard.State#RECONNECTING}, and last
     * {@link Keyboard.State#CLOSED}. Does nothing unless overridden.
     *
     * @param keyboard the keyboard object whose state changed, the one {@code open()} returned
     * @param state the new state
     */
    default void onStateChange(Keyboard keyboard, Keyboard.State state) {
    }

    /**
     * The keyboard reported a failure; never dropped when the queue is full. Does nothing unless overridden.
     *
     * @param keyboard the keyboard object that reported it
     */
    default void onKeyboardFailed(Keyboard keyboard) {
    }
}
