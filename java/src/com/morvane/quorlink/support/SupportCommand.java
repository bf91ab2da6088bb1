package com.morvane.quorlink.support;

import com.morvane.quorlink.internal.Diagnostics;
import com.morvane.quorlink.keyboard.Keyboard;
import com.morvane.quorlink.keyboard.KeyboardException;
import com.morvane.quorlink.keyboard.KeyboardException.Reason;
import java.io.PrintStream;

/**
 * {@code java -jar quorlink-keyboard.jar}: checks this machine for the keyboard and says what is wrong,
 * plays a tone, or shows the hot keys as they arrive. {@code --help} tells how; the exit code tells which
 * check failed first.
 */
public final class SupportCommand {
    static final String NAME = "quorlink-keyboard";

    private SupportCommand() {
    }

    /**
     * Runs the command and exits the JVM with its exit code.
     *
     * @param args the command line; {@code --help} lists it
     */
    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    /**
     * Runs the command without exiting: what {@link #main} does, for a caller that wants the code.
     *
     * @param args the command line
     * @param out where the report, the tone's outcome and the events go
     * @param err where a bad argument's one line goes
     * @return the exit code
     */
    public static int run(String[] args, PrintStream out, PrintStream err) {
        Arguments arguments;
        try {
            arguments = Arguments.parse(args);
        } catch (BadArgumentException e) {
            err.println(NAME + ": " + e.getMessage() + " (see --help)");
            err.flush();
            return ExitCode.BAD_ARGUMENTS.code;
        }
        Output output = new Output(out);
        if (arguments.mode == Arguments.Mode.HELP) {
            output.line(help());
            return ExitCode.OK.code;
        }
        // The property's effect, for this run only: a value the user set stays as it is.
        boolean switchOn = arguments.diagnostics && System.getProperty(Diagnostics.PROPERTY) == null;
        if (switchOn) {
            System.setProperty(Diagnostics.PROPERTY, "FINE");
        }
        try {
            return run(arguments, output).code;
        } catch (RuntimeException | LinkageError e) {
            err.println(NAME + ": unexpected error: " + MachineReport.oneLine(String.valueOf(e)));
            if (arguments.diagnostics) {
                e.printStackTrace(err);
            }
            err.flush();
            return ExitCode.UNEXPECTED.code;
        } finally {
            if (switchOn) {
                System.getProperties().remove(Diagnostics.PROPERTY);  // Avian's System has no clearProperty
            }
        }
    }

    private static ExitCode run(Arguments arguments, Output out) {
        switch (arguments.mode) {
            case PLAY:
                return play(arguments, out);
            case LISTEN:
                return listen(arguments, out);
            default:
                return new MachineReport(out).run();
        }
    }

    private static ExitCode play(Arguments arguments, Output out) {
        Keyboard keyboard;
        try {
            keyboard = Keyboard.builder().hotKeys(false).open();
        } catch (KeyboardException e) {
            return openFailed(e, ExitCode.TONE_COMPONENT, "tone component", out);
        }
        try {
            keyboard.play(arguments.tone);
            out.check(true, "play " + arguments.tone, "played");
            return ExitCode.OK;
        } catch (KeyboardException e) {
            out.check(false, "play " + arguments.tone, MachineReport.oneLine(e.getMessage()));
            return ExitCode.NOT_PLAYED;
        } finally {
            keyboard.close();
        }
    }

    private static ExitCode listen(Arguments arguments, Output out) {
        long start = System.currentTimeMillis();
        EventPrinter printer = new EventPrinter(out, start);
        Keyboard.Builder builder = Keyboard.builder().tones(false).handler(printer);
        StringBuilder keys = new StringBuilder();
        for (int[] key : arguments.keys) {
            builder.hotKey(key[0], key[1], key[2]);
            keys.append(keys.length() == 0 ? "" : "; ").append(key[0]).append(", ").append(key[1]).append(", ")
                    .append(key[2]);
        }
        Keyboard keyboard;
        try {
            keyboard = builder.open();
        } catch (KeyboardException e) {
            if (e.reason() == Reason.KEYBOARD_REFUSED) {
                out.check(false, "hot keys", "refused: " + MachineReport.oneLine(e.getMessage()));
                return ExitCode.KEY_REFUSED;
            }
            return openFailed(e, ExitCode.HOT_KEY_COMPONENT, "hot-key component", out);
        }
        out.line("listening for " + arguments.listenMillis / 1000 + " s"
                + (keys.length() == 0 ? ", no hot key registered" : " to the hot keys " + keys));
        // The time counts from here, once the keys are registered; the events' times from the start.
        long listening = System.currentTimeMillis();
        long deadline = arguments.listenMillis > Long.MAX_VALUE - listening ? Long.MAX_VALUE
                : listening + arguments.listenMillis;
        try {
            for (long left; (left = deadline - System.currentTimeMillis()) > 0; ) {
                Thread.sleep(Math.min(left, 1000));
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        } finally {
            keyboard.close();
        }
        out.line("time is up: " + printer.hotKeys() + " hot key(s), " + printer.failures() + " failure(s), "
                + keyboard.droppedEvents() + " dropped");
        return ExitCode.OK;
    }

    private static ExitCode openFailed(KeyboardException e, ExitCode component, String check, Output out) {
        if (e.reason() == Reason.UNSUPPORTED) {
            out.check(false, "supported", "no: " + Keyboard.unsupportedReason());
            return ExitCode.UNSUPPORTED;
        }
        if (e.reason() == Reason.LOAD_FAILED) {
            out.check(false, "DLLs", "not loaded: " + MachineReport.oneLine(e.getMessage()));
            return ExitCode.NOT_LOADED;
        }
        out.check(false, check, MachineReport.notOpened(e));
        return component;
    }

    static String help() {
        StringBuilder text = new StringBuilder();
        text.append("Usage: java -jar quorlink-keyboard.jar [--diagnostics] [--play TONE | --listen SECONDS [--key FIRST,SECOND,THIRD]...]\n")
            .append("\n")
            .append("With no option: checks this machine for the Quorlink keyboard and prints one line per check,\n")
            .append("\"ok\" or \"not ok\" with what was found: the library's version, the JVM and OS, whether they are\n")
            .append("supported, each DLL (where it was extracted, verified, loaded), the keyboard's driver, the tone\n")
            .append("component and the hot-key component with its listener (created, then released).\n")
            .append("\n")
            .append("  --play TONE        plays one tone: ").append(Arguments.toneNames()).append("\n")
            .append("  --listen SECONDS   registers the --key hot keys, prints each hot key, failure and state\n")
            .append("                     change with its time until SECONDS are up, then closes\n")
            .append("  --key F,S,T        a hot key's three values, as Keyboard.register takes them; repeatable\n")
            .append("  --diagnostics      switches the library's diagnostics on for the run (as -D")
            .append(Diagnostics.PROPERTY).append("=FINE)\n")
            .append("  --help             this text\n")
            .append("\n")
            .append("Exit codes (the first check that failed):\n");
        for (ExitCode code : ExitCode.values()) {
            text.append("  ").append(code.code).append("  ").append(code.meaning).append("\n");
        }
        return text.substring(0, text.length() - 1);
    }
}
