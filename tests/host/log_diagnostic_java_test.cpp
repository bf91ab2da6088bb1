// The shipped logging hook against the checking host's scripted Java side: off by default with no
// Java object made, one lookup per process, each level to java.util.logging's, the HRESULT with
// Windows' text, and every state a native method can call it in. Built as ChordGate's hook.
#include <gtest/gtest.h>

#include <string>

#include "host_fixture.h"
#include "log_diagnostic.h"

namespace {

using jnihost::JavaDiagnosticsScript;
using jnihost::kJavaDiagnosticsClass;
using jnihost::kLoggingOff;

constexpr int kChordGate = 1;
constexpr HRESULT kClassNotRegistered = static_cast<HRESULT>(0x80040154);
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
constexpr HRESULT kNoSystemText = static_cast<HRESULT>(0x8004ABCD);  // an interface's own code

class ShippedHook : public ::testing::Test {
protected:
    void SetUp() override {
        env = host().env();
        ASSERT_NE(env, nullptr);
        host().clearRecords();
    }
    void TearDown() override {
        EXPECT_NO_JNI_VIOLATIONS();
        EXPECT_EQ(host().pendingException(env), pendingAfter);
    }

    // A script whose ChordGate logger lets through everything from `threshold` up.
    static JavaDiagnosticsScript loggingFrom(int threshold) {
        JavaDiagnosticsScript script;
        script.thresholds[kChordGate] = threshold;
        return script;
    }

    JNIEnv* env = nullptr;
    std::string pendingAfter;  // what the test leaves pending on purpose
};

TEST_F(ShippedHook, OffByDefaultMakesNoStringAndLooksTheClassUpOnce) {
    host().defineJavaDiagnostics();
    for (const char* level : {"severe", "warning", "info"})
        logDiagnostic(env, level, "Init(): cannot create COM object", kClassNotRegistered);
    EXPECT_TRUE(host().javaLogRecords().empty());
    EXPECT_EQ(host().stringsMade(), 0);
    EXPECT_EQ(host().isLoggableCalls(), 3);
    EXPECT_EQ(host().findClassCalls(kJavaDiagnosticsClass), 1);
}

TEST_F(ShippedHook, EachLevelReachesJavaAtItsValueWhenThatLevelIsOn) {
    struct Case {
        int threshold;
        const char* level;
        int julValue;
        bool logged;
    } cases[] = {
        {1000, "severe", 1000, true},  {1000, "warning", 900, false}, {1000, "info", 800, false},
        {900, "warning", 900, true},   {900, "info", 800, false},     {800, "info", 800, true},
        {kLoggingOff, "severe", 1000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.level) + " from " + std::to_string(c.threshold));
        host().defineJavaDiagnostics(loggingFrom(c.threshold));
        host().clearRecords();
        logDiagnostic(env, c.level, "Cleanup(): unexpected error", 0);
        const auto records = host().javaLogRecords();
        ASSERT_EQ(records.size(), c.logged ? 1u : 0u);
        if (!c.logged) continue;
        EXPECT_EQ(records[0].library, kChordGate);
        EXPECT_EQ(records[0].level, c.julValue);
        EXPECT_EQ(records[0].message, "Cleanup(): unexpected error");
    }
}

TEST_F(ShippedHook, AFailureCodeComesWithWindowsTextAndZeroWithNone) {
    host().defineJavaDiagnostics(loggingFrom(800));
    logDiagnostic(env, "severe", "RegisterStandard(): method failed", kAccessDenied);
    logDiagnostic(env, "severe", "UnregisterHot(): method failed", kNoSystemText);
    logDiagnostic(env, "info", "Init(): hotkey is initialized successfully", 0);
    const auto records = host().javaLogRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].code, kAccessDenied);
    ASSERT_TRUE(records[0].systemText.has_value());
    EXPECT_FALSE(records[0].systemText->empty());
    EXPECT_EQ(records[0].systemText->find_first_of("\r\n"), std::string::npos)
        << "the trailing line break stays behind: [" << *records[0].systemText << "]";
    EXPECT_EQ(records[1].code, kNoSystemText);
    EXPECT_FALSE(records[1].systemText.has_value()) << "a code the system has no text for";
    EXPECT_EQ(records[2].code, 0);
    EXPECT_FALSE(records[2].systemText.has_value());
}

// The native method's own pending exception (RegisterListener's NoSuchMethodError) is the one
// its Java caller sees afterwards, whether the diagnostic was logged or not.
TEST_F(ShippedHook, APendingExceptionIsKeptAsItWas) {
    for (int threshold : {800, kLoggingOff}) {
        SCOPED_TRACE(threshold);
        host().defineJavaDiagnostics(loggingFrom(threshold));
        host().clearRecords();
        jnihost::ListenerClass lacking;
        lacking.kbDetached = false;
        jobject listener = host().newListener(lacking);
        EXPECT_EQ(env->GetMethodID(env->GetObjectClass(listener), "KBDetached", "()V"), nullptr);
        logDiagnostic(env, "severe", "RegisterListener(): unexpected error", 0);
        EXPECT_EQ(host().pendingException(env), "java/lang/NoSuchMethodError");
        EXPECT_EQ(host().pendingExceptionMessage(env), "KBDetached");
        EXPECT_EQ(host().javaLogRecords().size(), threshold == 800 ? 1u : 0u);
        EXPECT_NO_JNI_VIOLATIONS();
        env->ExceptionClear();
    }
}

// A client with its own copies of the declarations has no Diagnostics class; a class without the
// methods is the same. Either way nothing is logged, nothing is left pending, and the answer is
// kept: the lookup is not repeated.
TEST_F(ShippedHook, AnAbsentJavaSideIsLookedUpOnceAndIgnored) {
    logDiagnostic(env, "severe", "Init(): cannot create COM object", kClassNotRegistered);
    host().defineJavaDiagnostics(loggingFrom(800));  // too late: the absence is cached
    logDiagnostic(env, "severe", "Init(): cannot create COM object", kClassNotRegistered);
    EXPECT_EQ(host().findClassCalls(kJavaDiagnosticsClass), 1);
    EXPECT_EQ(host().isLoggableCalls(), 0);
    EXPECT_TRUE(host().javaLogRecords().empty());
}

TEST_F(ShippedHook, JavaSideWithoutItsMethodsIsIgnoredOnce) {
    JavaDiagnosticsScript script = loggingFrom(800);
    script.methodsPresent = false;
    host().defineJavaDiagnostics(script);
    for (int i = 0; i < 2; ++i)
        logDiagnostic(env, "severe", "Init(): cannot create COM object", kClassNotRegistered);
    EXPECT_EQ(host().findClassCalls(kJavaDiagnosticsClass), 1);
    EXPECT_EQ(host().isLoggableCalls(), 0);
    EXPECT_TRUE(host().javaLogRecords().empty());
}

TEST_F(ShippedHook, AThrowingLevelCheckLogsNothingAndLeavesNothingPending) {
    JavaDiagnosticsScript script = loggingFrom(800);
    script.isLoggableThrows = true;
    host().defineJavaDiagnostics(script);
    logDiagnostic(env, "severe", "Init(): cannot create COM object", kClassNotRegistered);
    EXPECT_EQ(host().isLoggableCalls(), 1);
    EXPECT_TRUE(host().javaLogRecords().empty());
    EXPECT_EQ(host().stringsMade(), 0);
}

// A listener's exception is logged on the service thread only through a lookup that a Java
// caller made (the service thread's class loader may not see the jar), and only at WARNING.
TEST_F(ShippedHook, AListenerExceptionReachesJavaOnlyAfterAJavaCallerFoundTheClass) {
    host().defineJavaDiagnostics(loggingFrom(900));
    jobject thrower = host().newListener({}, true);
    jmethodID hit = env->GetMethodID(env->GetObjectClass(thrower), "HotKeyHit", "(JJJ)V");
    auto throwAndLog = [&] {
        env->CallVoidMethod(thrower, hit, jlong{1}, jlong{2}, jlong{3});
        const jthrowable thrown = env->ExceptionOccurred();
        ASSERT_NE(thrown, nullptr);
        env->ExceptionClear();
        logListenerException(env, "HotKeyHit", thrown);
        env->DeleteLocalRef(thrown);
    };
    throwAndLog();
    EXPECT_TRUE(host().javaLogRecords().empty());
    EXPECT_EQ(host().findClassCalls(kJavaDiagnosticsClass), 0);

    prepareDiagnostics(env);
    throwAndLog();
    auto records = host().javaLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].listenerMethod, "HotKeyHit");
    EXPECT_EQ(records[0].thrownClass, jnihost::kListenerException);

    host().defineJavaDiagnostics(loggingFrom(1000));  // warnings off
    throwAndLog();
    EXPECT_EQ(host().javaLogRecords().size(), 1u);
}

TEST_F(ShippedHook, NoEnvironmentOrMessageIsIgnored) {
    host().defineJavaDiagnostics(loggingFrom(800));
    logDiagnostic(nullptr, "severe", "Init(): cannot create COM object", kClassNotRegistered);
    logDiagnostic(env, "severe", nullptr, 0);
    EXPECT_EQ(host().findClassCalls(kJavaDiagnosticsClass), 0);
    EXPECT_TRUE(host().javaLogRecords().empty());
}

}  // namespace
