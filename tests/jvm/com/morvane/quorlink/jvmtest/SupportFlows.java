package com.morvane.quorlink.jvmtest;

import com.morvane.quorlink.support.SupportCommand;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The jar's support command in a real JVM, run in-process against the simulated components (so that the
 * flow can set the driver's registry entry, read the tones played and raise hot keys while it listens):
 * {@link #run} returns the number of checks passed, or throws an AssertionError naming the one that failed.
 */
final class SupportFlows {
    private static final int WAIT_MS = 10000;

    private int checks;

    private SupportFlows() {
    }

    private void check(String what, boolean holds, String detail) {
        checks++;
        if (!holds) {
            throw new AssertionError(what + ": " + detail);
        }
    }

    /** What the command printed, as it printed it and line by line; its exit code. */
    static final class Printed extends OutputStream {
        private final ByteArrayOutputStream kept = new ByteArrayOutputStream();
        int code;

        @Override
        public synchronized void write(int b) throws IOException {
            kept.write(b);
            System.out.write(b);  // Avian's PrintStream declares IOException here
        }

        @Override
        public synchronized void write(byte[] bytes, int offset, int length) throws IOException {
            kept.write(bytes, offset, length);
            System.out.write(bytes, offset, length);
        }

        @Override
        public void flush() {
            System.out.flush();
        }

        synchronized List<String> lines() {
            List<String> lines = new ArrayList<String>();
            String text;
            try {
                text = kept.toString("UTF-8");
            } catch (IOException e) {
                throw new AssertionError(e);
            }
            int start = 0;
            for (int end; (end = text.indexOf('\n', start)) >= 0; start = end + 1) {
                String line = text.substring(start, end);
                lines.add(line.endsWith("\r") ? line.substring(0, line.length() - 1) : line);
            }
            return lines;
        }

        /** The first line that starts with {@code start}, or null. */
        String line(String start) {
            for (String line : lines()) {
                if (line.startsWith(start)) {
                    return line;
                }
            }
            return null;
        }
    }

    private static boolean connected(Printed printed) {
        for (String line : printed.lines()) {
            if (line.endsWith(" s  state CONNECTED")) {
                return true;
            }
        }
        return false;
    }

    /** "[a, b]": the class library's own toString of lists and arrays differs from the JDK's. */
    private static String joined(Object[] items) {
        StringBuilder text = new StringBuilder("[");
        for (int i = 0; i < items.length; i++) {
            text.append(i == 0 ? "" : ", ").append(items[i]);
        }
        return text.append(']').toString();
    }

    private static Printed command(String... args) {
        return command(new Printed(), args);
    }

    private static Printed command(Printed printed, String... args) {
        PrintStream stream = new PrintStream(printed, true);
        printed.code = SupportCommand.run(args, stream, stream);
        stream.flush();
        return printed;
    }

    static int run(String flow) throws Exception {
        SupportFlows flows = new SupportFlows();
        if (flow.equals("support-report")) {
            flows.report();
        } else if (flow.equals("support-bare")) {
            flows.bare();
        } else if (flow.equals("support-play")) {
            flows.play();
        } else if (flow.equals("support-listen")) {
            flows.listen();
        } else {
            throw new IllegalArgumentException("no flow named '" + flow + "'");
        }
        return flows.checks;
    }

    private void expectLine(Printed printed, String start, String contains) {
        String line = printed.line(start);
        check("a line '" + start + "..." + contains + "'", line != null && line.contains(contains),
                line == null ? "none among " + joined(printed.lines().toArray()) : line);
    }

    /** The simulated components and the driver's entry: every check ok, exit code 0. */
    private void report() {
        Sim.setDriverEntry(true);
        Printed printed;
        try {
            printed = command();
        } finally {
            Sim.setDriverEntry(false);
        }
        check("exit code", printed.code == 0, String.valueOf(printed.code));
        for (String dll : new String[] {"TonePort.dll: ", "ChordGate.dll: "}) {
            expectLine(printed, "ok      " + dll, "copy ");
            expectLine(printed, "ok      " + dll, ", verified (its SHA-256 is the jar's copy's) and loaded");
        }
        expectLine(printed, "ok      supported: ", "yes, Windows");
        expectLine(printed, "ok      driver: ", "installed");
        expectLine(printed, "ok      tone component: ", "created, then released");
        expectLine(printed, "ok      hot-key component: ", "created with its listener, then released");
        List<String> lines = printed.lines();
        check("last line", lines.get(lines.size() - 1).equals("all 8 checks ok"), joined(lines.toArray()));
        check("one component of each made", Sim.countHotKeyCalls(Sim.CREATE) == 1,
                Sim.countHotKeyCalls(Sim.CREATE) + " hot-key components");
    }

    /** No components, no driver: the driver is the first check not ok, and each component gives Init's -2. */
    private void bare() {
        Printed printed = command();
        check("exit code", printed.code == 5, String.valueOf(printed.code));
        expectLine(printed, "ok      TonePort.dll: ", "loaded");
        expectLine(printed, "not ok  driver: ", "not installed");
        expectLine(printed, "not ok  tone component: ", "not created: Init status -2, ");
        expectLine(printed, "not ok  hot-key component: ", "not created: Init status -2, ");
        List<String> lines = printed.lines();
        check("last line", lines.get(lines.size() - 1).startsWith("3 of 8 checks not ok; exit code 5: "),
                joined(lines.toArray()));
    }

    private void play() {
        Printed printed = command("--play", "bell");
        check("exit code", printed.code == 0, String.valueOf(printed.code));
        expectLine(printed, "ok      play BELL: ", "played");
        String[] played = Sim.tonesPlayed();
        check("the simulation's record", played.length == 1 && played[0].equals("Bell"), joined(played));
    }

    /**
     * Hot keys and a failure raised once the command says it is connected: each printed with its time, in
     * order. (Raised while open() still runs, after the keys' registration, they would reach the handler
     * before CONNECTED.)
     */
    private void listen() throws Exception {
        final List<Throwable> raising = new ArrayList<Throwable>();
        final Printed printed = new Printed();
        Thread raiser = new Thread("support-flow-raiser") {
            @Override
            public void run() {
                try {
                    for (int waited = 0; !connected(printed) && waited < 3 * WAIT_MS; waited += 20) {
                        Thread.sleep(20);
                    }
                    Sim.hotKeyHit(7, 2, 300);
                    Sim.hotKeyHit(8, -1, 1);
                    Sim.keyboardFailed();
                } catch (Throwable e) {
                    synchronized (raising) {
                        raising.add(e);
                    }
                }
            }
        };
        raiser.setDaemon(true);
        raiser.start();
        command(printed, "--listen", "4", "--key", "7,2,300", "--key", "8,-1,1");
        raiser.join(WAIT_MS);
        synchronized (raising) {
            check("raising", raising.isEmpty(), joined(raising.toArray()));
        }
        check("exit code", printed.code == 0, String.valueOf(printed.code));
        check("registered last", Arrays.toString(Sim.lastHotKeyCall(Sim.REGISTER_STANDARD)).equals("[8, -1, 1]"),
                Arrays.toString(Sim.lastHotKeyCall(Sim.REGISTER_STANDARD)));
        String events = "[state CONNECTED, hot key 7, 2, 300, hot key 8, -1, 1, the keyboard reports a failure,"
                + " state CLOSED]";
        List<String> seen = new ArrayList<String>();
        for (String line : printed.lines()) {
            int mark = line.indexOf(" s  ");
            if (mark == 8 && events.contains(line.substring(mark + 4))) {
                double seconds = Double.parseDouble(line.substring(0, mark).trim());
                check("time of '" + line + "'", seconds >= 0 && seconds < 60, line);
                seen.add(line.substring(mark + 4));
            }
        }
        check("events in order, each with its time", joined(seen.toArray()).equals(events), joined(printed.lines().toArray()));
        List<String> lines = printed.lines();
        check("last line", lines.get(lines.size() - 1).equals("time is up: 2 hot key(s), 1 failure(s), 0 dropped"),
                joined(lines.toArray()));
    }
}
