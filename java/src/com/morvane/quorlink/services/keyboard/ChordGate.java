package com.morvane.quorlink.services.keyboard;

/**
 * The keyboard's hot keys and events, through the native library ChordGate.dll.
 *
 * <p>Call {@link #Init()} once, register a listener, register hot keys from any thread, and
 * {@link #Cleanup()} at the end. Every method returns a number; none throws, except that a
 * listener lacking one of its methods leaves the JVM's NoSuchMethodError pending from
 * {@link #RegisterListener(Object)}.
 */
public final class ChordGate {
    static {
        System.loadLibrary("ChordGate");
    }

    private ChordGate() {
    }

    /** Starts the hot-key service: 0 ready, -1 to -7 or -9 a failed step, -8 no answer within 10 s. */
    public static native long Init();

    /** The same as {@link #Init()}. */
    public static native long RawInit();

    /** Releases what Init set up: 0 done, 1 when nothing was set up. */
    public static native long Cleanup();

    /** The same as {@link #Cleanup()}. */
    public static native long RawCleanup();

    /**
     * Makes {@code listener} (an object with the methods of {@link HotKeyListener}) the one that
     * receives events: 0 registered, 1 when a step failed.
     */
    public static native long RegisterListener(Object listener);

    /** No listener receives events any more. Always 0. */
    public static native long UnregisterAllListener();

    /** Registers a standard hot key; returns the keyboard's HRESULT (0 success, negative failure), or 1 before Init. */
    public static native long RegisterStandard(long first, long second, long third);

    /** Unregisters one hot key; returns the keyboard's HRESULT. */
    public static native long UnregisterHot(long first, long second);

    /** Unregisters every hot key; returns the keyboard's HRESULT. */
    public static native long UnregisterAllHot();

    /** 1 when the keyboard's driver has entered the keyboard in the registry, else 0. */
    public static native long IsKeyboardDriverInstalled();

    /** Hands the library a path, which it keeps and does not use. Always 0. */
    public static native long SetNativeLibraryPath(String path);
}
