package com.morvane.quorlink.services.keyboard;

import com.morvane.quorlink.internal.NativeLibraryLoader;

/**
 * The keyboard's hot keys and events, through the native library ChordGate.dll.
 *
 * <p>Call {@link #Init()} once, register a listener, register hot keys from any thread, and
 * {@link #Cleanup()} at the end. Every method returns a number; none throws, except that a
 * listener lacking one of its methods leaves the JVM's NoSuchMethodError pending from
 * {@link #RegisterListener(Object)}. {@code long} arguments go to the keyboard as their low 32 bits.
 * The class loads its DLL when it is first used, as {@code TonePort} does.
 *
 * <table>
 * <caption>Return values</caption>
 * <tr><th>method</th><th>returns</th></tr>
 * <tr><td>{@code Init()}, {@code RawInit()}</td><td>0 ready; -1 COM could not start on the library's thread;
 *     -2 the keyboard's hot-key component is not installed or cannot be created; -3 to -6 the component lacks
 *     its event connection or soft-key interface (-3 no connection point container, -4 no event connection
 *     point, -5 no soft-key interface, -6 the library's event sink refused); -7 the component cannot be handed
 *     to other threads; -8 no answer within 10 s (the start-up may still finish later); -9 unexpected error on
 *     the library's thread</td></tr>
 * <tr><td>{@code Cleanup()}, {@code RawCleanup()}</td><td>0 done; 1 nothing was set up</td></tr>
 * <tr><td>{@code RegisterListener(Object listener)}</td><td>0 registered (replaces the previous listener);
 *     1 a step failed, e.g. a method of {@link HotKeyListener} is missing</td></tr>
 * <tr><td>{@code UnregisterAllListener()}</td><td>0, always; no listener call arrives after it returns</td></tr>
 * <tr><td>{@code RegisterStandard(long, long, long)}</td><td>the keyboard's HRESULT as a signed number:
 *     0 success, negative failure; 1 before {@code Init}</td></tr>
 * <tr><td>{@code UnregisterHot(long, long)}, {@code UnregisterAllHot()}</td><td>the keyboard's HRESULT as a
 *     signed number: 0 success, negative failure (also before {@code Init})</td></tr>
 * <tr><td>{@code IsKeyboardDriverInstalled()}</td><td>1 the keyboard's driver has entered the keyboard in the
 *     registry; 0 not</td></tr>
 * <tr><td>{@code SetNativeLibraryPath(String)}</td><td>0, always; the library keeps the path and does not
 *     use it</td></tr>
 * </table>
 *
 * <p>The hot-key calls also return a negative HRESULT when COM fails on the calling thread, for example
 * -2147417850 ({@code RPC_E_CHANGED_MODE}) on a thread that is already in a multithreaded COM apartment.
 * They put the calling thread into a single-threaded COM apartment and leave it there; {@code Cleanup}
 * leaves it once.
 */
public final class ChordGate {
    static {
        NativeLibraryLoader.load("ChordGate");
    }

    private ChordGate() {
    }

    /**
     * Starts the hot-key service.
     *
     * @return 0 ready, -1 to -7 or -9 a failed step, -8 no answer within 10 s
     */
    public static native long Init();

    /**
     * The same as {@link #Init()}.
     *
     * @return as {@link #Init()}
     */
    public static native long RawInit();

    /**
     * Releases what Init set up.
     *
     * @return 0 done, 1 when nothing was set up
     */
    public static native long Cleanup();

    /**
     * The same as {@link #Cleanup()}.
     *
     * @return as {@link #Cleanup()}
     */
    public static native long RawCleanup();

    /**
     * Makes {@code listener} the one that receives events.
     *
     * @param listener an object with the methods of {@link HotKeyListener}
     * @return 0 registered, 1 when a step failed
     */
    public static native long RegisterListener(Object listener);

    /**
     * No listener receives events any more.
     *
     * @return 0, always
     */
    public static native long UnregisterAllListener();

    /**
     * Registers a standard hot key; each value goes to the keyboard as its low 32 bits.
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @param third the keyboard's third value
     * @return the keyboard's HRESULT (0 success, negative failure), or 1 before Init
     */
    public static native long RegisterStandard(long first, long second, long third);

    /**
     * Unregisters one hot key; each value goes to the keyboard as its low 32 bits.
     *
     * @param first the keyboard's first value
     * @param second the keyboard's second value
     * @return the keyboard's HRESULT (0 success, negative failure)
     */
    public static native long UnregisterHot(long first, long second);

    /**
     * Unregisters every hot key.
     *
     * @return the keyboard's HRESULT (0 success, negative failure)
     */
    public static native long UnregisterAllHot();

    /**
     * Whether the keyboard's driver has entered the keyboard in the registry.
     *
     * @return 1 when it has, else 0
     */
    public static native long IsKeyboardDriverInstalled();

    /**
     * Hands the library a path, which it keeps and does not use.
     *
     * @param path the path
     * @return 0, always
     */
    public static native long SetNativeLibraryPath(String path);
}
