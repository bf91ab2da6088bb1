package com.morvane.quorlink.support;

import com.morvane.quorlink.keyboard.HotKeyEvent;
import com.morvane.quorlink.keyboard.HotKeyHandler;
import com.morvane.quorlink.keyboard.Keyboard;

/**
 * The command's handler: prints each hot key, failure and state change with the seconds since
 * {@code start}, and counts them.
 */
final class EventPrinter implements HotKeyHandler {
    private final Output out;
    private final long start;
    private int hotKeys;     // guarded by this
    private int failures;    // guarded by this

    EventPrinter(Output out, long start) {
        this.out = out;
        this.start = start;
    }

    @Override
    public void onHotKey(HotKeyEvent event) {
        synchronized (this) {
            hotKeys++;
        }
        print(event.when(), "hot key " + event.first() + ", " + event.second() + ", " + event.third());
    }

    @Override
    public void onKeyboardFailed(Keyboard keyboard) {
        synchronized (this) {
            failures++;
        }
        print(System.currentTimeMillis(), "the keyboard reports a failure");
    }

    @Override
    public void onStateChange(Keyboard keyboard, Keyboard.State state) {
        print(System.currentTimeMillis(), "state " + state);
    }

    synchronized int hotKeys() {
        return hotKeys;
    }

    synchronized int failures() {
        return failures;
    }

    private void print(long when, String what) {
        out.line(Output.seconds(when - start) + " s  " + what);
    }
}
