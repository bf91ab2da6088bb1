package com.morvane.quorlink.internal;

import static org.junit.jupiter.api.Assertions.*;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.util.jar.Attributes;
import java.util.jar.JarFile;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.tools.ToolProvider;
import javax.xml.parsers.DocumentBuilderFactory;
import org.junit.jupiter.api.DisplayName;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.w3c.dom.Element;
import org.w3c.dom.Node;

/**
 * What the build left in the dist folder (system property quorlink.test.dist) for the project's version
 * (quorlink.test.version): the jars, the POM, and the README's Java blocks compiled and run against the jar.
 */
@Timeout(value = 120, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class PackageTests {
    private final File dist = new File(setting("quorlink.test.dist"));
    private final String version = setting("quorlink.test.version");
    private final File jarFile = new File(dist, "quorlink-keyboard.jar");
    private final String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";

    @TempDir
    File scratch;

    private static String setting(String name) {
        String value = System.getProperty(name);
        assertNotNull(value, "run with -D" + name + "=..., as tests/java/run.sh does");
        return value;
    }

    private static byte[] readAll(JarFile jar, String entry) throws IOException {
        assertNotNull(jar.getEntry(entry), "jar lacks " + entry);
        return NativeLibraryLoader.readAll(jar.getInputStream(jar.getEntry(entry)));
    }

    @Test
    @DisplayName("jar carries dist's DLLs, versioned manifest, POM, demo class path")
    void shippedJar() throws Exception {
        String[][] natives = {{"windows-x86", "x86"}, {"windows-x86_64", "x64"}};
        try (JarFile jar = new JarFile(jarFile)) {
            for (String[] platform : natives) {
                for (String dll : new String[] {"TonePort.dll", "ChordGate.dll"}) {
                    byte[] shipped = Files.readAllBytes(new File(dist, platform[1] + "/" + dll).toPath());
                    assertArrayEquals(shipped, readAll(jar, "natives/" + platform[0] + "/" + dll),
                            platform[0] + "/" + dll + " differs from dist/" + platform[1]);
                }
            }
            assertEquals(version, new String(readAll(jar, "natives/version"), "UTF-8").trim(), "natives/version");
            Attributes manifest = jar.getManifest().getMainAttributes();
            assertEquals(version, manifest.getValue("Implementation-Version"), "Implementation-Version");
            assertNotNull(manifest.getValue("Implementation-Title"), "Implementation-Title");
            assertEquals("com.morvane.quorlink.keyboard", manifest.getValue("Automatic-Module-Name"));
        }
        String pom = new String(Files.readAllBytes(new File(dist, "quorlink-keyboard.pom").toPath()), "UTF-8");
        assertTrue(pom.contains("<version>" + version + "</version>"), "POM version");
        try (JarFile demo = new JarFile(new File(dist, "quorlink-keyboard-demo.jar"))) {
            assertEquals("quorlink-keyboard.jar", demo.getManifest().getMainAttributes().getValue("Class-Path"),
                    "demo Class-Path");
        }
        // The real jar through the loader: the x86 copy lands in the versioned cache folder.
        byte[] x86 = Files.readAllBytes(new File(dist, "x86/TonePort.dll").toPath());
        try (URLClassLoader jarLoader = new URLClassLoader(new URL[] {jarFile.toURI().toURL()}, null)) {
            String message = LoaderTests.expectLinkError(jarLoader, "x86", scratch);
            File extracted = LoaderTests.expectedPath(scratch, version, x86);
            LoaderTests.checkRefused(message, "windows-x86", extracted);
            assertArrayEquals(x86, Files.readAllBytes(extracted.toPath()), "extracted x86 copy");
        }
    }

    @Test
    @DisplayName("licence in every jar; POM has url, licenses, scm, developers, a release matching the classes")
    void licenceAndPom() throws Exception {
        byte[] licence = Files.readAllBytes(new File("LICENSE").toPath());
        String licenceText = new String(licence, "UTF-8");
        assertTrue(licenceText.contains("Apache License") && licenceText.contains("Version 2.0, January 2004"),
                "LICENSE is not the Apache License 2.0");
        int major = 0;
        for (String name : new String[] {"quorlink-keyboard.jar", "quorlink-keyboard-sources.jar",
                "quorlink-keyboard-javadoc.jar", "quorlink-keyboard-demo.jar"}) {
            try (JarFile jar = new JarFile(new File(dist, name))) {
                assertArrayEquals(licence, readAll(jar, "META-INF/LICENSE"), name + ": META-INF/LICENSE differs");
                if (name.equals("quorlink-keyboard.jar")) {
                    byte[] header = readAll(jar, "com/morvane/quorlink/services/sound/TonePort.class");
                    major = (header[6] & 0xff) << 8 | header[7] & 0xff;
                }
            }
        }
        Element project = DocumentBuilderFactory.newInstance().newDocumentBuilder()
                .parse(new File(dist, "quorlink-keyboard.pom")).getDocumentElement();
        for (String path : new String[] {"url", "licenses/license/name", "licenses/license/url",
                "scm/connection", "scm/url", "developers/developer/name", "properties/maven.compiler.release"}) {
            assertFalse(text(project, path).isEmpty(), "POM lacks " + path);
        }
        assertEquals("Apache License, Version 2.0", text(project, "licenses/license/name"), "licence name");
        String release = text(project, "properties/maven.compiler.release");
        assertEquals(major, Integer.parseInt(release) + 44, "POM release " + release + ", classes major version");
    }

    // The text of the first element at a slash-separated path below {@code parent}, or "" when there is none.
    private static String text(Element parent, String path) {
        Element element = parent;
        for (String name : path.split("/")) {
            Element found = null;
            for (Node n = element.getFirstChild(); n != null && found == null; n = n.getNextSibling()) {
                if (n instanceof Element && n.getNodeName().equals(name)) {
                    found = (Element) n;
                }
            }
            if (found == null) {
                return "";
            }
            element = found;
        }
        return element.getTextContent().trim();
    }

    @Test
    @DisplayName("Maven reads the POM strictly, offline (mvn -o validate)")
    void mavenValidates() throws Exception {
        Process mvn = new ProcessBuilder("mvn", "-o", "-q", "-B", "-f",
                new File(dist, "quorlink-keyboard.pom").getPath(), "validate").redirectErrorStream(true).start();
        String output = new String(NativeLibraryLoader.readAll(mvn.getInputStream()), "UTF-8");
        assertEquals(0, mvn.waitFor(), "mvn -o validate failed:\n" + output);
    }

    @Test
    @DisplayName("the README's quick start compiles against the jar, for Java 8")
    void quickStartCompiles() throws Exception {
        compileReadmeBlock("Quick start", jarFile.getPath(), null, null);
    }

    // The block is run as its readers would run it: by the console launcher, against the jar alone; and
    // again with a press whose only fault is one the handler's own assertion catches, which must fail it.
    @ParameterizedTest(name = "{0}")
    @DisplayName("the README's test class with the simulated keyboard compiles against the jar, passes, and fails on its handler's assertion")
    @CsvSource(delimiter = '|', value = {
        "as written | | | 0 |",
        "the handler's assertion failing | simulation.hotKey(7, 2, 300); | simulation.hotKey(7, 2, 301); | 1"
                + " | expected: <HotKey(7, 2, 300)> but was: <HotKey(7, 2, 301)>"})
    void readmeTestClass(String row, String from, String to, int status, String shown) throws Exception {
        String junit = new File(org.junit.platform.console.ConsoleLauncher.class.getProtectionDomain()
                .getCodeSource().getLocation().toURI()).getPath();
        File classes = compileReadmeBlock("Testing your code with the simulated keyboard",
                jarFile.getPath() + File.pathSeparator + junit, from, to);
        Process run = new ProcessBuilder(java, "-jar", junit, "--disable-banner", "--disable-ansi-colors",
                "--include-engine=junit-jupiter", "--details=tree", "--details-theme=ascii", "--fail-if-no-tests",
                "--class-path", jarFile.getPath() + File.pathSeparator + classes,
                "--scan-class-path", classes.getPath()).redirectErrorStream(true).start();
        String output = new String(NativeLibraryLoader.readAll(run.getInputStream()), "UTF-8");
        assertEquals(status, run.waitFor(), "the README's test class:\n" + output);
        assertTrue(shown == null || output.contains(shown), "the failure shown:\n" + output);
    }

    // The first Java block under the README's heading, compiled for Java 8 with every lint as an error;
    // the folder of its classes.
    private File compileReadmeBlock(String heading, String classPath, String from, String to) throws Exception {
        String readme = new String(Files.readAllBytes(new File("README.md").toPath()), "UTF-8");
        int at = readme.indexOf("\n### " + heading + "\n");
        int start = readme.indexOf("```java\n", at);
        assertTrue(at >= 0 && start >= 0, "README has no Java block under " + heading);
        String code = readme.substring(start + "```java\n".length(), readme.indexOf("```", start + 7));
        if (from != null) {
            assertTrue(code.contains(from), "the block has no " + from);
            code = code.replace(from, to);
        }
        Matcher name = Pattern.compile("(?m)^(?:public )?(?:final )?class (\\w+)").matcher(code);
        assertTrue(name.find(), "no top-level class in the block under " + heading);
        File folder = new File(scratch, name.group(1));
        assertTrue(folder.mkdirs(), "made " + folder);
        File source = new File(folder, name.group(1) + ".java");
        Files.write(source.toPath(), code.getBytes("UTF-8"));
        ByteArrayOutputStream errors = new ByteArrayOutputStream();
        int status = ToolProvider.getSystemJavaCompiler().run(null, errors, errors, "--release", "8", "-Xlint:all",
                "-Werror", "-cp", classPath, "-d", folder.getPath(), source.getPath());
        assertEquals(0, status, "javac: " + errors.toString("UTF-8"));
        return folder;
    }
}
