package com.morvane.quorlink.internal;

import static org.junit.jupiter.api.Assertions.*;

import java.io.File;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;
import java.util.stream.Stream;
import org.junit.jupiter.api.DisplayName;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * The Java side of the libraries' diagnostics on the JDK, each scenario in a JVM of its own (the
 * logging configuration is read once per JVM): what reaches java.util.logging's handlers and the
 * console, for the calls the DLLs make, under each way of switching it on.
 */
@Timeout(value = 60, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class DiagnosticsTests {
    private static final List<String> MARKERS = Arrays.asList("off", "on at INFO", "off again", "property SEVERE",
            "property INFO", "property OFF");

    // What the DLLs hand over in a typical session: ChordGate's failed creation, TonePort's success,
    // ChordGate's time-out warning, and a listener's exception.
    private static final String SEVERE_LINE = "com.morvane.quorlink.keyboard.ChordGate|SEVERE"
            + "|com.morvane.quorlink.services.keyboard.ChordGate|Init"
            + "|Init(): cannot create COM object (0x80040154: Class not registered)|";
    private static final String INFO_LINE = "com.morvane.quorlink.keyboard.TonePort|INFO"
            + "|com.morvane.quorlink.services.sound.TonePort|Init|Init(): sound is initialized successfully|";
    private static final String WARNING_LINE = "com.morvane.quorlink.keyboard.ChordGate|WARNING"
            + "|com.morvane.quorlink.services.keyboard.ChordGate|Init"
            + "|Init(): hotkey may not be initialzed due to timeout|";
    private static final String LISTENER_LINE = "com.morvane.quorlink.keyboard.ChordGate|WARNING"
            + "|com.morvane.quorlink.services.keyboard.HotKeyListener|KBFailed"
            + "|the listener's KBFailed threw; the next event is delivered as usual|java.lang.IllegalStateException";
    // The Java layer's own records: a warning of what nothing else reports, and a trace.
    private static final String LAYER_WARNING = "com.morvane.quorlink.keyboard.Keyboard|WARNING"
            + "|com.morvane.quorlink.keyboard.Keyboard|events|hot-key events dropped|";
    private static final String LAYER_FINE = "com.morvane.quorlink.keyboard.Keyboard|FINE"
            + "|com.morvane.quorlink.keyboard.Keyboard|reconnect|not back yet|";
    // HRESULTs with letters among their digits, with Windows' text and without it.
    private static final List<String> CODE_LINES = Arrays.asList(
            "com.morvane.quorlink.keyboard.ChordGate|SEVERE|com.morvane.quorlink.services.keyboard.ChordGate"
                    + "|UnregisterHot|UnregisterHot(): failed to unregister hot key (0x8000FFFF: Catastrophic failure)|",
            "com.morvane.quorlink.keyboard.TonePort|SEVERE|com.morvane.quorlink.services.sound.TonePort"
                    + "|playSound|playSound(): CoGetInterfaceAndReleaseStream failed (0x800401FD)|",
            "com.morvane.quorlink.keyboard.TonePort|SEVERE|com.morvane.quorlink.services.sound.TonePort"
                    + "|cleanup|cleanup(): CoInitialize failed (0x80010106)|");

    // Logging configurations a row may name, written into the case's scratch folder. The console must
    // stay silent when off, even with the root logger printing FINE.
    private static final String[][] CONFIGS = {
        {"parent-info", "com.morvane.quorlink.keyboard.level = INFO"},
        {"tone-off", "com.morvane.quorlink.keyboard.level = INFO\ncom.morvane.quorlink.keyboard.TonePort.level = OFF"},
        {"root-fine", ".level = FINE\nhandlers = java.util.logging.ConsoleHandler\n"
                + "java.util.logging.ConsoleHandler.level = FINE"},
    };

    @TempDir
    File scratch;

    static Stream<Arguments> switches() {
        return Stream.of(Arguments.of("", "session", Arrays.asList("parent level null")),
            Arguments.of("root-fine", "session", Arrays.asList("parent level null")),
            Arguments.of("-Dquorlink.diagnostics=WARNING", "session",
                    Arrays.asList("parent level WARNING", SEVERE_LINE, WARNING_LINE, LISTENER_LINE)),
            Arguments.of("-Dquorlink.diagnostics=info", "session",
                    Arrays.asList("parent level INFO", SEVERE_LINE, INFO_LINE, WARNING_LINE, LISTENER_LINE)),
            Arguments.of("-Dquorlink.diagnostics=nonsense", "session", Arrays.asList("parent level null")),
            Arguments.of("-Dquorlink.diagnostics=900", "session",
                    Arrays.asList("parent level WARNING", SEVERE_LINE, WARNING_LINE, LISTENER_LINE)),
            Arguments.of("-Dquorlink.diagnostics= Severe ", "session", Arrays.asList("parent level SEVERE", SEVERE_LINE)),
            Arguments.of("-Dquorlink.diagnostics=SEVERE", "codes", CODE_LINES),
            Arguments.of("-Dquorlink.diagnostics=INFO", "throwing handler",
                    Arrays.asList("parent level INFO", SEVERE_LINE, INFO_LINE, WARNING_LINE, LISTENER_LINE)),
            Arguments.of("parent-info", "session",
                    Arrays.asList("parent level INFO", SEVERE_LINE, INFO_LINE, WARNING_LINE, LISTENER_LINE)),
            Arguments.of("tone-off", "session",
                    Arrays.asList("parent level INFO", SEVERE_LINE, WARNING_LINE, LISTENER_LINE)),
            // No level forced: JUL's default shows the layer's warnings and hides its traces.
            Arguments.of("", "layer", Arrays.asList("parent level null", LAYER_WARNING)),
            Arguments.of("root-fine", "layer", Arrays.asList("parent level null", LAYER_WARNING, LAYER_FINE)),
            Arguments.of("-Dquorlink.diagnostics=SEVERE", "layer", Arrays.asList("parent level SEVERE")),
            Arguments.of("", "run-time", Arrays.asList("off", "on at INFO", SEVERE_LINE, INFO_LINE, "off again",
                    "property SEVERE", SEVERE_LINE, "property INFO", SEVERE_LINE, INFO_LINE, "property OFF")));
    }

    /** One row: the child's JVM option or configuration, the scenario it runs, and exactly the lines it prints. */
    @ParameterizedTest(name = "[{0}] {1}")
    @DisplayName("diagnostics: off by default, on by the property, the configuration or at run time; each record's text")
    @MethodSource
    void switches(String option, String scenario, List<String> expected) throws Exception {
        List<String> options = new ArrayList<String>();
        for (String[] config : CONFIGS) {
            if (config[0].equals(option)) {
                File file = new File(scratch, option + ".properties");
                Files.write(file.toPath(), config[1].getBytes("UTF-8"));
                option = "-Djava.util.logging.config.file=" + file;
            }
        }
        if (!option.isEmpty()) {
            options.add(option);
        }
        List<String> console = new ArrayList<String>();
        assertEquals(expected, runChild(options, scenario, console));
        boolean records = false;
        for (String line : expected) {
            records |= line.contains("|");
        }
        assertTrue(records || console.isEmpty(), "wrote to the console: " + console);
    }

    /** The loader's FINE trace names where each DLL came from. */
    @Test
    @DisplayName("diagnostics: the loader's FINE trace says where each DLL came from")
    void loaderTrace() throws Exception {
        List<String> printed = runChild(Arrays.asList("-Dquorlink.diagnostics=FINE",
                "-Dtest.scratch=" + scratch.getPath()), "loader", new ArrayList<String>());
        File folder = new File(scratch, "trace-folder");
        File cache = new File(scratch, "trace-cache/quorlink-keyboard");
        String start = "com.morvane.quorlink.keyboard.TonePort|FINE|" + NativeLibraryLoader.class.getName() + "|load|";
        assertTrue(printed.size() == 4 && printed.get(0).equals("parent level FINE")
                && printed.get(1).equals(start + "TonePort: loaded " + new File(folder, "TonePort.dll").getAbsolutePath()
                        + ", from the folder that quorlink.library.path names|")
                && printed.get(2).startsWith(start + "TonePort: loaded " + cache.getAbsolutePath())
                && printed.get(2).endsWith(", the jar's windows-x86_64 copy extracted into the cache|")
                && printed.get(3).endsWith(", the jar's windows-x86_64 copy reused from the cache|"),
                "loader trace: " + printed);
    }

    // The child's own lines (records and markers); anything else it printed, the console's, goes to console.
    private static List<String> runChild(List<String> options, String scenario, List<String> console)
            throws Exception {
        List<String> command = new ArrayList<String>();
        command.add(System.getProperty("java.home") + File.separator + "bin" + File.separator + "java");
        command.addAll(options);
        command.addAll(Arrays.asList("-cp", System.getProperty("java.class.path"), DiagnosticsTests.class.getName(),
                scenario));
        Process child = new ProcessBuilder(command).redirectErrorStream(true).start();
        String output = new String(NativeLibraryLoader.readAll(child.getInputStream()), "UTF-8");
        assertEquals(0, child.waitFor(), scenario + " child failed:\n" + output);
        List<String> lines = new ArrayList<String>();
        for (String line : output.split("\n")) {
            if (line.contains("|") || line.startsWith("parent level ") || MARKERS.contains(line)) {
                lines.add(line);
            } else if (!line.isEmpty() && !line.contains("stack guard") && !line.contains("execstack")) {
                console.add(line);
            }
        }
        return lines;
    }

    /** A user's handler that fails on every record, after the printer has printed it. */
    private static final class Throwing extends Handler {
        @Override
        public void publish(LogRecord r) {
            throw new IllegalStateException("a user's handler failed");
        }

        @Override
        public void flush() {
        }

        @Override
        public void close() {
        }
    }

    /** Prints each record it gets; the console (stderr, merged by the parent) shows anything else. */
    private static final class Printer extends Handler {
        @Override
        public void publish(LogRecord r) {
            System.out.println(r.getLoggerName() + "|" + r.getLevel() + "|" + r.getSourceClassName() + "|"
                    + r.getSourceMethodName() + "|" + r.getMessage() + "|"
                    + (r.getThrown() == null ? "" : r.getThrown().getClass().getName()));
            System.out.flush();
        }

        @Override
        public void flush() {
        }

        @Override
        public void close() {
        }
    }

    private static void session() {
        Diagnostics.log(Diagnostics.CHORD_GATE, 1000, "Init(): cannot create COM object", 0x80040154,
                "Class not registered");
        Diagnostics.log(Diagnostics.TONE_PORT, 800, "Init(): sound is initialized successfully", 0, null);
        Diagnostics.log(Diagnostics.CHORD_GATE, 900, "Init(): hotkey may not be initialzed due to timeout", 0, null);
        Diagnostics.listenerThrew("KBFailed", new IllegalStateException("thrown by a listener"));
    }

    private static void sessionOfTwo() {
        Diagnostics.log(Diagnostics.CHORD_GATE, 1000, "Init(): cannot create COM object", 0x80040154,
                "Class not registered");
        Diagnostics.log(Diagnostics.TONE_PORT, 800, "Init(): sound is initialized successfully", 0, null);
    }

    public static void main(String[] args) throws Exception {
        Logger parent = Logger.getLogger(Diagnostics.LOGGER);
        parent.addHandler(new Printer());
        Diagnostics.isLoggable(Diagnostics.TONE_PORT, 800);  // the class as the DLLs first meet it
        if (args[0].equals("session")) {
            System.out.println("parent level " + parent.getLevel());
            session();
        } else if (args[0].equals("throwing handler")) {
            // Each call must return to the DLL that made it; the child's exit code tells.
            parent.addHandler(new Throwing());
            System.out.println("parent level " + parent.getLevel());
            session();
        } else if (args[0].equals("codes")) {
            Diagnostics.log(Diagnostics.CHORD_GATE, 1000, "UnregisterHot(): failed to unregister hot key", 0x8000FFFF,
                    "Catastrophic failure");
            Diagnostics.log(Diagnostics.TONE_PORT, 1000, "playSound(): CoGetInterfaceAndReleaseStream failed",
                    0x800401FD, null);
            Diagnostics.log(Diagnostics.TONE_PORT, 1000, "cleanup(): CoInitialize failed", 0x80010106, "");
        } else if (args[0].equals("run-time")) {
            System.out.println("off");
            sessionOfTwo();
            parent.setLevel(Level.INFO);
            System.out.println("on at INFO");
            sessionOfTwo();
            parent.setLevel(Level.OFF);
            System.out.println("off again");
            sessionOfTwo();
            System.setProperty(Diagnostics.PROPERTY, "SEVERE");
            System.out.println("property SEVERE");
            sessionOfTwo();
            // Read again at each diagnostic: every change counts, not only the first value seen.
            System.setProperty(Diagnostics.PROPERTY, "INFO");
            System.out.println("property INFO");
            sessionOfTwo();
            System.setProperty(Diagnostics.PROPERTY, "OFF");
            System.out.println("property OFF");
            sessionOfTwo();
        } else if (args[0].equals("layer")) {
            System.out.println("parent level " + parent.getLevel());
            Diagnostics.logLayer(900, "com.morvane.quorlink.keyboard.Keyboard", "events", "hot-key events dropped", null);
            Diagnostics.logLayer(500, "com.morvane.quorlink.keyboard.Keyboard", "reconnect", "not back yet", null);
        } else if (args[0].equals("loader")) {
            System.out.println("parent level " + parent.getLevel());
            loaderChild(new File(System.getProperty("test.scratch")));
        }
        System.exit(0);
    }

    // A Linux shared library stands in for the DLL, so that System.load succeeds here.
    private static void loaderChild(File scratch) throws Exception {
        byte[] library = Files.readAllBytes(new File(System.getProperty("java.home"), "lib/libjimage.so").toPath());
        File folder = new File(scratch, "trace-folder");
        assertTrue(folder.mkdirs(), "made " + folder);
        Files.write(new File(folder, "TonePort.dll").toPath(), library);
        File jar = new File(scratch, "trace-jar");
        File dll = new File(jar, NativeLibraryLoader.RESOURCE_ROOT + "windows-x86_64/TonePort.dll");
        assertTrue(dll.getParentFile().mkdirs(), "made " + dll.getParent());
        Files.write(dll.toPath(), library);
        ClassLoader resources = new URLClassLoader(new URL[] {jar.toURI().toURL()}, null);
        NativeLibraryLoader.CacheRoots roots = new NativeLibraryLoader.CacheRoots(
                Collections.singletonList(new File(scratch, "trace-cache/quorlink-keyboard")), false);
        NativeLibraryLoader.load("TonePort", "Windows 10", "amd64", folder.getPath(), roots, resources);
        NativeLibraryLoader.load("TonePort", "Windows 10", "amd64", null, roots, resources);
        NativeLibraryLoader.load("TonePort", "Windows 10", "amd64", null, roots, resources);
    }
}
