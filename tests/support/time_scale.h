#pragma once
// The tests' hang limits, stretched where the build's programs run emulated (an x86 build under
// qemu's user-mode emulator is many times slower than natively). cmake/TimeScale.cmake chooses the
// scale and the build's wine-run.sh hands it to every program as QL_TIME_SCALE; a native build
// runs with 1. The limits only turn a hang into a failure; no test asserts a speed with them.
#include <windows.h>

#include <cstdlib>

// 1 to 99; 1 when QL_TIME_SCALE is unset or not such a number.
inline DWORD timeScale() {
    static const DWORD scale = [] {
        char text[8] = {};
        const DWORD length = GetEnvironmentVariableA("QL_TIME_SCALE", text, sizeof text);
        if (length == 0 || length >= sizeof text) return DWORD{1};
        char* end = nullptr;
        const unsigned long value = std::strtoul(text, &end, 10);
        return *end == '\0' && value >= 1 && value <= 99 ? DWORD(value) : DWORD{1};
    }();
    return scale;
}

// A hang limit that is nativeMs on a native build, for this build.
inline DWORD hangLimitMs(DWORD nativeMs) { return nativeMs * timeScale(); }
