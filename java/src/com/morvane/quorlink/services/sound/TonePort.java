package com.morvane.quorlink.services.sound;

import com.morvane.quorlink.internal.NativeLibraryLoader;

/**
 * Alert tones on the keyboard's speaker, through the native library TonePort.dll.
 *
 * <p>Call {@link #Init()} once, then any of the play methods from any thread, then {@link #cleanup()}.
 * Every method returns a number; none throws. The class loads its DLL when it is first used: the
 * jar's own copy for the JVM's architecture, or the one in the folder named by the system property
 * {@code quorlink.library.path}.
 *
 * <table>
 * <caption>Return values</caption>
 * <tr><th>method</th><th>returns</th></tr>
 * <tr><td>{@code Init()}</td><td>0 ready; -1 COM could not start on the library's thread; -2 the keyboard's
 *     tone component is not installed or cannot be created; -3 the keyboard port cannot be opened (keyboard
 *     absent); -4 the component cannot be handed to other threads; -5 no answer within 10 s (the start-up may
 *     still finish later)</td></tr>
 * <tr><td>{@code playNewsTone()}, {@code playIncomingConvTone()} (tone "Incoming"), {@code playBellTone()},
 *     {@code playLimitTone()}, {@code playShortTone()}, {@code playBusyTone()}, {@code playInterruptTone()}</td>
 *     <td>0 the keyboard played the tone; 1 it did not, or the library is not ready (before {@code Init}, after
 *     a failed {@code Init} or after {@code cleanup})</td></tr>
 * <tr><td>{@code cleanup()}</td><td>0 done; 1 nothing to clean up (before {@code Init}, after a failed one, a
 *     second time)</td></tr>
 * </table>
 *
 * <p>The play calls put the calling thread into a single-threaded COM apartment and leave it there;
 * {@code cleanup} leaves it once.
 */
public final class TonePort {
    static {
        NativeLibraryLoader.load("TonePort");
    }

    private TonePort() {
    }

    /**
     * Starts the tone service.
     *
     * @return 0 ready, -1 to -4 a failed start-up step, -5 no answer within 10 s
     */
    public static native long Init();

    /**
     * Takes the tone component back.
     *
     * @return 0 done, 1 nothing to take
     */
    public static native long cleanup();

    /**
     * Plays the tone named "News".
     *
     * @return 0 when the keyboard played it, 1 otherwise
     */
    public static native long playNewsTone();

    /**
     * Plays the tone named "Incoming".
     *
     * @return 0 when the keyboard played it, 1 otherwise
     */
    public static native long playIncomingConvTone();

    /**
     * Plays the tone named "Bell".
     *
     * @return 0 when the keyboard played it, 1 otherwise
     */
    public static native long playBellTone();

    /**
     * Plays the tone named "Limit".
     *
     * @return 0 when the keyboard played it, 1 otherwise
     */
    public static native long playLimitTone();

    /**
     * Plays the tone named "Short".
     *
     * @return 0 when the keyboard played it, 1 otherwise
     */
    public static native long playShortTone();

    /**
     * Plays the tone named "Busy".
     *
     * @return 0 when the keyboard played it, 1 otherwise
     */
    public static native long playBusyTone();

    /**
     * Plays the tone named "Interrupt".
     *
     * @return 0 when the keyboard played it, 1 otherwise
     */
    public static native long playInterruptTone();
}
