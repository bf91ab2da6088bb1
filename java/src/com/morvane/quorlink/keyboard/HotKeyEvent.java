package com.morvane.quorlink.keyboard;

/**
 * One press of a registered hot key: the keyboard's three 32-bit values, as given to
 * {@link Keyboard#register(int, int, int)}, the keyboard object it came through, and when the keyboard's
 * thread handed it over.
 */
public final class HotKeyEvent {
    private final Keyboard keyboard;
    private final HotKey key;
    private final long when;

    /**
     * Makes an event, for tests and simulations.
     *
     * @param keyboard the keyboard object it came through, or null
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @param third the keyboard's third value
     * @param when when it was handed over, in milliseconds since the epoch
     */
    public HotKeyEvent(Keyboard keyboard, int first, int second, int third, long when) {
        this.keyboard = keyboard;
        this.key = HotKey.of(first, second, third);
        this.when = when;
    }

    /**
     * Makes an event of no keyboard object, handed over now, for tests.
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @param third the keyboard's third value
     */
    public HotKeyEvent(int first, int second, int third) {
        this(null, first, second, third, System.currentTimeMillis());
    }

    /**
     * The keyboard's first value.
     *
     * @return the value
     */
    public int first() {
        return key.first();
    }

    /**
     * The keyboard's second value.
     *
     * @return the value
     */
    public int second() {
        return key.second();
    }

    /**
     * The keyboard's third value.
     *
     * @return the value
     */
    public int third() {
        return key.third();
    }

    /**
     * The hot key pressed, as {@link Keyboard#register(HotKey)} takes it.
     *
     * @return the three values as a hot key
     */
    public HotKey hotKey() {
        return key;
    }

    /**
     * The keyboard object the event came through, so that a handler can call it.
     *
     * @return the keyboard object, or null for an event made by hand
     */
    public Keyboard keyboard() {
        return keyboard;
    }

    /**
     * When the keyboard's thread handed the event over.
     *
     * @return milliseconds since the epoch, as {@link System#currentTimeMillis()}
     */
    public long when() {
        return when;
    }

    /**
     * Equal when all three values are; the keyboard object and the time do not count.
     *
     * @param other another object
     * @return whether it is an equal event
     */
    @Override
    public boolean equals(Object other) {
        if (!(other instanceof HotKeyEvent)) {
            return false;
        }
        return key.equals(((HotKeyEvent) other).key);
    }

    /**
     * A hash of the three values.
     *
     * @return the hash
     */
    @Override
    public int hashCode() {
        return key.hashCode();
    }

    /**
     * "HotKeyEvent(first, second, third)".
     *
     * @return the text
     */
    @Override
    public String toString() {
        return "HotKeyEvent(" + key.first() + ", " + key.second() + ", " + key.third() + ")";
    }
}
