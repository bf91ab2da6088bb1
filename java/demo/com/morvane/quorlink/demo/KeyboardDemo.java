package com.morvane.quorlink.demo;

import com.morvane.quorlink.services.keyboard.ChordGate;
import com.morvane.quorlink.services.keyboard.HotKeyListener;
import com.morvane.quorlink.services.sound.TonePort;

/**
 * Walks through both libraries on Windows with the keyboard and its driver software installed:
 * the seven tones, then a hot key whose presses, and the keyboard's failures and detachments,
 * the listener prints for a while. Prints each step with its value and exits with 1 when a step
 * gives a value other than the one a working keyboard gives.
 *
 * <pre>
 * java -jar dist\quorlink-keyboard-demo.jar [first second third [seconds]]
 * </pre>
 *
 * The three numbers are handed to {@code RegisterStandard} unchanged (their meaning is the
 * keyboard's); the listener listens for {@code seconds} (default 15). The demo jar finds
 * quorlink-keyboard.jar beside it, which loads its own DLLs for a 32-bit or a 64-bit JVM.
 */
public final class KeyboardDemo {
    private int wrongSteps;

    private void step(String name, long value, long expected) {
        boolean right = value == expected;
        if (!right) {
            wrongSteps++;
        }
        System.out.printf("  %-34s %4d%s%n", name, value, right ? "" : "   WRONG, expected " + expected);
    }

    private void show(String name, long value) {
        System.out.printf("  %-34s %4d%n", name, value);
    }

    private static final class PrintingListener implements HotKeyListener {
        @Override
        public void HotKeyHit(long first, long second, long third) {
            System.out.printf("  listener: HotKeyHit(%d, %d, %d)%n", first, second, third);
        }

        @Override
        public void KBFailed() {
            System.out.println("  listener: KBFailed()");
        }

        @Override
        public void KBDetached() {
            System.out.println("  listener: KBDetached()");
        }
    }

    private void tones() {
        System.out.println("TonePort");
        step("Init", TonePort.Init(), 0);
        step("playNewsTone", TonePort.playNewsTone(), 0);
        step("playIncomingConvTone", TonePort.playIncomingConvTone(), 0);
        step("playBellTone", TonePort.playBellTone(), 0);
        step("playLimitTone", TonePort.playLimitTone(), 0);
        step("playShortTone", TonePort.playShortTone(), 0);
        step("playBusyTone", TonePort.playBusyTone(), 0);
        step("playInterruptTone", TonePort.playInterruptTone(), 0);
        step("cleanup", TonePort.cleanup(), 0);
    }

    private void hotKeys(long first, long second, long third, long seconds) throws InterruptedException {
        System.out.println("ChordGate");
        show("IsKeyboardDriverInstalled", ChordGate.IsKeyboardDriverInstalled());
        step("Init", ChordGate.Init(), 0);
        step("RegisterListener", ChordGate.RegisterListener(new PrintingListener()), 0);
        step("RegisterStandard(" + first + ", " + second + ", " + third + ")",
                ChordGate.RegisterStandard(first, second, third), 0);
        System.out.println("  press the hot key (" + seconds + " s) ...");
        Thread.sleep(seconds * 1000);
        step("UnregisterAllHot", ChordGate.UnregisterAllHot(), 0);
        step("UnregisterAllListener", ChordGate.UnregisterAllListener(), 0);
        step("Cleanup", ChordGate.Cleanup(), 0);
    }

    public static void main(String[] args) throws InterruptedException {
        long[] numbers = {7, 2, 300, 15};
        for (int i = 0; i < args.length && i < numbers.length; i++) {
            numbers[i] = Long.parseLong(args[i]);
        }
        KeyboardDemo demo = new KeyboardDemo();
        demo.tones();
        demo.hotKeys(numbers[0], numbers[1], numbers[2], numbers[3]);
        System.out.println(demo.wrongSteps == 0 ? "demo: every step gave the expected value"
                                                : "demo: " + demo.wrongSteps + " step(s) gave a wrong value");
        System.exit(demo.wrongSteps == 0 ? 0 : 1);
    }
}
