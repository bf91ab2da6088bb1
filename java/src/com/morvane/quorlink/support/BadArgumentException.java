package com.morvane.quorlink.support;

/** Arguments the command does not understand; its message is the one line the user sees. */
final class BadArgumentException extends Exception {
    private static final long serialVersionUID = 1L;

    BadArgumentException(String message) {
        super(message);
    }
}
