package com.morvane.quorlink.support;

/**
 * The support command's exit codes: 0 when all went well, otherwise the first check that failed, so that a
 * support script can branch on it. {@code --help} prints this table.
 */
enum ExitCode {
    OK(0, "every check is ok; --play: the tone was played; --listen: the time is up"),
    UNEXPECTED(1, "the command itself failed unexpectedly (its message says how)"),
    BAD_ARGUMENTS(2, "the arguments are not understood (an unknown tone, a malformed key, a negative time)"),
    UNSUPPORTED(3, "this JVM is not supported: the libraries are for Windows on a 32-bit or 64-bit x86 JVM"),
    NOT_LOADED(4, "a DLL could not be extracted, verified or loaded"),
    NO_DRIVER(5, "the keyboard's driver is not installed"),
    TONE_COMPONENT(6, "the tone component could not be created or released"),
    HOT_KEY_COMPONENT(7, "the hot-key component could not be created, take its listener, or be released"),
    NOT_PLAYED(8, "--play: the keyboard did not play the tone"),
    KEY_REFUSED(9, "--listen: the keyboard refused a hot key");

    final int code;
    final String meaning;

    ExitCode(int code, String meaning) {
        this.code = code;
        this.meaning = meaning;
    }
}
