#pragma once
// Seeded generators for the bad-input tests. Every run makes the same cases (QL_FUZZ_SEED in the
// environment picks another seed); a failing case names its seed and number, and a case that
// crashes the process prints its description first, so it can be made again.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace fuzz {

inline std::uint32_t seed(std::uint32_t fallback) {
    const char* chosen = std::getenv("QL_FUZZ_SEED");
    return chosen ? std::uint32_t(std::strtoul(chosen, nullptr, 0)) : fallback;
}

class Random {
public:
    explicit Random(std::uint32_t seed) : engine_(seed) {}

    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }
    std::uint32_t bits() { return std::uint32_t(engine_()); }
    template <class T, std::size_t N>
    const T& pick(const T (&choices)[N]) { return choices[std::size_t(between(0, int(N) - 1))]; }

private:
    std::mt19937 engine_;
};

// The case being run, for the crash report.
inline std::string& currentCase() {
    static std::string text;
    return text;
}

inline LONG WINAPI reportCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "CRASH 0x%08lX in case: %s\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode), currentCase().c_str());
    std::fflush(stderr);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Arms the crash report for the life of a test.
class CrashReport {
public:
    CrashReport() : previous_(SetUnhandledExceptionFilter(reportCrash)) {}
    ~CrashReport() { SetUnhandledExceptionFilter(previous_); }
    CrashReport(const CrashReport&) = delete;
    CrashReport& operator=(const CrashReport&) = delete;

private:
    LPTOP_LEVEL_EXCEPTION_FILTER previous_;
};

// Bytes shown as text, escapes for the rest.
inline std::string printable(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += char(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            text += escape;
        }
    }
    return text;
}

}  // namespace fuzz
