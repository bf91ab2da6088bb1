package com.morvane.quorlink.keyboard;

/**
 * One press of a registered hot key: the keyboard's three 32-bit values, sign-extended, as it reports them.
 * Their meaning is the keyboard's; they match the values given to {@link Keyboard#register(int, int, int)}.
 */
public final class HotKeyEvent {
    private final long first;
    private final long second;
    private final long third;

    /**
     * Makes an event, for tests and simulations.
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @param third the keyboard's third value
     */
    public HotKeyEvent(long first, long second, long third) {
        this.first = first;
        this.second = second;
        this.third = third;
    }

    /**
     * The keyboard's first value.
     *
     * @return the value
     */
    public long first() {
        return first;
    }

    /**
     * The keyboard's second value.
     *
     * @return the value
     */
    public long second() {
        return second;
    }

    /**
     * The keyboard's third value.
     *
     * @return the value
     */
    public long third() {
        return third;
    }

    /**
     * Equal when all three values are.
     *
     * @param other another object
     * @return whether it is an equal event
     */
    @Override
    public boolean equals(Object other) {
        if (!(other instanceof HotKeyEvent)) {
            return false;
        }
        HotKeyEvent event = (HotKeyEvent) other;
        return first == event.first && second == event.second && third == event.third;
    }

    /**
     * A hash of the three values.
     *
     * @return the hash
     */
    @Override
    public int hashCode() {
        return (int) (31 * (31 * first + second) + third);
    }

    /**
     * "HotKeyEvent(first, second, third)".
     *
     * @return the text
     */
    @Override
    public String toString() {
        return "HotKeyEvent(" + first + ", " + second + ", " + third + ")";
    }
}
