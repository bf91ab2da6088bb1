package com.morvane.quorlink.support;

import com.morvane.quorlink.keyboard.Tone;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Locale;

/** The command line, read once: what to do, with what. Nothing native is touched here. */
final class Arguments {
    /** What the command does. */
    enum Mode {
        REPORT,
        PLAY,
        LISTEN,
        HELP
    }

    final Mode mode;
    final boolean diagnostics;
    final Tone tone;                 // PLAY only
    final long listenMillis;         // LISTEN only; saturates
    final List<int[]> keys;          // LISTEN only

    private Arguments(Mode mode, boolean diagnostics, Tone tone, long listenMillis, List<int[]> keys) {
        this.mode = mode;
        this.diagnostics = diagnostics;
        this.tone = tone;
        this.listenMillis = listenMillis;
        this.keys = Collections.unmodifiableList(keys);
    }

    static Arguments parse(String[] args) throws BadArgumentException {
        boolean help = false;
        boolean diagnostics = false;
        Tone tone = null;
        Long listenMillis = null;
        List<int[]> keys = new ArrayList<int[]>();
        for (int i = 0; i < args.length; i++) {
            String arg = args[i];
            if (arg.equals("--help") || arg.equals("-h")) {
                help = true;
            } else if (arg.equals("--diagnostics")) {
                diagnostics = true;
            } else if (arg.equals("--play")) {
                if (tone != null) {
                    throw new BadArgumentException("--play is given twice");
                }
                tone = tone(value(args, ++i, "--play", "a tone"));
            } else if (arg.equals("--listen")) {
                if (listenMillis != null) {
                    throw new BadArgumentException("--listen is given twice");
                }
                listenMillis = millis(value(args, ++i, "--listen", "the seconds to listen"));
            } else if (arg.equals("--key")) {
                keys.add(key(value(args, ++i, "--key", "FIRST,SECOND,THIRD")));
            } else {
                throw new BadArgumentException("unknown argument '" + arg + "'");
            }
        }
        if (help) {
            return new Arguments(Mode.HELP, diagnostics, null, 0, keys);
        }
        if (tone != null && listenMillis != null) {
            throw new BadArgumentException("--play and --listen cannot be combined; run the command twice");
        }
        if (!keys.isEmpty() && listenMillis == null) {
            throw new BadArgumentException("--key goes with --listen SECONDS");
        }
        if (tone != null) {
            return new Arguments(Mode.PLAY, diagnostics, tone, 0, keys);
        }
        if (listenMillis != null) {
            return new Arguments(Mode.LISTEN, diagnostics, null, listenMillis, keys);
        }
        return new Arguments(Mode.REPORT, diagnostics, null, 0, keys);
    }

    private static String value(String[] args, int i, String option, String what) throws BadArgumentException {
        if (i >= args.length || args[i].startsWith("--")) {
            throw new BadArgumentException(option + " needs " + what);
        }
        return args[i];
    }

    private static Tone tone(String name) throws BadArgumentException {
        for (Tone tone : Tone.values()) {
            if (tone.name().equals(name.toUpperCase(Locale.ENGLISH))) {
                return tone;
            }
        }
        throw new BadArgumentException("unknown tone '" + name + "'; the tones are " + toneNames());
    }

    static String toneNames() {
        StringBuilder names = new StringBuilder();
        for (Tone tone : Tone.values()) {
            names.append(names.length() == 0 ? "" : ", ").append(tone.name());
        }
        return names.toString();
    }

    // Whole seconds, 0 or more; a value too large for milliseconds saturates.
    private static long millis(String text) throws BadArgumentException {
        long seconds;
        try {
            seconds = Long.parseLong(text.trim());
        } catch (NumberFormatException e) {
            throw new BadArgumentException("--listen takes whole seconds, not '" + text + "'");
        }
        if (seconds < 0) {
            throw new BadArgumentException("--listen takes 0 or more seconds, not " + seconds);
        }
        return seconds > Long.MAX_VALUE / 1000 ? Long.MAX_VALUE : seconds * 1000;
    }

    // The keyboard's three values, each a 32-bit number as register takes it.
    private static int[] key(String text) throws BadArgumentException {
        String[] parts = text.split(",", -1);
        if (parts.length != 3) {
            throw new BadArgumentException("malformed key '" + text + "': expected FIRST,SECOND,THIRD, three numbers");
        }
        int[] values = new int[3];
        for (int i = 0; i < 3; i++) {
            try {
                values[i] = Integer.parseInt(parts[i].trim());
            } catch (NumberFormatException e) {
                throw new BadArgumentException("malformed key '" + text + "': '" + parts[i].trim()
                        + "' is not a 32-bit whole number");
            }
        }
        return values;
    }
}
