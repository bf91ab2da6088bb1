package com.morvane.quorlink.internal;

import java.io.ByteArrayOutputStream;
import java.io.Closeable;
import java.io.File;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * Loads the native library behind a class of this jar, once, from its static initialiser.
 *
 * <ol>
 * <li>When the system property {@value #PATH_PROPERTY} is set, the DLL from that folder and nothing else.</li>
 * <li>Otherwise the jar's copy for the JVM's architecture, extracted into a cache folder named by the
 *     version and the file's content hash, loaded by its full path. The cache is
 *     {@code quorlink-keyboard} in the folder that {@value #CACHE_PROPERTY} names, when it is set, and
 *     nothing else; otherwise in {@code %LOCALAPPDATA%}, then in {@code java.io.tmpdir}. Each extraction
 *     removes that cache's folders of other versions of the same DLL, except those a running JVM holds.</li>
 * <li>When the jar has no copy for this platform, {@link System#loadLibrary(String)}.</li>
 * </ol>
 *
 * <p>A failed load is remembered: every later {@link #load(String)} of the same library throws the same
 * message again. A class whose static initialiser threw it is unusable for the JVM's lifetime, and the JVM
 * then throws {@code NoClassDefFoundError} for it; {@link #isSupported()} tells beforehand, without native
 * code, whether this JVM can load the libraries at all.
 *
 * <p>Not part of the API, except {@link #isSupported()} and {@link #unsupportedReason()}: its name and
 * other methods may change in any release.
 */
public final class NativeLibraryLoader {
    /** The system property naming a folder that holds the DLLs to load instead of the jar's. */
    public static final String PATH_PROPERTY = "quorlink.library.path";
    /** The system property naming the folder to extract the jar's DLLs into, instead of the per-user cache. */
    public static final String CACHE_PROPERTY = "quorlink.cache.dir";

    static final String RESOURCE_ROOT = "natives/";
    static final String VERSION_RESOURCE = RESOURCE_ROOT + "version";
    static final String[] PLATFORMS = {"windows-x86", "windows-x86_64"};
    static final String CACHE_FOLDER = "quorlink-keyboard";
    // Short enough to keep the cache path far from the 260 characters Windows allows.
    static final int HASH_DIGITS_IN_PATH = 32;
    private static final int ATTEMPTS = 4;

    // Each library's outcome in this class loader: null loaded, else the error that every later load repeats.
    private static final Map<String, UnsatisfiedLinkError> outcomes = new HashMap<String, UnsatisfiedLinkError>();
    // Where each library that loaded came from, for the jar's support report; guarded by outcomes.
    private static final Map<String, Loaded> sources = new HashMap<String, Loaded>();

    /** Where a library was loaded from: the file, how it got there, and whether its content was checked. */
    public static final class Loaded {
        private final File file;
        private final String how;
        private final boolean verified;

        Loaded(File file, String how, boolean verified) {
            this.file = file;
            this.how = how;
            this.verified = verified;
        }

        /**
         * The DLL file loaded by its full path.
         *
         * @return the file, or null when {@code System.loadLibrary} found it on {@code java.library.path}
         */
        public File file() {
            return file;
        }

        /**
         * How the file was chosen, in the words of the loader's trace: "the jar's windows-x86_64 copy
         * extracted into the cache", "from the folder that quorlink.library.path names", ...
         *
         * @return the text
         */
        public String how() {
            return how;
        }

        /**
         * Whether the loaded file's SHA-256 was checked against the jar's copy before it was loaded; true
         * for every copy the jar carries, false for a DLL of the user's folder or of {@code java.library.path}.
         *
         * @return whether it was verified
         */
        public boolean verified() {
            return verified;
        }
    }

    private NativeLibraryLoader() {
    }

    /**
     * Whether this JVM's OS and architecture are ones the libraries are made for: Windows, 32-bit or 64-bit x86.
     * Loads nothing and needs no native code.
     *
     * @return true on a platform the jar serves
     */
    public static boolean isSupported() {
        return unsupportedReason() == null;
    }

    /**
     * Why this JVM cannot use the libraries, naming its {@code os.name} and {@code os.arch}; loads nothing.
     *
     * @return the reason, or null when {@link #isSupported()} is true
     */
    public static String unsupportedReason() {
        return unsupportedReason(System.getProperty("os.name"), System.getProperty("os.arch"));
    }

    static String unsupportedReason(String osName, String osArch) {
        if (platform(osName, osArch) != null) {
            return null;
        }
        return "this JVM runs on os.name \"" + osName + "\", os.arch \"" + osArch + "\"; the keyboard's libraries"
                + " are Windows DLLs for 32-bit (x86) and 64-bit (amd64, x86_64) JVMs only";
    }

    /**
     * Where {@code name}.dll was loaded from in this class loader.
     *
     * @param name the library's name without ".dll"
     * @return where it came from, or null when it has not been loaded (or its load failed)
     */
    public static Loaded whereLoaded(String name) {
        synchronized (outcomes) {
            return sources.get(name);
        }
    }

    /**
     * Loads {@code name}.dll for the running JVM, once; throws {@link UnsatisfiedLinkError} naming every place
     * tried, and the same message again on every later call after a failure.
     *
     * @param name the library's name without ".dll"
     */
    public static void load(String name) {
        synchronized (outcomes) {
            if (outcomes.containsKey(name)) {
                UnsatisfiedLinkError first = outcomes.get(name);
                if (first == null) {
                    return;
                }
                UnsatisfiedLinkError again = new UnsatisfiedLinkError(first.getMessage());
                again.initCause(first);
                throw again;
            }
            String osName = System.getProperty("os.name");
            ClassLoader resources = NativeLibraryLoader.class.getClassLoader();
            if (resources == null) {
                resources = ClassLoader.getSystemClassLoader();
            }
            try {
                load(name, osName, System.getProperty("os.arch"), System.getProperty(PATH_PROPERTY),
                        cacheRoots(osName, System.getProperty(CACHE_PROPERTY), System.getenv("LOCALAPPDATA"),
                                System.getProperty("java.io.tmpdir")), resources);
                outcomes.put(name, null);
            } catch (UnsatisfiedLinkError e) {
                outcomes.put(name, e);
                throw e;
            }
        }
    }

    static void load(String name, String osName, String osArch, String pathProperty, CacheRoots cacheRoots,
                     ClassLoader resources) {
        String fileName = name + ".dll";
        if (pathProperty != null && !pathProperty.isEmpty()) {
            File file = new File(pathProperty, fileName);
            if (!file.isFile()) {
                throw new UnsatisfiedLinkError(name + ": " + PATH_PROPERTY + " names the folder " + pathProperty
                        + ", which has no " + fileName);
            }
            try {
                System.load(file.getAbsolutePath());
            } catch (UnsatisfiedLinkError e) {
                UnsatisfiedLinkError error = new UnsatisfiedLinkError(name + ": cannot load " + file.getAbsolutePath()
                        + ": " + e.getMessage());
                error.initCause(e);
                throw error;
            }
            loaded(name, new Loaded(file.getAbsoluteFile(), "from the folder that " + PATH_PROPERTY + " names", false));
            return;
        }

        String platform = platform(osName, osArch);
        byte[] content = null;
        if (platform != null) {
            try {
                content = readResource(resources, RESOURCE_ROOT + platform + "/" + fileName);
            } catch (IOException e) {
                throw new UnsatisfiedLinkError(name + ": cannot read the jar's " + platform + " copy: " + e.getMessage());
            }
        }
        if (content != null) {
            String version = version(resources);
            StringBuilder tried = new StringBuilder();
            for (File root : cacheRoots.folders) {
                try {
                    loadExtracted(name, platform, fileName, content, version, root);
                    return;
                } catch (IOException e) {
                    tried.append("\n  ").append(root).append(": ").append(e.getMessage());
                }
            }
            if (cacheRoots.fromProperty) {
                throw new UnsatisfiedLinkError(name + ": " + CACHE_PROPERTY + " names the folder "
                        + cacheRoots.folders.get(0).getParent() + ", where the jar's " + platform
                        + " copy cannot be written:" + tried);
            }
            throw new UnsatisfiedLinkError(name + ": cannot extract the jar's " + platform + " copy into a cache folder;"
                    + " tried:" + (tried.length() == 0 ? " none" : tried.toString()));
        }

        try {
            System.loadLibrary(name);
            loaded(name, new Loaded(null, "System.loadLibrary(\"" + name + "\") on java.library.path "
                    + System.getProperty("java.library.path"), false));
        } catch (UnsatisfiedLinkError e) {
            UnsatisfiedLinkError error = new UnsatisfiedLinkError(name + ": no native library for os.name \"" + osName
                    + "\", os.arch \"" + osArch + "\"; the jar carries " + carried(resources, fileName)
                    + "; tried:\n  " + PATH_PROPERTY + ": not set"
                    + "\n  the jar: " + (platform == null ? "no copy for this platform" : "no " + platform + " copy")
                    + "\n  System.loadLibrary(\"" + name + "\") on java.library.path "
                    + System.getProperty("java.library.path") + ": " + e.getMessage());
            error.initCause(e);
            throw error;
        }
    }

    /** The jar's folder for this OS and architecture, or null when it carries none. */
    static String platform(String osName, String osArch) {
        if (osName == null || osArch == null || !osName.startsWith("Windows")) {
            return null;
        }
        String arch = osArch.toLowerCase(Locale.ENGLISH);
        if (arch.equals("x86") || arch.length() == 4 && arch.charAt(0) == 'i' && arch.endsWith("86")
                && arch.charAt(1) >= '3' && arch.charAt(1) <= '6') {
            return PLATFORMS[0];
        }
        if (arch.equals("amd64") || arch.equals("x86_64")) {
            return PLATFORMS[1];
        }
        return null;
    }

    /** The cache folders extraction tries, in order, and whether the user chose the one folder. */
    static final class CacheRoots {
        final List<File> folders;
        final boolean fromProperty;

        CacheRoots(List<File> folders, boolean fromProperty) {
            this.folders = folders;
            this.fromProperty = fromProperty;
        }
    }

    /**
     * Where extraction is tried: the property's folder alone when it is set; else %LOCALAPPDATA% on Windows,
     * then the JVM's temporary folder. Always a {@value #CACHE_FOLDER} folder inside, so that removing stale
     * versions never reaches anything of the user's.
     */
    static CacheRoots cacheRoots(String osName, String cacheProperty, String localAppData, String tmpDir) {
        List<File> roots = new ArrayList<File>();
        if (cacheProperty != null && !cacheProperty.isEmpty()) {
            roots.add(new File(cacheProperty, CACHE_FOLDER));
            return new CacheRoots(roots, true);
        }
        if (osName != null && osName.startsWith("Windows") && localAppData != null && !localAppData.isEmpty()) {
            roots.add(new File(localAppData, CACHE_FOLDER));
        }
        if (tmpDir != null && !tmpDir.isEmpty()) {
            roots.add(new File(tmpDir, CACHE_FOLDER));
        }
        return new CacheRoots(roots, false);
    }

    /**
     * Extracts into {@code root}, removes the stale versions beside it and loads the file. A file that another
     * JVM's clean-up removed between the two steps is extracted once more; one that is there and refused is
     * reported as such, since that is what allow-lists and virus scanners do.
     */
    private static void loadExtracted(String name, String platform, String fileName, byte[] content, String version,
                                      File root) throws IOException {
        for (int attempt = 0; ; attempt++) {
            boolean[] written = {false};
            File extracted = extract(fileName, content, version, root, written);
            removeStaleVersions(root, extracted.getParentFile(), fileName);
            try {
                System.load(extracted.getAbsolutePath());
                loaded(name, new Loaded(extracted.getAbsoluteFile(), "the jar's " + platform + " copy "
                        + (written[0] ? "extracted into" : "reused from") + " the cache", true));
                return;
            } catch (UnsatisfiedLinkError e) {
                if (extracted.isFile() || attempt > 0) {
                    UnsatisfiedLinkError refused = new UnsatisfiedLinkError(name + ": the jar's " + platform
                            + " copy was written to " + extracted.getAbsolutePath() + " and then refused by System.load: "
                            + e.getMessage() + "; an allow-list or an antivirus may block DLLs in that folder: set -D"
                            + CACHE_PROPERTY + " to a folder from which DLLs may be loaded, or -D" + PATH_PROPERTY
                            + " to a folder that holds " + fileName);
                    refused.initCause(e);
                    throw refused;
                }
            }
        }
    }

    /**
     * Deletes the folders of {@code root} that hold another version of {@code fileName}. The DLL goes first:
     * when it cannot (Windows refuses while a JVM has it loaded), its folder is left alone. Only folders
     * named as this loader names them are touched.
     */
    static void removeStaleVersions(File root, File current, String fileName) {
        File[] folders = root.listFiles();
        if (folders == null) {
            return;
        }
        for (File folder : folders) {
            // By name, both being in root: Avian's File has no equals, and would take the current folder for stale.
            if (folder.getName().equals(current.getName()) || !isVersionFolder(folder)
                    || !new File(folder, fileName).delete()) {
                continue;
            }
            File[] rest = folder.listFiles();
            for (int i = 0; rest != null && i < rest.length; i++) {
                rest[i].delete();
            }
            folder.delete();
        }
    }

    private static boolean isVersionFolder(File folder) {
        String folderName = folder.getName();
        int dash = folderName.lastIndexOf('-');
        if (!folder.isDirectory() || dash < 1 || folderName.length() - dash - 1 != HASH_DIGITS_IN_PATH) {
            return false;
        }
        for (int i = dash + 1; i < folderName.length(); i++) {
            if (Character.digit(folderName.charAt(i), 16) < 0 || Character.isUpperCase(folderName.charAt(i))) {
                return false;
            }
        }
        return true;
    }

    /**
     * Puts {@code content} at root/version-hash/fileName and returns that file once it holds exactly
     * {@code content}. A file that already does is left untouched (Windows locks a loaded DLL); any other
     * is replaced. Each writer fills a temporary file of its own and moves it into place, so other
     * threads and processes see either no file or a whole one.
     */
    static File extract(String fileName, byte[] content, String version, File root) throws IOException {
        return extract(fileName, content, version, root, new boolean[1]);
    }

    // written[0] tells whether this call put the file there, for the loader's trace.
    private static File extract(String fileName, byte[] content, String version, File root, boolean[] written)
            throws IOException {
        String hash = Sha256.hex(content);
        File folder = new File(root, version + "-" + hash.substring(0, HASH_DIGITS_IN_PATH));
        File target = new File(folder, fileName);
        for (int attempt = 0; attempt < ATTEMPTS; attempt++) {
            if (holds(target, content.length, hash)) {
                return target;
            }
            if (!folder.isDirectory() && !folder.mkdirs() && !folder.isDirectory()) {
                throw new IOException("cannot create the folder " + folder);
            }
            File temp = writeTemporary(folder, fileName, content);
            try {
                // On Windows a move onto an existing file fails; the one there may have become right meanwhile.
                if (temp.renameTo(target)) {
                    written[0] = true;
                } else if (!holds(target, content.length, hash)) {
                    target.delete();
                    written[0] = temp.renameTo(target);
                }
            } finally {
                temp.delete();
            }
        }
        throw new IOException("cannot put the right content into " + target);
    }

    private static File writeTemporary(File folder, String fileName, byte[] content) throws IOException {
        String unique = Long.toHexString(System.nanoTime() ^ System.identityHashCode(Thread.currentThread()));
        File temp;
        int n = 0;
        do {
            temp = new File(folder, fileName + "." + unique + "-" + n++ + ".tmp");
        } while (!temp.createNewFile());
        boolean written = false;
        OutputStream out = new FileOutputStream(temp);
        try {
            out.write(content);
            out.close();
            written = true;
        } finally {
            if (!written) {
                closeQuietly(out);
                temp.delete();
            }
        }
        return temp;
    }

    private static boolean holds(File file, int length, String hash) {
        if (!file.isFile() || file.length() != length) {
            return false;
        }
        try {
            InputStream in = new FileInputStream(file);
            try {
                return Sha256.hex(readAll(in)).equals(hash);
            } finally {
                closeQuietly(in);
            }
        } catch (IOException e) {
            return false;
        }
    }

    // The trace a user turns on (FINE) when the wrong DLL seems to be picked up. Logging never
    // stands in the way of a load that worked.
    private static void loaded(String name, Loaded where) {
        synchronized (outcomes) {
            sources.put(name, where);
        }
        try {
            int library = Diagnostics.library(name);
            if (library >= 0) {
                Diagnostics.fine(library, "load", name + ": loaded "
                        + (where.file == null ? where.how : where.file + ", " + where.how));
            }
        } catch (LinkageError e) {
            // The class library lacks what logging needs; the load itself stands.
        } catch (RuntimeException e) {
            // Likewise.
        }
    }

    private static String version(ClassLoader resources) {
        String version = "";
        try {
            byte[] text = readResource(resources, VERSION_RESOURCE);
            version = text == null ? "" : new String(text, "UTF-8").trim();
        } catch (IOException e) {
            // The content hash alone still keeps different builds apart.
        }
        return version.isEmpty() ? "unversioned" : version;
    }

    private static String carried(ClassLoader resources, String fileName) {
        StringBuilder found = new StringBuilder();
        for (String platform : PLATFORMS) {
            if (resources.getResource(RESOURCE_ROOT + platform + "/" + fileName) != null) {
                found.append(found.length() == 0 ? "" : ", ").append(platform);
            }
        }
        return found.length() == 0 ? "no native library" : found.toString();
    }

    /** The resource's bytes, or null when there is none. */
    private static byte[] readResource(ClassLoader resources, String path) throws IOException {
        InputStream in = resources.getResourceAsStream(path);
        if (in == null) {
            return null;
        }
        try {
            return readAll(in);
        } finally {
            closeQuietly(in);
        }
    }

    static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buffer = new byte[65536];
        for (int n; (n = in.read(buffer)) > 0; ) {
            out.write(buffer, 0, n);
        }
        return out.toByteArray();
    }

    private static void closeQuietly(Closeable closeable) {
        try {
            closeable.close();
        } catch (IOException ignored) {
            // Nothing was written through it, or the content is checked by hash before use.
        }
    }
}
