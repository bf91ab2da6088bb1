// ChordGate.dll on a machine where the keyboard's hot-key component was never installed.
#include <gtest/gtest.h>

#include "chord_gate_service.h"
#include "host_fixture.h"

namespace {

TEST(HotKeyServiceWithoutComponent, SetUpCannotCreateTheComponent) {
    ChordGateService gate;
    JNIEnv* env = host().env();
    EXPECT_EQ(gate.Init(env, host().receiver()), -2);
    auto diagnostics = host().diagnostics();
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0].level, "severe");
    EXPECT_EQ(diagnostics[0].message, "Init(): cannot create COM object");
    EXPECT_EQ(diagnostics[0].code, REGDB_E_CLASSNOTREG);

    EXPECT_EQ(gate.RegisterStandard(env, host().receiver(), 1, 2, 3), 1);
    EXPECT_EQ(gate.Cleanup(env, host().receiver()), 1);

    EXPECT_EQ(gate.ChordGate_Init(), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(gate.ChordGate_RegisterStandard(1, 2, 3), 1);
    gate.ChordGate_Cleanup();
    EXPECT_NO_JNI_VIOLATIONS();
}

} // namespace
