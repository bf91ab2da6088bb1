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
import java.util.List;
import java.util.Locale;

/**
 * Loads the native library behind a class of this jar, once, from its static initialiser.
 *
 * <ol>
 * <li>When the system property {@value #PATH_PROPERTY} is set, the DLL from that folder and nothing else.</li>
 * <li>Otherwise the jar's copy for the JVM's architecture, extracted into a per-user cache folder
 *     named by the version and the file's content hash, loaded by its full path.</li>
 * <li>When the jar has no copy for this platform, {@link System#loadLibrary(String)}.</li>
 * </ol>
 *
 * Not part of the API: its name and methods may change in any release.
 */
public final class NativeLibraryLoader {
    /** The system property naming a folder that holds the DLLs to load instead of the jar's. */
    public static final String PATH_PROPERTY = "quorlink.library.path";

    static final String RESOURCE_ROOT = "natives/";
    static final String VERSION_RESOURCE = RESOURCE_ROOT + "version";
    static final String[] PLATFORMS = {"windows-x86", "windows-x86_64"};
    static final String CACHE_FOLDER = "quorlink-keyboard";
    // Short enough to keep the cache path far from the 260 characters Windows allows.
    static final int HASH_DIGITS_IN_PATH = 32;
    private static final int ATTEMPTS = 4;

    private NativeLibraryLoader() {
    }

    /** Loads {@code name}.dll for the running JVM; throws {@link UnsatisfiedLinkError} naming every place tried. */
    public static void load(String name) {
        String osName = System.getProperty("os.name");
        ClassLoader resources = NativeLibraryLoader.class.getClassLoader();
        if (resources == null) {
            resources = ClassLoader.getSystemClassLoader();
        }
        load(name, osName, System.getProperty("os.arch"), System.getProperty(PATH_PROPERTY),
                cacheRoots(osName, System.getenv("LOCALAPPDATA"), System.getProperty("java.io.tmpdir")), resources);
    }

    static void load(String name, String osName, String osArch, String pathProperty, List<File> cacheRoots,
                     ClassLoader resources) {
        String fileName = name + ".dll";
        if (pathProperty != null && !pathProperty.isEmpty()) {
            File file = new File(pathProperty, fileName);
            if (!file.isFile()) {
                throw new UnsatisfiedLinkError(name + ": " + PATH_PROPERTY + " names the folder " + pathProperty
                        + ", which has no " + fileName);
            }
            systemLoad(name, file.getAbsolutePath());
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
            for (File root : cacheRoots) {
                File extracted;
                try {
                    extracted = extract(fileName, content, version, root);
                } catch (IOException e) {
                    tried.append("\n  ").append(root).append(": ").append(e.getMessage());
                    continue;
                }
                systemLoad(name, extracted.getAbsolutePath());
                return;
            }
            throw new UnsatisfiedLinkError(name + ": cannot extract the jar's " + platform + " copy into a cache folder;"
                    + " tried:" + (tried.length() == 0 ? " none" : tried.toString()));
        }

        try {
            System.loadLibrary(name);
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

    /** Where extraction is tried, in order: %LOCALAPPDATA% on Windows, then the JVM's temporary folder. */
    static List<File> cacheRoots(String osName, String localAppData, String tmpDir) {
        List<File> roots = new ArrayList<File>();
        if (osName != null && osName.startsWith("Windows") && localAppData != null && !localAppData.isEmpty()) {
            roots.add(new File(localAppData, CACHE_FOLDER));
        }
        if (tmpDir != null && !tmpDir.isEmpty()) {
            roots.add(new File(tmpDir, CACHE_FOLDER));
        }
        return roots;
    }

    /**
     * Puts {@code content} at root/version-hash/fileName and returns that file once it holds exactly
     * {@code content}. A file that already does is left untouched (Windows locks a loaded DLL); any other
     * is replaced. Each writer fills a temporary file of its own and moves it into place, so other
     * threads and processes see either no file or a whole one.
     */
    static File extract(String fileName, byte[] content, String version, File root) throws IOException {
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
                if (!temp.renameTo(target) && !holds(target, content.length, hash)) {
                    target.delete();
                    temp.renameTo(target);
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

    private static void systemLoad(String name, String path) {
        try {
            System.load(path);
        } catch (UnsatisfiedLinkError e) {
            UnsatisfiedLinkError error = new UnsatisfiedLinkError(name + ": cannot load " + path + ": " + e.getMessage());
            error.initCause(e);
            throw error;
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
