package com.morvane.quorlink.support;

import static org.junit.jupiter.api.Assertions.*;

import com.morvane.quorlink.keyboard.Keyboard;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.DisplayName;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The support command on the JDK, which no Windows JVM is: the report stops at "not supported" with the
 * reason and its exit code (in-process and as the jar's Main-Class), bad arguments, and --help.
 */
@Timeout(value = 60, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class SupportCommandTests {
    private static final String SUPPORTED_LINE = "not ok  supported: no: " + Keyboard.unsupportedReason();

    /** The command's exit code and what it printed. */
    static final class Run {
        final int code;
        final List<String> out;
        final List<String> err;

        Run(int code, String out, String err) {
            this.code = code;
            this.out = lines(out);
            this.err = lines(err);
        }

        private static List<String> lines(String text) {
            return text.isEmpty() ? new ArrayList<String>() : Arrays.asList(text.split("\r?\n"));
        }
    }

    static Run run(String... args) throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int code = SupportCommand.run(args, new PrintStream(out, true, "UTF-8"), new PrintStream(err, true, "UTF-8"));
        return new Run(code, out.toString("UTF-8"), err.toString("UTF-8"));
    }

    private static String readAll(InputStream in) throws IOException {
        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        byte[] buffer = new byte[4096];
        for (int n; (n = in.read(buffer)) > 0; ) {
            bytes.write(buffer, 0, n);
        }
        return bytes.toString("UTF-8");
    }

    private static String[] words(String args) {
        return args == null || args.trim().isEmpty() ? new String[0] : args.trim().split(" +");
    }

    @ParameterizedTest(name = "[{0}]")
    @DisplayName("support: on a JVM the libraries do not serve, every mode says why and exits with 3")
    @CsvSource({"''", "--play BELL", "'--listen 1 --key 7,2,300'", "--diagnostics"})
    void unsupportedJvm(String args) throws Exception {
        assertNotNull(Keyboard.unsupportedReason(), "these tests run on a JVM the libraries do not serve");
        Run run = run(words(args));
        assertEquals(3, run.code, "exit code; printed " + run.out + run.err);
        assertTrue(run.out.contains(SUPPORTED_LINE), "no line '" + SUPPORTED_LINE + "' in " + run.out);
        assertEquals(new ArrayList<String>(), run.err, "error stream");
    }

    @Test
    @DisplayName("support: the report goes through every check, each not ok after the platform, and names code 3")
    void unsupportedReport() throws Exception {
        Run run = run();
        String[] checks = {"ok      library: ", "ok      JVM: ", "not ok  supported: ", "not ok  TonePort.dll: ",
            "not ok  ChordGate.dll: ", "not ok  driver: ", "not ok  tone component: ", "not ok  hot-key component: "};
        List<String> seen = new ArrayList<String>();
        for (String line : run.out) {
            for (String check : checks) {
                if (line.startsWith(check)) {
                    seen.add(check);
                }
            }
        }
        assertEquals(Arrays.asList(checks), seen, "the checks, in order, in " + run.out);
        String jvm = "";
        for (String line : run.out) {
            if (line.startsWith("ok      JVM: ")) {
                jvm = line;
            }
        }
        assertTrue(jvm.contains("os.arch " + System.getProperty("os.arch") + ", "), "JVM line names os.arch: " + jvm);
        assertEquals("6 of 8 checks not ok; exit code 3: " + ExitCode.UNSUPPORTED.meaning,
                run.out.get(run.out.size() - 1));
    }

    @Test
    @DisplayName("support: java -jar quorlink-keyboard.jar runs the report: its version, not supported, exit 3")
    void jarRunsTheReport() throws Exception {
        String dist = System.getProperty("quorlink.test.dist");
        String version = System.getProperty("quorlink.test.version");
        assertNotNull(dist, "run with -Dquorlink.test.dist=..., as tests/java/run.sh does");
        File jar = new File(dist, "quorlink-keyboard.jar");
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
        Process child = new ProcessBuilder(java, "-jar", jar.getPath()).redirectErrorStream(true).start();
        child.getOutputStream().close();
        String printed = readAll(child.getInputStream());
        assertTrue(child.waitFor(30, TimeUnit.SECONDS), "the command did not end");
        List<String> lines = Arrays.asList(printed.split("\r?\n"));
        assertEquals(3, child.exitValue(), "exit code; printed " + printed);
        assertTrue(lines.contains("ok      library: quorlink-keyboard " + version), "version line in " + printed);
        assertTrue(lines.contains(SUPPORTED_LINE), "no line '" + SUPPORTED_LINE + "' in " + printed);
    }

    @ParameterizedTest(name = "[{0}]: {1}")
    @DisplayName("support: bad arguments get one line on the error stream, no stack trace, exit 2")
    @CsvSource(delimiter = '|', value = {
        "--play DING | unknown tone 'DING'; the tones are NEWS, INCOMING, BELL, LIMIT, SHORT, BUSY, INTERRUPT",
        "--play | --play needs a tone",
        "--play BELL --play NEWS | --play is given twice",
        "--listen -1 | --listen takes 0 or more seconds, not -1",
        "--listen 5s | --listen takes whole seconds, not '5s'",
        "--listen | --listen needs the seconds to listen",
        "--listen 5 --key 7,2 | malformed key '7,2': expected FIRST,SECOND,THIRD, three numbers",
        "--listen 5 --key 7,2,300,4 | malformed key '7,2,300,4': expected FIRST,SECOND,THIRD, three numbers",
        "--listen 5 --key 7,x,300 | malformed key '7,x,300': 'x' is not a 32-bit whole number",
        "--listen 5 --key 7,2,4294967296 | malformed key '7,2,4294967296': '4294967296' is not a 32-bit whole number",
        "--listen 5 --key | --key needs FIRST,SECOND,THIRD",
        "--key 7,2,300 | --key goes with --listen SECONDS",
        "--play BELL --listen 5 | --play and --listen cannot be combined; run the command twice",
        "--verbose | unknown argument '--verbose'",
    })
    void badArguments(String args, String message) throws Exception {
        Run run = run(words(args));
        assertEquals(2, run.code, "exit code; printed " + run.out + run.err);
        assertEquals(Arrays.asList("quorlink-keyboard: " + message + " (see --help)"), run.err, "error stream");
        assertEquals(new ArrayList<String>(), run.out, "output stream");
    }

    @Test
    @DisplayName("support: --help tells the options and every exit code, and exits with 0")
    void help() throws Exception {
        Run run = run("--help");
        assertEquals(0, run.code);
        assertEquals(new ArrayList<String>(), run.err, "error stream");
        String text = String.join("\n", run.out);
        for (String option : new String[] {"--play TONE", "--listen SECONDS", "--key F,S,T", "--diagnostics", "--help"}) {
            assertTrue(text.contains("\n  " + option + " "), "--help lacks " + option + ":\n" + text);
        }
        for (int code = 0; code <= 9; code++) {
            assertTrue(text.contains("\n  " + code + "  "), "--help lacks exit code " + code + ":\n" + text);
        }
    }
}
