package com.morvane.quorlink.internal;

import java.util.Locale;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Where the libraries' diagnostics go: {@code java.util.logging}, under {@value #LOGGER} and its
 * children {@code .TonePort} and {@code .ChordGate}, silent unless the user switches it on; and the Java
 * layer's own records, on {@value #LAYER_LOGGER}, under JUL's usual rules.
 *
 * <p>The DLLs' diagnostics each reach the caller as a return value or an exception too, so they are made
 * only when asked for. On: the level of their logger or of {@value #LOGGER}, from the user's logging
 * configuration or set at run time, or the system property {@value #PROPERTY} naming a level, which while
 * set decides (a change of it takes effect at the next diagnostic). Off: when neither is given, no level
 * being set there counts as OFF, so nothing reaches any handler even where the root logger prints INFO.
 * No level is forced on any logger, so the layer's warnings show under JUL's default configuration.
 *
 * <p>The DLLs call {@link #isLoggable(int, int)} before each diagnostic and make no Java object unless it
 * says yes. A class library without a logger registry (one where {@code Logger.getLogger} hands out a new
 * logger each time, as Avian's does) cannot see a level set on another logger object; there the property
 * alone decides, and it can be set at run time too.
 *
 * <p>Not part of the API: its name and methods may change in any release.
 */
public final class Diagnostics {
    /** The parent logger of both libraries. */
    public static final String LOGGER = "com.morvane.quorlink.keyboard";
    /** The Java layer's logger: its warnings (what nothing else reports) and its traces at FINE. */
    public static final String LAYER_LOGGER = LOGGER + ".Keyboard";
    /** The system property naming a level, for a look without a logging configuration. */
    public static final String PROPERTY = "quorlink.diagnostics";

    /** The DLLs' index of TonePort in these tables. */
    public static final int TONE_PORT = 0;
    /** The DLLs' index of ChordGate in these tables. */
    public static final int CHORD_GATE = 1;

    private static final String[] CLASSES = {
        "com.morvane.quorlink.services.sound.TonePort", "com.morvane.quorlink.services.keyboard.ChordGate"};
    private static final int OFF = Integer.MAX_VALUE;
    private static final int SEVERE = 1000;
    private static final int WARNING = 900;

    // Held here for the JVM's life: java.util.logging keeps loggers only weakly, and a level set on
    // one that was collected would be lost.
    private static final Logger parent = Logger.getLogger(LOGGER);
    private static final Logger[] libraries = {
        Logger.getLogger(LOGGER + ".TonePort"), Logger.getLogger(LOGGER + ".ChordGate")};
    private static final boolean registry = Logger.getLogger(LOGGER) == parent;
    private static final Logger layer = Logger.getLogger(LAYER_LOGGER);

    private static final String[] NAMES = {"OFF", "SEVERE", "WARNING", "INFO", "CONFIG", "FINE", "FINER", "FINEST", "ALL"};
    private static final int[] VALUES = {OFF, SEVERE, WARNING, 800, 700, 500, 400, 300, Integer.MIN_VALUE};

    private static String appliedProperty;
    private static int propertyThreshold = OFF;

    static {
        refresh(System.getProperty(PROPERTY));
        if (!registry) {
            // Our loggers are ours alone here and their parent is the root: let them pass what this
            // class decided to pass.
            for (Logger logger : libraries) {
                setLevel(logger, Level.FINEST.intValue());
            }
            setLevel(parent, Level.FINEST.intValue());
        }
    }

    private Diagnostics() {
    }

    /**
     * Whether a diagnostic of {@code level} for {@code library} would be logged now; the one check the
     * DLLs make before each diagnostic.
     *
     * @param library {@link #TONE_PORT} or {@link #CHORD_GATE}
     * @param level the {@code java.util.logging} value of the level
     * @return true when a record would be made
     */
    public static boolean isLoggable(int library, int level) {
        return library >= 0 && library < libraries.length && level >= threshold(libraries[library]);
    }

    /**
     * Logs one of the DLLs' diagnostics: the fixed message, and for a code that is not 0 the HRESULT in
     * hex with Windows' text for it. The record's source is the native method the message names.
     *
     * @param library {@link #TONE_PORT} or {@link #CHORD_GATE}
     * @param level the {@code java.util.logging} value of the level
     * @param message the fixed message, which starts with the operation's name and "(): "
     * @param code the HRESULT involved, or 0
     * @param systemText Windows' text for the code, or null
     */
    public static void log(int library, int level, String message, int code, String systemText) {
        if (!isLoggable(library, level)) {
            return;
        }
        String text = message;
        if (code != 0) {
            text += " (0x" + hex(code) + (systemText == null || systemText.isEmpty() ? "" : ": " + systemText) + ")";
        }
        int call = message.indexOf("()");
        publish(libraries[library], level(level), CLASSES[library], call > 0 ? message.substring(0, call) : "?",
                text, null);
    }

    /**
     * Logs at WARNING on the ChordGate logger that a listener method threw, with what it threw; the DLL has
     * printed it to the error stream already, as the JVM prints an uncaught exception.
     *
     * @param method the listener method that threw
     * @param thrown what it threw
     */
    public static void listenerThrew(String method, Throwable thrown) {
        if (isLoggable(CHORD_GATE, WARNING)) {
            publish(libraries[CHORD_GATE], Level.WARNING, "com.morvane.quorlink.services.keyboard.HotKeyListener",
                    method, "the listener's " + method + " threw; the next event is delivered as usual", thrown);
        }
    }

    /**
     * Logs at FINE on a library's logger, for the loader's trace of where a DLL came from.
     *
     * @param library {@link #TONE_PORT} or {@link #CHORD_GATE}
     * @param sourceMethod the method that logs
     * @param message what to say
     */
    static void fine(int library, String sourceMethod, String message) {
        if (isLoggable(library, Level.FINE.intValue())) {
            publish(libraries[library], Level.FINE, NativeLibraryLoader.class.getName(), sourceMethod, message, null);
        }
    }

    /**
     * Logs a message of the Java layer on {@value #LAYER_LOGGER}, as its level (or its parents') lets
     * through; with none set anywhere, JUL's default (INFO) shows the warnings and hides the traces. The
     * property {@value #PROPERTY}, once applied to {@value #LOGGER}, reaches it too.
     *
     * @param level the {@code java.util.logging} value of the level
     * @param sourceClass the class that logs
     * @param sourceMethod the method that logs
     * @param message what to say
     * @param thrown what was thrown, or null
     */
    public static void logLayer(int level, String sourceClass, String sourceMethod, String message,
                                Throwable thrown) {
        String property = System.getProperty(PROPERTY);
        synchronized (Diagnostics.class) {
            if (property != null && !property.equals(appliedProperty)) {
                refresh(property);
            }
        }
        Level as = level(level);
        try {
            if (!layer.isLoggable(as)) {
                return;
            }
        } catch (RuntimeException e) {
            return;
        }
        publish(layer, as, sourceClass, sourceMethod, message, thrown);
    }

    /**
     * The library index of a DLL's name, or -1.
     *
     * @param name "TonePort" or "ChordGate"
     * @return its index
     */
    static int library(String name) {
        return "TonePort".equals(name) ? TONE_PORT : "ChordGate".equals(name) ? CHORD_GATE : -1;
    }

    private static int threshold(Logger library) {
        String property = System.getProperty(PROPERTY);
        synchronized (Diagnostics.class) {
            if (property != null && !property.equals(appliedProperty)) {
                refresh(property);
            }
            if (!registry) {
                return propertyThreshold;
            }
        }
        Level level = library.getLevel();
        if (level == null) {
            level = parent.getLevel();
        }
        return level == null ? OFF : level.intValue();
    }

    // A newly seen value of the property becomes the parent logger's level; one that names no level is
    // left unapplied (and is not looked at again until it changes).
    private static synchronized void refresh(String property) {
        appliedProperty = property;
        if (property == null) {
            return;
        }
        Integer value = parseLevel(property.trim());
        if (value == null) {
            return;
        }
        propertyThreshold = value;
        if (registry) {
            setLevel(parent, value);
        }
    }

    /** A level's value from its name or number, as {@code Level.parse} reads it; null when it is neither. */
    static Integer parseLevel(String name) {
        for (int i = 0; i < NAMES.length; i++) {
            if (NAMES[i].equals(name.toUpperCase(Locale.ENGLISH))) {
                return VALUES[i];
            }
        }
        try {
            return Integer.valueOf(name);
        } catch (NumberFormatException e) {
            return null;
        }
    }

    // The JDK's Level for a value, found by reflection: a class library without Level.parse and OFF
    // (Avian) has only the six named levels, and there OFF is the absence of a level.
    private static void setLevel(Logger logger, int value) {
        Level level;
        try {
            level = value == OFF ? (Level) Level.class.getField("OFF").get(null)
                    : (Level) Level.class.getMethod("parse", String.class).invoke(null, String.valueOf(value));
        } catch (Exception e) {
            level = value == OFF ? null : level(value);
        }
        logger.setLevel(level);
    }

    private static Level level(int value) {
        return value >= SEVERE ? Level.SEVERE : value >= WARNING ? Level.WARNING : value >= 800 ? Level.INFO
                : value >= 500 ? Level.FINE : value >= 400 ? Level.FINER : Level.FINEST;
    }

    private static void publish(Logger logger, Level level, String sourceClass, String sourceMethod, String text,
                                Throwable thrown) {
        try {
            logger.logp(level, sourceClass, sourceMethod, text, thrown);
        } catch (RuntimeException e) {
            // A user's handler that fails must not reach the native method that logged.
        }
    }

    private static String hex(int code) {
        String digits = Integer.toHexString(code).toUpperCase(Locale.ENGLISH);
        return "00000000".substring(digits.length()) + digits;
    }
}
