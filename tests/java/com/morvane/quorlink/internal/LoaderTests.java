package com.morvane.quorlink.internal;

import static org.junit.jupiter.api.Assertions.*;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.DisplayName;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * The jar's DLL loader on the build machine's JDK, over a class path folder laid out as the jar (both
 * platforms' TonePort.dll, random bytes, and the version 1.2.3) and a scratch folder of each case's own.
 */
@Timeout(value = 60, threadMode = Timeout.ThreadMode.SEPARATE_THREAD)
class LoaderTests {
    private static final Random RANDOM = new Random(0x12345678);

    @TempDir
    File scratch;
    private File resources;
    private ClassLoader fake;

    @BeforeEach
    void fakeJar() throws IOException {
        resources = newFolder("fake-jar");
        for (String platform : NativeLibraryLoader.PLATFORMS) {
            File dll = new File(resources, NativeLibraryLoader.RESOURCE_ROOT + platform + "/TonePort.dll");
            assertTrue(dll.getParentFile().mkdirs(), "made " + dll.getParent());
            Files.write(dll.toPath(), randomBytes(70000));
        }
        Files.write(new File(resources, NativeLibraryLoader.VERSION_RESOURCE).toPath(), "1.2.3\n".getBytes("UTF-8"));
        fake = new URLClassLoader(new URL[] {resources.toURI().toURL()}, null);
    }

    /** The child of {@link #twoJvms}: arguments root folder, content file, version. */
    public static void main(String[] args) throws Exception {
        byte[] content = Files.readAllBytes(new File(args[1]).toPath());
        System.out.println("ready");
        new BufferedReader(new InputStreamReader(System.in, "UTF-8")).readLine();
        File file = NativeLibraryLoader.extract("TonePort.dll", content, args[2], new File(args[0]));
        boolean intact = Arrays.equals(Files.readAllBytes(file.toPath()), content);
        System.out.println((intact ? "intact " : "partial ") + file.getPath());
        System.exit(intact ? 0 : 1);
    }

    static String jdkSha256(byte[] data) throws Exception {
        StringBuilder hex = new StringBuilder();
        for (byte b : MessageDigest.getInstance("SHA-256").digest(data)) {
            hex.append(String.format("%02x", b));
        }
        return hex.toString();
    }

    private static byte[] randomBytes(int length) {
        byte[] data = new byte[length];
        RANDOM.nextBytes(data);
        return data;
    }

    private File newFolder(String name) {
        File folder = new File(scratch, name);
        assertTrue(folder.mkdirs(), "made " + folder);
        return folder;
    }

    private byte[] fakeX64() throws IOException {
        return Files.readAllBytes(new File(resources, "natives/windows-x86_64/TonePort.dll").toPath());
    }

    private static String expectLinkError(ClassLoader resources, String osName, String osArch, String property,
                                          List<File> roots) {
        return expectLinkError(resources, osName, osArch, property, new NativeLibraryLoader.CacheRoots(roots, false));
    }

    static String expectLinkError(ClassLoader resources, String osName, String osArch, String property,
                                  NativeLibraryLoader.CacheRoots roots) {
        return assertThrows(UnsatisfiedLinkError.class,
                () -> NativeLibraryLoader.load("TonePort", osName, osArch, property, roots, resources),
                osName + "/" + osArch).getMessage();
    }

    static String expectLinkError(ClassLoader resources, String osArch, File root) {
        return expectLinkError(resources, "Windows 10", osArch, null, Collections.singletonList(root));
    }

    // What the loader says when it wrote the file and System.load refused it (here: not a Linux library).
    static void checkRefused(String message, String platform, File extracted) {
        String start = "TonePort: the jar's " + platform + " copy was written to " + extracted.getAbsolutePath()
                + " and then refused by System.load: ";
        assertTrue(message.startsWith(start), "message does not start with [" + start + "]: " + message);
        assertTrue(message.endsWith("; an allow-list or an antivirus may block DLLs in that folder: set"
                + " -Dquorlink.cache.dir to a folder from which DLLs may be loaded, or -Dquorlink.library.path to a"
                + " folder that holds TonePort.dll"), "no advice: " + message);
    }

    static File expectedPath(File root, String version, byte[] content) throws Exception {
        return new File(root, version + "-" + jdkSha256(content).substring(0, 32) + "/TonePort.dll");
    }

    // Each padding boundary: one block or two for the length, exact block multiples.
    @ParameterizedTest(name = "{0} bytes")
    @DisplayName("sha256 equals the JDK's")
    @ValueSource(ints = {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 1048579})
    void sha256MatchesJdk(int length) throws Exception {
        byte[] data = randomBytes(length);
        assertEquals(jdkSha256(data), Sha256.hex(data));
    }

    // Each supported row maps to the jar's folder; each unsupported one ends in an error that names
    // what it saw, what the jar carries and every place tried, and extracts nothing.
    @ParameterizedTest(name = "{0} / {1}: {2}")
    @DisplayName("architecture table; unsupported ones name what they saw, what the jar carries, what was tried")
    @CsvSource({
        "Windows 10, x86, windows-x86", "Windows XP, i386, windows-x86", "Windows 7, i486, windows-x86",
        "Windows 7, i586, windows-x86", "Windows 10, i686, windows-x86", "Windows 11, amd64, windows-x86_64",
        "Windows Server 2022, x86_64, windows-x86_64", "Windows 10, AMD64, windows-x86_64",
        "Windows 11, aarch64,", "Windows 10, arm,", "Windows 10, i786,", "Windows 10, ia64,", "Linux, amd64,",
        "Linux, i386,", "Linux, aarch64,", "Linux, arm,", "Mac OS X, x86_64,", "Mac OS X, aarch64,",
    })
    void architectureTable(String osName, String osArch, String expected) {
        assertEquals(expected, NativeLibraryLoader.platform(osName, osArch));
        String reason = NativeLibraryLoader.unsupportedReason(osName, osArch);
        if (expected != null) {
            assertNull(reason, "served, yet");
            return;
        }
        assertTrue(reason != null && reason.contains("os.name \"" + osName + "\"")
                && reason.contains("os.arch \"" + osArch + "\""), "reason: " + reason);
        File root = new File(scratch, "unsupported-cache");
        String message = expectLinkError(fake, osName, osArch, null, Collections.singletonList(root));
        for (String part : new String[] {"os.name \"" + osName + "\"", "os.arch \"" + osArch + "\"",
                "the jar carries windows-x86, windows-x86_64", "quorlink.library.path: not set",
                "the jar: no copy for this platform", "System.loadLibrary(\"TonePort\") on java.library.path"}) {
            assertTrue(message.contains(part), "message lacks [" + part + "]: " + message);
        }
        assertFalse(root.exists(), "extracted for an unsupported platform");
    }

    @Test
    @DisplayName("content-addressed path; the right file reused without rewriting")
    void contentAddressedAndReused() throws Exception {
        File root = new File(scratch, "addressed");
        byte[] content = randomBytes(5000);
        File file = NativeLibraryLoader.extract("TonePort.dll", content, "4.5.6", root);
        assertEquals(expectedPath(root, "4.5.6", content), file);
        assertArrayEquals(content, Files.readAllBytes(file.toPath()));
        assertTrue(file.setLastModified(1000000000000L), "set mtime");
        Object inode = Files.getAttribute(file.toPath(), "unix:ino");
        assertEquals(file, NativeLibraryLoader.extract("TonePort.dll", content, "4.5.6", root));
        assertEquals(1000000000000L, file.lastModified(), "mtime changed: rewritten");
        assertEquals(inode, Files.getAttribute(file.toPath(), "unix:ino"), "inode changed: replaced");
        File other = NativeLibraryLoader.extract("TonePort.dll", randomBytes(5000), "4.5.6", root);
        assertFalse(other.getParentFile().equals(file.getParentFile()), "another content, another folder");
    }

    static Stream<Arguments> corruptions() {
        byte[] content = randomBytes(5000);
        byte[] tampered = content.clone();
        tampered[4000] ^= 1;
        return Stream.of(Arguments.of("truncated", content, Arrays.copyOf(content, 2048)),
                Arguments.of("one bit flipped", content, tampered), Arguments.of("empty", content, new byte[0]));
    }

    @ParameterizedTest(name = "{0}")
    @DisplayName("corrupt file replaced")
    @MethodSource("corruptions")
    void corruptFileReplaced(String corruption, byte[] content, byte[] corrupt) throws Exception {
        File target = expectedPath(scratch, "1.0.0", content);
        assertTrue(target.getParentFile().mkdirs(), "made " + target.getParent());
        Files.write(target.toPath(), corrupt);
        assertEquals(target, NativeLibraryLoader.extract("TonePort.dll", content, "1.0.0", scratch));
        onlyIntactFile(target, content);
    }

    // Returns only once every thread has verified the file it was handed.
    @Test
    @DisplayName("8 threads extract at once")
    void eightThreads() throws Exception {
        File root = new File(scratch, "threads");
        byte[] content = randomBytes(4 << 20);
        CountDownLatch start = new CountDownLatch(1);
        List<Thread> threads = new ArrayList<Thread>();
        List<String> problems = Collections.synchronizedList(new ArrayList<String>());
        for (int i = 0; i < 8; i++) {
            Thread thread = new Thread(() -> {
                try {
                    start.await();
                    File file = NativeLibraryLoader.extract("TonePort.dll", content, "1.0.0", root);
                    if (!Arrays.equals(Files.readAllBytes(file.toPath()), content)) {
                        problems.add("handed a partial or wrong file");
                    }
                } catch (Exception e) {
                    problems.add(e.toString());
                }
            });
            threads.add(thread);
            thread.start();
        }
        start.countDown();
        for (Thread thread : threads) {
            thread.join();
        }
        assertEquals(Collections.emptyList(), problems);
        onlyIntactFile(expectedPath(root, "1.0.0", content), content);
    }

    private static void onlyIntactFile(File file, byte[] content) throws IOException {
        assertEquals(Arrays.asList(file.getName()), Arrays.asList(file.getParentFile().list()), "the folder holds");
        assertArrayEquals(content, Files.readAllBytes(file.toPath()), "final file not intact");
    }

    @Test
    @DisplayName("2 JVMs extract at once")
    void twoJvms() throws Exception {
        File root = new File(scratch, "jvms");
        byte[] content = randomBytes(8 << 20);
        File source = new File(scratch, "jvm-content.bin");
        Files.write(source.toPath(), content);
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
        List<Process> children = new ArrayList<Process>();
        List<BufferedReader> outputs = new ArrayList<BufferedReader>();
        for (int i = 0; i < 2; i++) {
            Process child = new ProcessBuilder(java, "-cp", System.getProperty("java.class.path"),
                    LoaderTests.class.getName(), root.getPath(), source.getPath(), "1.0.0")
                    .redirectErrorStream(true).start();
            children.add(child);
            outputs.add(new BufferedReader(new InputStreamReader(child.getInputStream(), "UTF-8")));
        }
        // Both wait on their standard input until both are up, then start together.
        for (BufferedReader output : outputs) {
            assertEquals("ready", output.readLine(), "a child said");
        }
        for (Process child : children) {
            OutputStream in = child.getOutputStream();
            in.write("go\n".getBytes("UTF-8"));
            in.flush();
        }
        File expected = expectedPath(root, "1.0.0", content);
        for (int i = 0; i < 2; i++) {
            String line = outputs.get(i).readLine();
            assertEquals(0, children.get(i).waitFor(), "child " + i + " failed: " + line);
            assertEquals("intact " + expected.getPath(), line, "child " + i + " said");
        }
        onlyIntactFile(expected, content);
    }

    // A plain file where the cache folder's parent should be: no folder can be made there, even by root.
    private File unwritableRoot(String name) throws IOException {
        File blocker = new File(scratch, name);
        Files.write(blocker.toPath(), new byte[] {1});
        return new File(blocker, "quorlink-keyboard");
    }

    @Test
    @DisplayName("unwritable cache folders: the next one, System.load of the extracted path, every one named")
    void unwritableFolders() throws Exception {
        File second = new File(scratch, "second");
        String message = expectLinkError(fake, "Windows 10", "amd64", null,
                Arrays.asList(unwritableRoot("first-blocked"), second));
        File extracted = expectedPath(second, "1.2.3", fakeX64());
        checkRefused(message, "windows-x86_64", extracted);
        assertArrayEquals(fakeX64(), Files.readAllBytes(extracted.toPath()), "extracted the x64 copy");

        File[] blocked = {unwritableRoot("blocked-1"), unwritableRoot("blocked-2")};
        message = expectLinkError(fake, "Windows 10", "x86", null, Arrays.asList(blocked));
        assertTrue(message.contains("windows-x86 copy") && message.contains(blocked[0].getPath())
                && message.contains(blocked[1].getPath()), message);
    }

    // The property's folder with the DLL (loaded from there) and without it (reported); never the jar's copy.
    @ParameterizedTest(name = "TonePort.dll there: {0}")
    @DisplayName("property folder wins; a missing DLL there is reported")
    @ValueSource(booleans = {true, false})
    void propertyFolder(boolean withDll) throws Exception {
        File folder = newFolder("property");
        File dll = new File(folder, "TonePort.dll");
        if (withDll) {
            Files.write(dll.toPath(), randomBytes(100));
        }
        File cache = new File(scratch, "property-cache");
        String message = expectLinkError(fake, "Windows 10", "amd64", folder.getPath(),
                Collections.singletonList(cache));
        assertTrue(withDll ? message.startsWith("TonePort: cannot load " + dll.getAbsolutePath() + ": ")
                : message.equals("TonePort: quorlink.library.path names the folder " + folder.getPath()
                        + ", which has no TonePort.dll"), message);
        assertFalse(cache.exists(), "the jar's copy was extracted");
    }

    // The property's folder is the only one tried, whatever %LOCALAPPDATA% and the temporary folder are.
    @Test
    @DisplayName("cache folder property: used alone, wherever the others are; an unwritable one is reported")
    void cacheFolderProperty() throws Exception {
        File chosen = newFolder("chosen");
        String[][] rows = {
            {"Windows 10", chosen.getPath(), "C:\\Users\\u\\AppData\\Local", "C:\\Temp"},
            {"Windows 10", chosen.getPath(), null, null},
            {"Linux", chosen.getPath(), "", "/tmp"},
        };
        for (String[] row : rows) {
            NativeLibraryLoader.CacheRoots roots = NativeLibraryLoader.cacheRoots(row[0], row[1], row[2], row[3]);
            assertTrue(roots.fromProperty, "from the property: " + Arrays.toString(row));
            assertEquals(Collections.singletonList(new File(chosen, "quorlink-keyboard")), roots.folders,
                    Arrays.toString(row));
        }
        NativeLibraryLoader.CacheRoots usual =
                NativeLibraryLoader.cacheRoots("Windows 10", "", "C:\\Local", "C:\\Temp");
        assertTrue(!usual.fromProperty && usual.folders.size() == 2, "an empty property is unset: " + usual.folders);

        String message = expectLinkError(fake, "Windows 10", "amd64", null,
                NativeLibraryLoader.cacheRoots("Windows 10", chosen.getPath(), null, null));
        checkRefused(message, "windows-x86_64", expectedPath(new File(chosen, "quorlink-keyboard"), "1.2.3",
                fakeX64()));

        File blocked = unwritableRoot("chosen-blocked").getParentFile();
        message = expectLinkError(fake, "Windows 10", "amd64", null,
                NativeLibraryLoader.cacheRoots("Windows 10", blocked.getPath(), null, null));
        assertTrue(message.startsWith("TonePort: quorlink.cache.dir names the folder " + blocked.getPath()
                + ", where the jar's windows-x86_64 copy cannot be written:"), message);
    }

    // One cache folder as years of upgrades leave it; extracting the current TonePort.dll clears only
    // the older TonePort folders that nothing holds. A held DLL is simulated by a non-empty folder
    // in its place: no one, root included, can delete it with File.delete, as Windows refuses a loaded DLL.
    @Test
    @DisplayName("stale versions of the same DLL removed; the current one, held ones, other DLLs and other files kept")
    void staleVersionsRemoved() throws Exception {
        File root = newFolder("stale/quorlink-keyboard");
        String hex = "0123456789abcdef0123456789abcdef";
        String[][] layout = {  // folder, its entries, kept?
            {"1.0.0-" + hex, "TonePort.dll", "removed"},
            {"0.9.1-" + hex.replace('0', '9'), "TonePort.dll TonePort.dll.1a2b-0.tmp", "removed"},
            {"0.9.0-" + hex.replace('1', '8'), "TonePort.dll/held ChordGate.dll", "kept"},
            {"1.0.0-" + hex.replace('2', '7'), "ChordGate.dll", "kept"},
            {"notes", "TonePort.dll", "kept"},
            {"1.0.0-" + hex.toUpperCase(java.util.Locale.ENGLISH), "TonePort.dll", "kept"},
            {"1.0.0-" + hex.substring(1), "TonePort.dll", "kept"},
        };
        for (String[] row : layout) {
            for (String entry : row[1].split(" ")) {
                File file = new File(root, row[0] + "/" + entry);
                assertTrue(file.getParentFile().isDirectory() || file.getParentFile().mkdirs(),
                        "made " + file.getParent());
                Files.write(file.toPath(), new byte[] {7});
            }
        }
        File beside = new File(root.getParentFile(), "user-file.txt");
        Files.write(beside.toPath(), new byte[] {1});

        File current = expectedPath(root, "1.2.3", fakeX64());
        checkRefused(expectLinkError(fake, "amd64", root), "windows-x86_64", current);
        assertArrayEquals(fakeX64(), Files.readAllBytes(current.toPath()), "the current version is in place");
        for (String[] row : layout) {
            assertEquals(row[2].equals("kept"), new File(root, row[0]).exists(), row[0] + " kept");
        }
        assertTrue(new File(root, layout[2][0] + "/ChordGate.dll").isFile(), "a held folder's other files stay");
        assertTrue(beside.isFile(), "a file outside the cache folder was touched");
    }

    // On this Linux JDK: the check says no without loading anything; a load fails with the loader's
    // message, and every later load, the class's own among them, repeats it.
    @Test
    @DisplayName("this JVM is not served: isSupported false, the reason names its OS and architecture; a failed load"
            + " gives the same error on every later use")
    void unsupportedHereAndRemembered() throws Exception {
        assertFalse(NativeLibraryLoader.isSupported(), "isSupported() on " + System.getProperty("os.name"));
        String reason = NativeLibraryLoader.unsupportedReason();
        assertTrue(reason.contains("os.name \"" + System.getProperty("os.name") + "\"")
                && reason.contains("os.arch \"" + System.getProperty("os.arch") + "\""), reason);
        UnsatisfiedLinkError first = assertThrows(UnsatisfiedLinkError.class,
                () -> NativeLibraryLoader.load("TonePort"));
        assertTrue(first.getMessage().startsWith("TonePort: no native library for os.name"), first.getMessage());
        for (int use = 1; use < 3; use++) {
            UnsatisfiedLinkError later = assertThrows(UnsatisfiedLinkError.class,
                    () -> NativeLibraryLoader.load("TonePort"));
            assertEquals(first.getMessage(), later.getMessage(), "use " + use);
            assertSame(first, later.getCause(), "use " + use);
        }
        // The class's static initialiser meets the remembered error; the JVM then marks the class unusable.
        UnsatisfiedLinkError initialiser = assertThrows(UnsatisfiedLinkError.class,
                () -> Class.forName("com.morvane.quorlink.services.sound.TonePort"));
        assertEquals(first.getMessage(), initialiser.getMessage(), "class's first use");
    }
}
