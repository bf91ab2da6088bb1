package com.morvane.quorlink.keyboard;

/**
 * A hot key as the keyboard knows it: three 32-bit values that are the keyboard's own, passed to it and
 * back unchanged. The keyboard identifies a key by its first two values: {@link Keyboard#unregister(HotKey)}
 * matches on them alone, and a registration with the same first two values replaces one made before.
 * Immutable; equal when all three values are.
 */
public final class HotKey {
    private final int first;
    private final int second;
    private final int third;

    private HotKey(int first, int second, int third) {
        this.first = first;
        this.second = second;
        this.third = third;
    }

    /**
     * The hot key of these values.
     *
     * @param first the keyboard's first value, one half of the key's identity
     * @param second the keyboard's second value, the other half of the key's identity
     * @param third the keyboard's third value
     * @return the hot key
     */
    public static HotKey of(int first, int second, int third) {
        return new HotKey(first, second, third);
    }

    /**
     * The keyboard's first value.
     *
     * @return the value
     */
    public int first() {
        return first;
    }

    /**
     * The keyboard's second value.
     *
     * @return the value
     */
    public int second() {
        return second;
    }

    /**
     * The keyboard's third value.
     *
     * @return the value
     */
    public int third() {
        return third;
    }

    /**
     * Whether {@code other} is the same key for the keyboard: the same first and second value.
     *
     * @param other another hot key
     * @return true when the keyboard identifies both as one key
     */
    public boolean sameKey(HotKey other) {
        return other != null && first == other.first && second == other.second;
    }

    /**
     * Equal when all three values are.
     *
     * @param other another object
     * @return whether it is an equal hot key
     */
    @Override
    public boolean equals(Object other) {
        if (!(other instanceof HotKey)) {
            return false;
        }
        HotKey key = (HotKey) other;
        return first == key.first && second == key.second && third == key.third;
    }

    /**
     * A hash of the three values.
     *
     * @return the hash
     */
    @Override
    public int hashCode() {
        return 31 * (31 * first + second) + third;
    }

    /**
     * "HotKey(first, second, third)".
     *
     * @return the text
     */
    @Override
    public String toString() {
        return "HotKey(" + first + ", " + second + ", " + third + ")";
    }
}
