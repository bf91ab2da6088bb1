// TonePort.dll on a machine where the keyboard's tone component was never installed.
#include <gtest/gtest.h>

#include "host_fixture.h"
#include "tone_port.h"

namespace {

TEST(ToneWithoutComponent, InitCannotCreateTheComponent) {
    TonePort tone;
    EXPECT_EQ(tone.Init(host().env(), host().receiver()), -2);

    auto diagnostics = host().diagnostics();
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0].level, "severe");
    EXPECT_EQ(diagnostics[0].message, "Init(): cannot create COM object");
    EXPECT_EQ(diagnostics[0].code, REGDB_E_CLASSNOTREG);

    EXPECT_EQ(tone.playBusyTone(host().env(), host().receiver()), 1);
    EXPECT_EQ(tone.cleanup(host().env(), host().receiver()), 1);
    EXPECT_NO_JNI_VIOLATIONS();
}

} // namespace
