package com.morvane.quorlink.support;

import com.morvane.quorlink.internal.NativeLibraryLoader;
import com.morvane.quorlink.keyboard.Keyboard;
import com.morvane.quorlink.keyboard.KeyboardException;
import java.io.IOException;
import java.io.InputStream;
import java.util.Locale;

/**
 * The report: one line per check, in the order a support call goes through them (the library, the JVM,
 * the platform, the DLLs, the driver, each component), each "ok" or "not ok" with what was found. A check
 * that cannot run because an earlier one failed says so and is not ok. The first check that fails decides
 * the exit code.
 */
final class MachineReport {
    // Keyboard.Builder's call timeout, left at its default: a close that takes this long gave up.
    static final long CLOSE_BOUND_MS = 15000;
    private static final String[] DLLS = {"TonePort", "ChordGate"};

    private final Output out;
    private ExitCode first = ExitCode.OK;
    private int checks;
    private int failed;

    MachineReport(Output out) {
        this.out = out;
    }

    ExitCode run() {
        out.line("Quorlink keyboard bridges: checking this machine");
        ok("library", "quorlink-keyboard " + version());
        ok("JVM", jvm());
        boolean supported = Keyboard.isSupported();
        if (supported) {
            ok("supported", "yes, " + System.getProperty("os.name") + " on a " + bits() + " x86 JVM");
        } else {
            fail(ExitCode.UNSUPPORTED, "supported", "no: " + Keyboard.unsupportedReason());
        }
        boolean[] loaded = new boolean[DLLS.length];
        for (int i = 0; i < DLLS.length; i++) {
            loaded[i] = load(DLLS[i], supported);
        }
        driver(loaded[1]);
        toneComponent(loaded[0]);
        hotKeyComponent(loaded[1]);
        if (failed == 0) {
            out.line("all " + checks + " checks ok");
        } else {
            out.line(failed + " of " + checks + " checks not ok; exit code " + first.code + ": " + first.meaning);
        }
        return first;
    }

    private void ok(String name, String detail) {
        checks++;
        out.check(true, name, detail);
    }

    private void fail(ExitCode code, String name, String detail) {
        checks++;
        failed++;
        if (first == ExitCode.OK) {
            first = code;
        }
        out.check(false, name, detail);
    }

    /** The version the jar was built as, from its natives/version, else its manifest. */
    static String version() {
        InputStream in = MachineReport.class.getResourceAsStream("/natives/version");
        if (in != null) {
            try {
                try {
                    StringBuilder text = new StringBuilder();
                    for (int c; (c = in.read()) >= 0; ) {
                        text.append((char) c);
                    }
                    if (text.toString().trim().length() > 0) {
                        return text.toString().trim();
                    }
                } finally {
                    in.close();
                }
            } catch (IOException e) {
                // Try the manifest.
            }
        }
        Package own = MachineReport.class.getPackage();
        String version = own == null ? null : own.getImplementationVersion();
        return version != null ? version : "(version unknown: these classes are not from quorlink-keyboard.jar)";
    }

    static String jvm() {
        return property("java.vendor", "vendor unknown") + " " + property("java.version", "version unknown") + " ("
                + property("java.vm.name", "VM name unknown") + "), os.arch " + System.getProperty("os.arch") + ", "
                + bits() + "; OS " + System.getProperty("os.name") + " " + property("os.version", "");
    }

    // A JVM whose class library sets few properties (Avian) leaves these out.
    private static String property(String name, String otherwise) {
        String value = System.getProperty(name);
        return value == null || value.isEmpty() ? otherwise : value;
    }

    /** "32-bit" or "64-bit" from the JVM's own word where it gives one, else from os.arch. */
    static String bits() {
        String model = System.getProperty("sun.arch.data.model");
        if ("32".equals(model) || "64".equals(model)) {
            return model + "-bit";
        }
        String arch = String.valueOf(System.getProperty("os.arch")).toLowerCase(Locale.ENGLISH);
        if (arch.contains("64")) {
            return "64-bit";
        }
        if (arch.equals("x86") || arch.length() == 4 && arch.charAt(0) == 'i' && arch.endsWith("86")) {
            return "32-bit";
        }
        return "unknown-bit";
    }

    private boolean load(String name, boolean supported) {
        String check = name + ".dll";
        if (!supported) {
            fail(ExitCode.NOT_LOADED, check, "not loaded: this JVM is not supported");
            return false;
        }
        try {
            NativeLibraryLoader.load(name);
        } catch (LinkageError e) {
            fail(ExitCode.NOT_LOADED, check, "not loaded: " + oneLine(e.getMessage()));
            return false;
        }
        NativeLibraryLoader.Loaded where = NativeLibraryLoader.whereLoaded(name);
        if (where == null) {
            ok(check, "loaded");
        } else if (where.file() == null) {
            ok(check, "loaded by " + where.how() + " (not verified: not the jar's copy)");
        } else if (where.verified()) {
            ok(check, where.how() + " folder " + where.file().getParent()
                    + ", verified (its SHA-256 is the jar's copy's) and loaded");
        } else {
            ok(check, "loaded from " + where.file().getParent() + ", " + where.how()
                    + " (not verified: not the jar's copy)");
        }
        return true;
    }

    private void driver(boolean loaded) {
        if (!loaded) {
            fail(ExitCode.NO_DRIVER, "driver", "not checked: ChordGate.dll is not loaded");
        } else if (Keyboard.driverInstalled()) {
            ok("driver", "installed (the keyboard is entered in the registry)");
        } else {
            fail(ExitCode.NO_DRIVER, "driver", "not installed: no keyboard of the driver in the registry;"
                    + " install the keyboard's driver software");
        }
    }

    private void toneComponent(boolean loaded) {
        String check = "tone component";
        if (!loaded) {
            fail(ExitCode.TONE_COMPONENT, check, "not tried: TonePort.dll is not loaded");
            return;
        }
        openAndRelease(ExitCode.TONE_COMPONENT, check, Keyboard.builder().hotKeys(false), "created");
    }

    private void hotKeyComponent(boolean loaded) {
        String check = "hot-key component";
        if (!loaded) {
            fail(ExitCode.HOT_KEY_COMPONENT, check, "not tried: ChordGate.dll is not loaded");
            return;
        }
        openAndRelease(ExitCode.HOT_KEY_COMPONENT, check, Keyboard.builder().tones(false), "created with its listener");
    }

    /** Opens one component through the layer and closes it again: released once close returns in time. */
    private void openAndRelease(ExitCode code, String check, Keyboard.Builder builder, String created) {
        Keyboard keyboard;
        try {
            keyboard = builder.open();
        } catch (KeyboardException e) {
            fail(code, check, notOpened(e));
            return;
        }
        long started = System.currentTimeMillis();
        keyboard.close();
        long closing = System.currentTimeMillis() - started;
        if (keyboard.state() != Keyboard.State.CLOSED || closing >= CLOSE_BOUND_MS) {
            fail(code, check, created + ", but not released: the library's thread did not let go within "
                    + CLOSE_BOUND_MS / 1000 + " s");
        } else {
            ok(check, created + ", then released");
        }
    }

    /**
     * Why a component could not be opened, in the user's terms: for a start-up that failed, its Init
     * status and what it means; for the listener, that it was refused.
     */
    static String notOpened(KeyboardException e) {
        String message = oneLine(e.getMessage());
        if (message.startsWith("TonePort.Init:") || message.startsWith("ChordGate.Init:")) {
            return "not created: Init status " + e.nativeValue() + ", " + e.reason().description();
        }
        if (e.reason() == KeyboardException.Reason.LISTENER_REFUSED) {
            return "created, but its listener was refused: RegisterListener returned " + e.nativeValue();
        }
        return "not created: " + message;
    }

    static String oneLine(String text) {
        return String.valueOf(text).replace("\r", "").replace("\n  ", "; ").replace("\n", "; ");
    }
}
