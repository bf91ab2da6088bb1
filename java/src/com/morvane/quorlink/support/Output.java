package com.morvane.quorlink.support;

import java.io.PrintStream;

/** Where the command writes: whole lines, one at a time, from any thread. */
final class Output {
    private static final String OK = "ok      ";
    private static final String NOT_OK = "not ok  ";

    private final PrintStream out;

    Output(PrintStream out) {
        this.out = out;
    }

    void line(String text) {
        synchronized (out) {
            out.println(text);
            out.flush();
        }
    }

    /** One check's line: "ok" or "not ok", the check's name, what was found. */
    void check(boolean ok, String name, String detail) {
        line((ok ? OK : NOT_OK) + name + ": " + detail);
    }

    /** Milliseconds as seconds with three decimals, right-aligned in eight characters ("   1.250"). */
    static String seconds(long millis) {
        long ms = Math.max(0, millis);
        String fraction = String.valueOf(1000 + ms % 1000).substring(1);
        String text = ms / 1000 + "." + fraction;
        return "        ".substring(Math.min(8, text.length())) + text;
    }
}
