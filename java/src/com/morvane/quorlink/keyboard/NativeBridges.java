package com.morvane.quorlink.keyboard;

import com.morvane.quorlink.services.keyboard.ChordGate;
import com.morvane.quorlink.services.keyboard.HotKeyListener;
import com.morvane.quorlink.services.sound.TonePort;

/** The DLLs' native methods, unchanged. */
final class NativeBridges implements Bridges {
    @Override
    public long toneInit() {
        return TonePort.Init();
    }

    @Override
    public long play(Tone tone) {
        switch (tone) {
            case NEWS:
                return TonePort.playNewsTone();
            case INCOMING:
                return TonePort.playIncomingConvTone();
            case BELL:
                return TonePort.playBellTone();
            case LIMIT:
                return TonePort.playLimitTone();
            case SHORT:
                return TonePort.playShortTone();
            case BUSY:
                return TonePort.playBusyTone();
            case INTERRUPT:
                return TonePort.playInterruptTone();
            default:
                throw new AssertionError(tone);
        }
    }

    @Override
    public long toneCleanup() {
        return TonePort.cleanup();
    }

    @Override
    public long hotKeyInit() {
        return ChordGate.Init();
    }

    @Override
    public long hotKeyCleanup() {
        return ChordGate.Cleanup();
    }

    @Override
    public long registerListener(HotKeyListener listener) {
        return ChordGate.RegisterListener(listener);
    }

    @Override
    public long unregisterAllListener() {
        return ChordGate.UnregisterAllListener();
    }

    @Override
    public long registerStandard(long first, long second, long third) {
        return ChordGate.RegisterStandard(first, second, third);
    }

    @Override
    public long unregisterHot(long first, long second) {
        return ChordGate.UnregisterHot(first, second);
    }

    @Override
    public long unregisterAllHot() {
        return ChordGate.UnregisterAllHot();
    }

    @Override
    public ProcessSlot slot() {
        return ProcessSlot.NATIVE;
    }

    @Override
    public boolean isNative() {
        return true;
    }
}
