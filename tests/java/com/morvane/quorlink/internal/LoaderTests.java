package com.morvane.quorlink.internal;

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
import java.util.jar.JarFile;
import java.util.jar.Manifest;

/**
 * The loader on the build machine's JDK: java LoaderTests <dist folder> <project version>.
 * Ends with "java tests: N passed, N failed" and exits with 1 when a case failed.
 */
public final class LoaderTests {
    /** One test case. */
    public interface Case {
        /**
         * Runs it; a throw fails it.
         *
         * @throws Exception when it fails
         */
        void run() throws Exception;
    }

    /** What runs the cases of the other test classes. */
    public interface Runner {
        /**
         * Runs a case and counts it.
         *
         * @param name what it shows
         * @param test the case
         */
        void run(String name, Case test);
    }

    private static int passed;
    private static int failed;
    private static File scratch;
    private static final Random RANDOM = new Random(0x12345678);

    public static void main(String[] args) throws Exception {
        if (args.length == 4 && args[0].equals("extract-child")) {
            extractChild(new File(args[1]), new File(args[2]), args[3]);
            return;
        }
        File dist = new File(args[0]);
        String version = args[1];
        scratch = Files.createTempDirectory("loader-tests").toFile();
        File resources = fakeJar("1.2.3");
        ClassLoader fake = new URLClassLoader(new URL[] {resources.toURI().toURL()}, null);

        run("sha256 equals the JDK's", LoaderTests::sha256MatchesJdk);
        run("architecture table; unsupported ones name what they saw, what the jar carries, what was tried",
                () -> architectureTable(fake));
        run("content-addressed path; the right file reused without rewriting", LoaderTests::contentAddressedAndReused);
        run("corrupt file replaced", LoaderTests::corruptFileReplaced);
        run("8 threads extract at once", LoaderTests::eightThreads);
        run("2 JVMs extract at once", LoaderTests::twoJvms);
        run("unwritable cache folders: the next one, System.load of the extracted path, every one named",
                () -> unwritableFolders(fake, resources));
        run("property folder wins; a missing DLL there is reported", () -> propertyFolder(fake));
        run("cache folder property: used alone, wherever the others are; an unwritable one is reported",
                () -> cacheFolderProperty(fake, resources));
        run("stale versions of the same DLL removed; the current one, held ones, other DLLs and other files kept",
                () -> staleVersionsRemoved(fake, resources));
        run("this JVM is not served: isSupported false, the reason names its OS and architecture; a failed load"
                + " gives the same error on every later use", LoaderTests::unsupportedHereAndRemembered);
        run("diagnostics: off by default, on by the property, the configuration or at run time; each record's text",
                () -> DiagnosticsTests.switches(scratch));
        run("diagnostics: the loader's FINE trace says where each DLL came from",
                () -> DiagnosticsTests.loaderTrace(scratch));
        com.morvane.quorlink.keyboard.KeyboardTests.run(LoaderTests::run);
        run("jar carries dist's DLLs, versioned manifest, POM, demo class path", () -> shippedJar(dist, version));
        run("licence in every jar; POM has url, licenses, scm, developers, a release matching the classes",
                () -> licenceAndPom(dist));
        run("Maven reads the POM strictly, offline (mvn -o validate)", () -> mavenValidates(dist));
        run("the README's quick start compiles against the jar, for Java 8", () -> quickStartCompiles(dist));

        try (java.util.stream.Stream<java.nio.file.Path> paths = Files.walk(scratch.toPath())) {
            paths.sorted(Collections.reverseOrder()).forEach(path -> path.toFile().delete());
        }
        System.out.println("java tests: " + passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }

    private static void run(String name, Case test) {
        try {
            test.run();
            passed++;
            System.out.println("PASS " + name);
        } catch (Throwable e) {
            failed++;
            System.out.println("FAIL " + name + ": " + e);
        }
    }

    /**
     * Fails the case unless the condition holds.
     *
     * @param condition what must hold
     * @param what what failed, when it did
     */
    public static void check(boolean condition, String what) {
        if (!condition) {
            throw new AssertionError(what);
        }
    }

    private static String jdkSha256(byte[] data) throws Exception {
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

    private static File newFolder(String name) {
        File folder = new File(scratch, name);
        check(folder.mkdirs(), "made " + folder);
        return folder;
    }

    // A class path folder laid out as the jar: both platforms' TonePort.dll and the version.
    private static File fakeJar(String version) throws IOException {
        File root = newFolder("fake-jar");
        for (String platform : NativeLibraryLoader.PLATFORMS) {
            File dll = new File(root, NativeLibraryLoader.RESOURCE_ROOT + platform + "/TonePort.dll");
            check(dll.getParentFile().mkdirs(), "made " + dll.getParent());
            Files.write(dll.toPath(), randomBytes(70000));
        }
        Files.write(new File(root, NativeLibraryLoader.VERSION_RESOURCE).toPath(), (version + "\n").getBytes("UTF-8"));
        return root;
    }

    private static String expectLinkError(ClassLoader resources, String osName, String osArch, String property,
                                          List<File> roots) {
        return expectLinkError(resources, osName, osArch, property, new NativeLibraryLoader.CacheRoots(roots, false));
    }

    private static String expectLinkError(ClassLoader resources, String osName, String osArch, String property,
                                          NativeLibraryLoader.CacheRoots roots) {
        try {
            NativeLibraryLoader.load("TonePort", osName, osArch, property, roots, resources);
        } catch (UnsatisfiedLinkError e) {
            return e.getMessage();
        }
        throw new AssertionError("no UnsatisfiedLinkError for " + osName + "/" + osArch);
    }

    // What the loader says when it wrote the file and System.load refused it (here: not a Linux library).
    private static void checkRefused(String message, String platform, File extracted) {
        String start = "TonePort: the jar's " + platform + " copy was written to " + extracted.getAbsolutePath()
                + " and then refused by System.load: ";
        check(message.startsWith(start), "message does not start with [" + start + "]: " + message);
        check(message.endsWith("; an allow-list or an antivirus may block DLLs in that folder: set -Dquorlink.cache.dir"
                + " to a folder from which DLLs may be loaded, or -Dquorlink.library.path to a folder that holds"
                + " TonePort.dll"), "no advice: " + message);
    }

    private static void sha256MatchesJdk() throws Exception {
        // Each padding boundary: one block or two for the length, exact block multiples.
        for (int length : new int[] {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 1048579}) {
            byte[] data = randomBytes(length);
            check(Sha256.hex(data).equals(jdkSha256(data)), "hash of " + length + " bytes");
        }
    }

    // Each supported row maps to the jar's folder; each unsupported one ends in an error that names
    // what it saw, what the jar carries and every place tried, and extracts nothing.
    private static void architectureTable(ClassLoader fake) {
        String[][] table = {
            {"Windows 10", "x86", "windows-x86"}, {"Windows XP", "i386", "windows-x86"},
            {"Windows 7", "i486", "windows-x86"}, {"Windows 7", "i586", "windows-x86"},
            {"Windows 10", "i686", "windows-x86"}, {"Windows 11", "amd64", "windows-x86_64"},
            {"Windows Server 2022", "x86_64", "windows-x86_64"}, {"Windows 10", "AMD64", "windows-x86_64"},
            {"Windows 11", "aarch64", null}, {"Windows 10", "arm", null}, {"Windows 10", "i786", null},
            {"Windows 10", "ia64", null}, {"Linux", "amd64", null}, {"Linux", "i386", null},
            {"Linux", "aarch64", null}, {"Linux", "arm", null}, {"Mac OS X", "x86_64", null},
            {"Mac OS X", "aarch64", null},
        };
        File root = new File(scratch, "unsupported-cache");
        for (String[] row : table) {
            String platform = NativeLibraryLoader.platform(row[0], row[1]);
            check(row[2] == null ? platform == null : row[2].equals(platform),
                    row[0] + "/" + row[1] + " -> " + platform + ", expected " + row[2]);
            String reason = NativeLibraryLoader.unsupportedReason(row[0], row[1]);
            if (row[2] != null) {
                check(reason == null, row[0] + "/" + row[1] + " is served, yet: " + reason);
                continue;
            }
            check(reason != null && reason.contains("os.name \"" + row[0] + "\"")
                    && reason.contains("os.arch \"" + row[1] + "\""), "reason: " + reason);
            String message = expectLinkError(fake, row[0], row[1], null, Collections.singletonList(root));
            for (String part : new String[] {"os.name \"" + row[0] + "\"", "os.arch \"" + row[1] + "\"",
                    "the jar carries windows-x86, windows-x86_64", "quorlink.library.path: not set",
                    "the jar: no copy for this platform", "System.loadLibrary(\"TonePort\") on java.library.path"}) {
                check(message.contains(part), "message lacks [" + part + "]: " + message);
            }
        }
        check(!root.exists(), "extracted for an unsupported platform");
    }

    private static File expectedPath(File root, String version, byte[] content) throws Exception {
        return new File(root, version + "-" + jdkSha256(content).substring(0, 32) + "/TonePort.dll");
    }

    private static void contentAddressedAndReused() throws Exception {
        File root = new File(scratch, "addressed");
        byte[] content = randomBytes(5000);
        File file = NativeLibraryLoader.extract("TonePort.dll", content, "4.5.6", root);
        check(file.equals(expectedPath(root, "4.5.6", content)), "path " + file);
        check(Arrays.equals(Files.readAllBytes(file.toPath()), content), "content");
        check(file.setLastModified(1000000000000L), "set mtime");
        Object inode = Files.getAttribute(file.toPath(), "unix:ino");
        check(NativeLibraryLoader.extract("TonePort.dll", content, "4.5.6", root).equals(file), "same path");
        check(file.lastModified() == 1000000000000L, "mtime changed: rewritten");
        check(Files.getAttribute(file.toPath(), "unix:ino").equals(inode), "inode changed: replaced");
        File other = NativeLibraryLoader.extract("TonePort.dll", randomBytes(5000), "4.5.6", root);
        check(!other.getParentFile().equals(file.getParentFile()), "another content, another folder");
    }

    private static void corruptFileReplaced() throws Exception {
        byte[] content = randomBytes(5000);
        byte[] tampered = content.clone();
        tampered[4000] ^= 1;
        byte[][] corruptions = {Arrays.copyOf(content, 2048), tampered, new byte[0]};
        for (int i = 0; i < corruptions.length; i++) {
            File root = new File(scratch, "corrupt-" + i);
            File target = expectedPath(root, "1.0.0", content);
            check(target.getParentFile().mkdirs(), "made " + target.getParent());
            Files.write(target.toPath(), corruptions[i]);
            File file = NativeLibraryLoader.extract("TonePort.dll", content, "1.0.0", root);
            check(file.equals(target) && Arrays.equals(Files.readAllBytes(file.toPath()), content),
                    "corruption " + i + " not replaced");
            check(target.getParentFile().list().length == 1, "leftovers: " + Arrays.toString(target.getParentFile().list()));
        }
    }

    // Returns only once every thread has verified the file it was handed.
    private static void eightThreads() throws Exception {
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
        check(problems.isEmpty(), problems.toString());
        onlyIntactFile(expectedPath(root, "1.0.0", content), content);
    }

    private static void onlyIntactFile(File file, byte[] content) throws IOException {
        String[] left = file.getParentFile().list();
        check(left.length == 1 && left[0].equals(file.getName()), "folder holds " + Arrays.toString(left));
        check(Arrays.equals(Files.readAllBytes(file.toPath()), content), "final file not intact");
    }

    private static void twoJvms() throws Exception {
        File root = new File(scratch, "jvms");
        byte[] content = randomBytes(8 << 20);
        File source = new File(scratch, "jvm-content.bin");
        Files.write(source.toPath(), content);
        String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
        List<Process> children = new ArrayList<Process>();
        List<BufferedReader> outputs = new ArrayList<BufferedReader>();
        for (int i = 0; i < 2; i++) {
            Process child = new ProcessBuilder(java, "-cp", System.getProperty("java.class.path"),
                    LoaderTests.class.getName(), "extract-child", root.getPath(), source.getPath(), "1.0.0")
                    .redirectErrorStream(true).start();
            children.add(child);
            outputs.add(new BufferedReader(new InputStreamReader(child.getInputStream(), "UTF-8")));
        }
        // Both wait on their standard input until both are up, then start together.
        for (BufferedReader output : outputs) {
            String line = output.readLine();
            check("ready".equals(line), "child said " + line);
        }
        for (Process child : children) {
            OutputStream in = child.getOutputStream();
            in.write("go\n".getBytes("UTF-8"));
            in.flush();
        }
        File expected = expectedPath(root, "1.0.0", content);
        for (int i = 0; i < 2; i++) {
            String line = outputs.get(i).readLine();
            check(children.get(i).waitFor() == 0, "child " + i + " failed: " + line);
            check(("intact " + expected.getPath()).equals(line), "child " + i + " said " + line);
        }
        onlyIntactFile(expected, content);
    }

    private static void extractChild(File root, File source, String version) throws Exception {
        byte[] content = Files.readAllBytes(source.toPath());
        System.out.println("ready");
        new BufferedReader(new InputStreamReader(System.in, "UTF-8")).readLine();
        File file = NativeLibraryLoader.extract("TonePort.dll", content, version, root);
        boolean intact = Arrays.equals(Files.readAllBytes(file.toPath()), content);
        System.out.println((intact ? "intact " : "partial ") + file.getPath());
        System.exit(intact ? 0 : 1);
    }

    // A plain file where the cache folder's parent should be: no folder can be made there, even by root.
    private static File unwritableRoot(String name) throws IOException {
        File blocker = new File(scratch, name);
        Files.write(blocker.toPath(), new byte[] {1});
        return new File(blocker, "quorlink-keyboard");
    }

    private static void unwritableFolders(ClassLoader fake, File resources) throws Exception {
        byte[] x64 = Files.readAllBytes(new File(resources, "natives/windows-x86_64/TonePort.dll").toPath());
        File second = new File(scratch, "second");
        String message = expectLinkError(fake, "Windows 10", "amd64", null,
                Arrays.asList(unwritableRoot("first-blocked"), second));
        File extracted = expectedPath(second, "1.2.3", x64);
        checkRefused(message, "windows-x86_64", extracted);
        check(Arrays.equals(Files.readAllBytes(extracted.toPath()), x64), "extracted the x64 copy");

        File[] blocked = {unwritableRoot("blocked-1"), unwritableRoot("blocked-2")};
        message = expectLinkError(fake, "Windows 10", "x86", null, Arrays.asList(blocked));
        check(message.contains("windows-x86 copy") && message.contains(blocked[0].getPath())
                && message.contains(blocked[1].getPath()), message);
    }

    // The property's folder with the DLL (loaded from there) and without it (reported); never the jar's copy.
    private static void propertyFolder(ClassLoader fake) throws Exception {
        for (boolean withDll : new boolean[] {true, false}) {
            File folder = newFolder("property-" + withDll);
            File dll = new File(folder, "TonePort.dll");
            if (withDll) {
                Files.write(dll.toPath(), randomBytes(100));
            }
            File cache = new File(scratch, "property-cache");
            String message = expectLinkError(fake, "Windows 10", "amd64", folder.getPath(),
                    Collections.singletonList(cache));
            check(withDll ? message.startsWith("TonePort: cannot load " + dll.getAbsolutePath() + ": ")
                          : message.equals("TonePort: quorlink.library.path names the folder " + folder.getPath()
                                  + ", which has no TonePort.dll"), message);
            check(!cache.exists(), "the jar's copy was extracted");
        }
    }

    // The property's folder is the only one tried, whatever %LOCALAPPDATA% and the temporary folder are.
    private static void cacheFolderProperty(ClassLoader fake, File resources) throws Exception {
        File chosen = newFolder("chosen");
        String[][] rows = {
            {"Windows 10", chosen.getPath(), "C:\\Users\\u\\AppData\\Local", "C:\\Temp"},
            {"Windows 10", chosen.getPath(), null, null},
            {"Linux", chosen.getPath(), "", "/tmp"},
        };
        for (String[] row : rows) {
            NativeLibraryLoader.CacheRoots roots = NativeLibraryLoader.cacheRoots(row[0], row[1], row[2], row[3]);
            check(roots.fromProperty && roots.folders.equals(Collections.singletonList(new File(chosen,
                    "quorlink-keyboard"))), "roots " + roots.folders + " for " + Arrays.toString(row));
        }
        NativeLibraryLoader.CacheRoots usual =
                NativeLibraryLoader.cacheRoots("Windows 10", "", "C:\\Local", "C:\\Temp");
        check(!usual.fromProperty && usual.folders.size() == 2, "an empty property is unset: " + usual.folders);

        byte[] x64 = Files.readAllBytes(new File(resources, "natives/windows-x86_64/TonePort.dll").toPath());
        String message = expectLinkError(fake, "Windows 10", "amd64", null,
                NativeLibraryLoader.cacheRoots("Windows 10", chosen.getPath(), null, null));
        checkRefused(message, "windows-x86_64", expectedPath(new File(chosen, "quorlink-keyboard"), "1.2.3", x64));

        File blocked = unwritableRoot("chosen-blocked").getParentFile();
        message = expectLinkError(fake, "Windows 10", "amd64", null,
                NativeLibraryLoader.cacheRoots("Windows 10", blocked.getPath(), null, null));
        check(message.startsWith("TonePort: quorlink.cache.dir names the folder " + blocked.getPath()
                + ", where the jar's windows-x86_64 copy cannot be written:"), message);
    }

    // One cache folder as years of upgrades leave it; extracting the current TonePort.dll clears only
    // the older TonePort folders that nothing holds. A held DLL is simulated by a non-empty folder
    // in its place: no one, root included, can delete it with File.delete, as Windows refuses a loaded DLL.
    private static void staleVersionsRemoved(ClassLoader fake, File resources) throws Exception {
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
                check(file.getParentFile().isDirectory() || file.getParentFile().mkdirs(), "made " + file.getParent());
                Files.write(file.toPath(), new byte[] {7});
            }
        }
        File beside = new File(root.getParentFile(), "user-file.txt");
        Files.write(beside.toPath(), new byte[] {1});

        byte[] x64 = Files.readAllBytes(new File(resources, "natives/windows-x86_64/TonePort.dll").toPath());
        File current = expectedPath(root, "1.2.3", x64);
        checkRefused(expectLinkError(fake, "Windows 10", "amd64", null, Collections.singletonList(root)),
                "windows-x86_64", current);
        check(Arrays.equals(Files.readAllBytes(current.toPath()), x64), "the current version is in place");
        for (String[] row : layout) {
            boolean exists = new File(root, row[0]).exists();
            check(exists == row[2].equals("kept"), row[0] + (exists ? " still there" : " removed"));
        }
        check(new File(root, layout[2][0] + "/ChordGate.dll").isFile(), "a held folder's other files stay");
        check(beside.isFile(), "a file outside the cache folder was touched");
    }

    // On this Linux JDK: the check says no without loading anything; a load fails with the loader's
    // message, and every later load, the class's own among them, repeats it.
    private static void unsupportedHereAndRemembered() throws Exception {
        check(!NativeLibraryLoader.isSupported(), "isSupported() on " + System.getProperty("os.name"));
        String reason = NativeLibraryLoader.unsupportedReason();
        check(reason.contains("os.name \"" + System.getProperty("os.name") + "\"")
                && reason.contains("os.arch \"" + System.getProperty("os.arch") + "\""), reason);
        UnsatisfiedLinkError first = null;
        for (int use = 0; use < 3; use++) {
            try {
                NativeLibraryLoader.load("TonePort");
                throw new AssertionError("loaded TonePort on " + System.getProperty("os.name"));
            } catch (UnsatisfiedLinkError e) {
                check(e.getMessage().startsWith("TonePort: no native library for os.name"), e.getMessage());
                check(first == null || e.getMessage().equals(first.getMessage()) && e.getCause() == first,
                        "use " + use + " said: " + e.getMessage());
                first = first == null ? e : first;
            }
        }
        // The class's static initialiser meets the remembered error; the JVM then marks the class unusable.
        try {
            Class.forName("com.morvane.quorlink.services.sound.TonePort");
            throw new AssertionError("TonePort initialised");
        } catch (UnsatisfiedLinkError e) {
            check(e.getMessage().equals(first.getMessage()), "class's first use: " + e.getMessage());
        }
    }

    private static void shippedJar(File dist, String version) throws Exception {
        String[][] natives = {{"windows-x86", "x86"}, {"windows-x86_64", "x64"}};
        File jarFile = new File(dist, "quorlink-keyboard.jar");
        try (JarFile jar = new JarFile(jarFile)) {
            for (String[] platform : natives) {
                for (String dll : new String[] {"TonePort.dll", "ChordGate.dll"}) {
                    byte[] shipped = Files.readAllBytes(new File(dist, platform[1] + "/" + dll).toPath());
                    byte[] carried = readAll(jar, "natives/" + platform[0] + "/" + dll);
                    check(Arrays.equals(carried, shipped), platform[0] + "/" + dll + " differs from dist/" + platform[1]);
                }
            }
            check(new String(readAll(jar, "natives/version"), "UTF-8").trim().equals(version), "natives/version");
            Manifest manifest = jar.getManifest();
            check(version.equals(manifest.getMainAttributes().getValue("Implementation-Version")), "Implementation-Version");
            check(manifest.getMainAttributes().getValue("Implementation-Title") != null, "Implementation-Title");
            check("com.morvane.quorlink.keyboard".equals(manifest.getMainAttributes().getValue("Automatic-Module-Name")),
                    "Automatic-Module-Name");
        }
        String pom = new String(Files.readAllBytes(new File(dist, "quorlink-keyboard.pom").toPath()), "UTF-8");
        check(pom.contains("<version>" + version + "</version>"), "POM version");
        try (JarFile demo = new JarFile(new File(dist, "quorlink-keyboard-demo.jar"))) {
            check("quorlink-keyboard.jar".equals(demo.getManifest().getMainAttributes().getValue("Class-Path")),
                    "demo Class-Path");
        }
        // The real jar through the loader: the x86 copy lands in the versioned cache folder.
        File root = new File(scratch, "shipped-cache");
        byte[] x86 = Files.readAllBytes(new File(dist, "x86/TonePort.dll").toPath());
        try (URLClassLoader jarLoader = new URLClassLoader(new URL[] {jarFile.toURI().toURL()}, null)) {
            String message = expectLinkError(jarLoader, "Windows 10", "x86", null, Collections.singletonList(root));
            File extracted = expectedPath(root, version, x86);
            checkRefused(message, "windows-x86", extracted);
            check(Arrays.equals(Files.readAllBytes(extracted.toPath()), x86), "extracted x86 copy");
        }
    }

    private static void licenceAndPom(File dist) throws Exception {
        byte[] licence = Files.readAllBytes(new File("LICENSE").toPath());
        check(new String(licence, "UTF-8").contains("Apache License") && new String(licence, "UTF-8")
                .contains("Version 2.0, January 2004"), "LICENSE is not the Apache License 2.0");
        int major = 0;
        for (String name : new String[] {"quorlink-keyboard.jar", "quorlink-keyboard-sources.jar",
                "quorlink-keyboard-javadoc.jar", "quorlink-keyboard-demo.jar"}) {
            try (JarFile jar = new JarFile(new File(dist, name))) {
                check(Arrays.equals(readAll(jar, "META-INF/LICENSE"), licence), name + ": META-INF/LICENSE differs");
                if (name.equals("quorlink-keyboard.jar")) {
                    byte[] header = readAll(jar, "com/morvane/quorlink/services/sound/TonePort.class");
                    major = (header[6] & 0xff) << 8 | header[7] & 0xff;
                }
            }
        }
        org.w3c.dom.Document pom = javax.xml.parsers.DocumentBuilderFactory.newInstance().newDocumentBuilder()
                .parse(new File(dist, "quorlink-keyboard.pom"));
        org.w3c.dom.Element project = pom.getDocumentElement();
        for (String path : new String[] {"url", "licenses/license/name", "licenses/license/url",
                "scm/connection", "scm/url", "developers/developer/name", "properties/maven.compiler.release"}) {
            check(!text(project, path).isEmpty(), "POM lacks " + path);
        }
        check(text(project, "licenses/license/name").equals("Apache License, Version 2.0"), "licence name");
        String release = text(project, "properties/maven.compiler.release");
        check(Integer.parseInt(release) + 44 == major, "POM release " + release + ", classes major version " + major);
    }

    // The text of the first element at a slash-separated path below {@code parent}, or "" when there is none.
    private static String text(org.w3c.dom.Element parent, String path) {
        org.w3c.dom.Element element = parent;
        for (String name : path.split("/")) {
            org.w3c.dom.Element found = null;
            for (org.w3c.dom.Node n = element.getFirstChild(); n != null && found == null; n = n.getNextSibling()) {
                if (n instanceof org.w3c.dom.Element && n.getNodeName().equals(name)) {
                    found = (org.w3c.dom.Element) n;
                }
            }
            if (found == null) {
                return "";
            }
            element = found;
        }
        return element.getTextContent().trim();
    }

    private static void mavenValidates(File dist) throws Exception {
        Process mvn = new ProcessBuilder("mvn", "-o", "-q", "-B", "-f",
                new File(dist, "quorlink-keyboard.pom").getPath(), "validate").redirectErrorStream(true).start();
        String output = new String(NativeLibraryLoader.readAll(mvn.getInputStream()), "UTF-8");
        check(mvn.waitFor() == 0, "mvn -o validate failed:\n" + output);
    }

    private static void quickStartCompiles(File dist) throws Exception {
        String readme = new String(Files.readAllBytes(new File("README.md").toPath()), "UTF-8");
        int heading = readme.indexOf("\n### Quick start\n");
        int start = readme.indexOf("```java\n", heading);
        check(heading >= 0 && start >= 0, "README has no quick start block");
        String code = readme.substring(start + "```java\n".length(), readme.indexOf("```", start + 7));
        File source = new File(newFolder("quick-start"), "QuickStart.java");
        Files.write(source.toPath(), code.getBytes("UTF-8"));
        javax.tools.JavaCompiler javac = javax.tools.ToolProvider.getSystemJavaCompiler();
        java.io.ByteArrayOutputStream errors = new java.io.ByteArrayOutputStream();
        int status = javac.run(null, errors, errors, "--release", "8", "-Xlint:all", "-Werror", "-cp",
                new File(dist, "quorlink-keyboard.jar").getPath(), "-d", source.getParent(), source.getPath());
        check(status == 0, "javac: " + errors.toString("UTF-8"));
    }

    private static byte[] readAll(JarFile jar, String entry) throws IOException {
        check(jar.getEntry(entry) != null, "jar lacks " + entry);
        return NativeLibraryLoader.readAll(jar.getInputStream(jar.getEntry(entry)));
    }
}
