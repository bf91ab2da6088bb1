#pragma once
// What every Java native method of both libraries shares: the boundary that no exception crosses,
// and the report of an Init's outcome from the library's own table.
//
//   return nativeMethod(env, "Cleanup(): unexpected error", 1, [&]() -> jlong { ... });
#include <jni.h>
#include <windows.h>

#include "log_diagnostic.h"
#include "service_thread.h"

// Runs a native method's body. Whatever it throws ends the method with failureValue, after the
// method's unexpected-error diagnostic ("severe", code 0; none when the message is null): an
// exception that left a native method would end the JVM.
template <class Body>
jlong nativeMethod(JNIEnv* env, const char* unexpectedError, jlong failureValue, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        try {
            if (unexpectedError) logDiagnostic(env, "severe", unexpectedError, 0);
        } catch (...) {
        }
        return failureValue;
    }
}

// One row of a library's Init table: what Init returns for a start-up status, and what it logs.
struct InitStatus {
    StartUpStatus status;
    jlong value;
    const char* level;
    const char* message;
};

// Logs the outcome's row with its error code and returns the row's value. A status the table
// lacks is reported as the time-out: that library has no number of its own for it.
template <std::size_t N>
jlong reportInitStatus(JNIEnv* env, const InitStatus (&table)[N], const StartUpOutcome& outcome) {
    const InitStatus* timedOut = nullptr;
    for (const InitStatus& row : table) {
        if (row.status == outcome.status) {
            logDiagnostic(env, row.level, row.message, outcome.errorCode);
            return row.value;
        }
        if (row.status == StartUpStatus::TimedOut) timedOut = &row;
    }
    logDiagnostic(env, timedOut->level, timedOut->message, 0);
    return timedOut->value;
}
