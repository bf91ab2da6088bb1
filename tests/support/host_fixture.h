#pragma once
// The one checking JNI host of a test process (each test case runs in a process of its own),
// and the checks every test of a library ends with.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "hotkey_sim_control.h"
#include "jni_host.h"
#include "tone_sim_control.h"

inline jnihost::Host& host() {
    static jnihost::Host* instance = new jnihost::Host();  // outlives every library thread
    return *instance;
}

inline std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// A JVM frees a native library when its class loader is collected; a library whose service
// thread runs must stay mapped all the same. Frees it once, as the JVM would, and checks.
inline void expectStillMappedAfterFreeLibrary(HMODULE library, const wchar_t* name) {
    ASSERT_TRUE(FreeLibrary(library));
    HMODULE still = nullptr;
    EXPECT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, name, &still));
    EXPECT_EQ(still, library);
}

#define EXPECT_NO_JNI_VIOLATIONS() EXPECT_TRUE(host().violations().empty()) << joined(host().violations())

// Every test program ends by checking that no simulated component loaded in its process was
// called on its own pointer from a thread other than the one that created it: only proxies may
// cross apartments. (CTest runs one test case per process, so this checks each case.)
class ComponentThreadCheck : public ::testing::Environment {
public:
    void TearDown() override {
        expectNoWrongThreadCalls<ToneSimCounts>(L"KeyboardToneSim.dll", "ToneSim_GetCounts");
        expectNoWrongThreadCalls<HotKeySimCounts>(L"KeyboardHotKeySim.dll", "HotKeySim_GetCounts");
    }

private:
    template <class Counts>
    static void expectNoWrongThreadCalls(const wchar_t* module, const char* getCounts) {
        const HMODULE loaded = GetModuleHandleW(module);
        if (!loaded) return;
        const auto get = reinterpret_cast<void (*)(Counts*)>(
            reinterpret_cast<void*>(GetProcAddress(loaded, getCounts)));
        if (!get) return;
        Counts counts{};
        get(&counts);
        EXPECT_EQ(counts.wrongThreadCalls, 0)
            << "calls on a component's own pointer from another thread than its creator's";
    }
};

inline ::testing::Environment* const componentThreadCheck =
    ::testing::AddGlobalTestEnvironment(new ComponentThreadCheck);
