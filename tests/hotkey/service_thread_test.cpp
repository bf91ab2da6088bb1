// The service thread that both libraries share, driven with a set-up of the test's own: one whose
// hand-over from owner to owner takes a while, so that clean-ups that overlap meet inside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <utility>

#include "scenario_helpers.h"
#include "service_thread.h"

namespace {

// A set-up that counts the complete ones alive; a moved-from one is let go without counting.
struct SlowHandOverSetUp {
    using Interface = IUnknown;
    static constexpr const IID& kInterfaceId = IID_IUnknown;
    static constexpr FailedTake kFailedTake = FailedTake::KeepsTheStream;
    static inline volatile LONG alive = 0;

    bool complete = false;

    SlowHandOverSetUp() = default;
    SlowHandOverSetUp(SlowHandOverSetUp&& from) noexcept : complete(std::exchange(from.complete, false)) {
        Sleep(200);  // long enough for a second clean-up to arrive while the first hands over
    }
    ~SlowHandOverSetUp() {
        if (complete) InterlockedDecrement(&alive);
    }

    static StartUpOutcome make(SlowHandOverSetUp& made, HandOffStream<IUnknown>&) {
        made.complete = true;
        InterlockedIncrement(&alive);
        return {StartUpStatus::Ready, S_OK};
    }
};

// Its thread never ends, so it lives as long as the process.
NeverDestroyed<ServiceThread<SlowHandOverSetUp>> serviceThread;

// Two clean-ups at once take the set-up once between them: one has the thread let go of it, the
// other finds none. One that checked and then took the set-up outside the lock would let both
// take it.
TEST(ServiceThreadTest, TwoCleanupsAtOnceTakeTheSetUpOnce) {
    constexpr DWORD kWaitMs = 30000;  // only a hang reaches it
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(serviceThread.value.startUp(kWaitMs).status, StartUpStatus::Ready) << "round " << round;
        ASSERT_EQ(SlowHandOverSetUp::alive, 1);

        StartBarrier start(2);
        bool took[2] = {false, false};
        std::thread cleanups[2];
        for (int t = 0; t < 2; ++t)
            cleanups[t] = std::thread([&, t] {
                start.arriveAndWait();
                took[t] = serviceThread.value.tearDown(kWaitMs);
            });
        for (std::thread& cleanup : cleanups) cleanup.join();

        EXPECT_EQ(took[0] + took[1], 1) << "round " << round;
        EXPECT_EQ(SlowHandOverSetUp::alive, 0) << "round " << round;
        EXPECT_FALSE(serviceThread.value.holdsSetUp());
    }
}

} // namespace
