#pragma once
// The one logging hook of each library. Only the Java native methods call it, with their own
// environment and receiver; the level is "severe", "warning" or "info", the message a fixed text
// that starts with the operation's name, the code the HRESULT involved or 0.
#include <jni.h>
#include <windows.h>

void logDiagnostic(JNIEnv* env, jobject caller, const char* level, const char* message, HRESULT code);
