#pragma once
// The one logging hook of each library. Only the Java native methods call it, with their own
// environment; the level is "severe", "warning" or "info", the message a fixed text
// that starts with the operation's name, the code the HRESULT involved or 0. The hook never
// throws, never leaves an exception of its own pending and keeps the caller's pending one.
#include <jni.h>
#include <windows.h>

void logDiagnostic(JNIEnv* env, const char* level, const char* message, HRESULT code);

// A listener method ("HotKeyHit", "KBFailed", "KBDetached") threw; called on the thread that ran
// it, after the exception was described and cleared. Logged only once a Java caller's
// logDiagnostic or prepareDiagnostics has found the Java side.
void logListenerException(JNIEnv* env, const char* method, jthrowable thrown);

// Finds the Java side now, on a Java caller's thread, so that the service thread can log later.
void prepareDiagnostics(JNIEnv* env);
