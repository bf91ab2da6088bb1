#pragma once
// The fault matrices' rows: a scripted component and a sequence of calls, each with the value it
// must return and the diagnostics it must log, under a time budget that turns a hang into a
// failure naming the step. A row's budget is a native build's; an emulated build stretches it.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "time_scale.h"

namespace fault_matrix {

// A value no call returns on purpose: the step must return some negative value, and the last
// diagnostic it logs carries that value as its code.
inline constexpr jlong kAnyNegative = LLONG_MIN;

template <class Fixture>
struct Step {
    const char* what;
    jlong (Fixture::*act)();
    jlong expected;
    std::vector<std::string> logged{};  // the messages of exactly the diagnostics the step logs
};

// Ends the process when a row outlasts its budget, naming the step that hung: a hang must not
// pass for a slow test, nor stall the run until CTest's time-out.
class Watchdog {
public:
    explicit Watchdog(DWORD budgetMs) : budgetMs_(budgetMs), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = CreateThread(nullptr, 0, watch, this, 0, nullptr);
    }
    ~Watchdog() {
        SetEvent(done_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(done_);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void enter(const char* step) { step_ = step; }

private:
    static DWORD WINAPI watch(LPVOID self) {
        auto* dog = static_cast<Watchdog*>(self);
        if (WaitForSingleObject(dog->done_, dog->budgetMs_) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "HUNG: step \"%s\" still running after the row's %lu ms\n", dog->step_.load(),
                         static_cast<unsigned long>(dog->budgetMs_));
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        return 0;
    }

    DWORD budgetMs_;
    HANDLE done_;
    HANDLE thread_ = nullptr;
    std::atomic<const char*> step_{"(before the first step)"};
};

// Runs the steps in order on the calling thread; each step's outcome is checked on the spot.
template <class Fixture>
void runSteps(Fixture& fixture, const std::vector<Step<Fixture>>& steps, DWORD budgetMs) {
    Watchdog watchdog(hangLimitMs(budgetMs));
    int index = 0;
    for (const Step<Fixture>& step : steps) {
        SCOPED_TRACE("step " + std::to_string(++index) + ": " + step.what);
        watchdog.enter(step.what);
        const size_t seen = host().diagnostics().size();
        const jlong value = (fixture.*step.act)();
        const auto diagnostics = host().diagnostics();
        std::vector<std::string> logged;
        for (size_t i = seen; i < diagnostics.size(); ++i) logged.push_back(diagnostics[i].message);

        if (step.expected == kAnyNegative) {
            EXPECT_LT(value, 0);
            if (!logged.empty()) {
                EXPECT_EQ(jlong{diagnostics.back().code}, value) << "the code logged";
            }
        } else {
            EXPECT_EQ(value, step.expected);
        }
        EXPECT_EQ(logged, step.logged);
    }
}

}  // namespace fault_matrix
