// SetNativeLibraryPath and the hardware-id comparison, compiled into this program so that the
// stored bytes can be looked at: nothing in the library reads them back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "guarded_memory.h"
#include "host_fixture.h"
#include "keyboard_detection.h"

namespace {

std::string stored() { return std::string(szNativeLibraryPath, sizeof szNativeLibraryPath); }

jlong setPath(JNIEnv* env, jstring path) {
    return Java_com_morvane_quorlink_services_keyboard_ChordGate_SetNativeLibraryPath(env, host().receiver(), path);
}

class NativeLibraryPath : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(host().unreleasedStringChars(), 0);
        EXPECT_NO_JNI_VIOLATIONS();
    }
};

struct PathCase {
    const char* name;
    std::string path;    // modified UTF-8
    std::string stored;  // all 100 bytes
};
void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class NativeLibraryPathCases : public NativeLibraryPath, public ::testing::WithParamInterface<PathCase> {};

TEST_P(NativeLibraryPathCases, StoresTheFirstHundredBytesPaddedWithNul) {
    // Something to overwrite: every call rewrites all 100 bytes.
    ASSERT_EQ(setPath(host().env(), host().newString(std::string(120, 'x'))), 0);
    EXPECT_EQ(setPath(host().env(), host().newString(GetParam().path)), 0);
    EXPECT_EQ(stored(), GetParam().stored);
    EXPECT_EQ(copiedIntoGuardedBytes(GetParam().path), GetParam().stored);
}

const std::string kHundred = "C:\\" + std::string(96, 'p') + "\\";  // exactly 100 bytes
// "é" is C3 A9 in modified UTF-8: after a leading "D", the 100th byte is the first half of the 50th.
const std::string kAccented = [] {
    std::string s;
    for (int i = 0; i < 51; ++i) s += "\xC3\xA9";
    return s;
}();

INSTANTIATE_TEST_SUITE_P(, NativeLibraryPathCases, ::testing::Values(
    PathCase{"Empty", "", std::string(100, '\0')},
    PathCase{"Short", "C:\\lib", "C:\\lib" + std::string(94, '\0')},
    PathCase{"ExactlyHundredBytes", kHundred, kHundred},
    PathCase{"Longer", kHundred + "ChordGate.dll", kHundred},
    PathCase{"NonAsciiCutInsideACharacter", "D" + kAccented, "D" + kAccented.substr(0, 99)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NativeLibraryPath, ANullPathCopiesNothingAndReturnsZero) {
    ASSERT_EQ(setPath(host().env(), host().newString("C:\\kept")), 0);
    EXPECT_EQ(setPath(host().env(), nullptr), 0);
    EXPECT_EQ(stored(), "C:\\kept" + std::string(93, '\0'));
}

TEST_F(NativeLibraryPath, AFailedGetStringUTFCharsCopiesNothingAndLeavesTheErrorPending) {
    ASSERT_EQ(setPath(host().env(), host().newString("C:\\kept")), 0);
    host().runJavaThread([](JNIEnv* env) {
        jstring path = host().newString("C:\\other");
        host().setGetStringUTFCharsFails(true);
        EXPECT_EQ(setPath(env, path), 0);
        host().setGetStringUTFCharsFails(false);
        EXPECT_EQ(host().pendingException(env), "java/lang/OutOfMemoryError");
    });
    EXPECT_EQ(stored(), "C:\\kept" + std::string(93, '\0'));
}

// The value is placed right before an inaccessible page: a comparison that looked for a NUL
// beyond the value's bytes would fault.
struct IdCase {
    std::string value;
    bool matches;
};
void PrintTo(const IdCase& c, std::ostream* out) {
    *out << '"';
    for (char ch : c.value) ch ? *out << ch : *out << "\\0";
    *out << '"';
}

class FirstHardwareId : public ::testing::TestWithParam<IdCase> {};

TEST_P(FirstHardwareId, IsComparedWithinTheValuesBytes) {
    const std::string& value = GetParam().value;
    GuardedBytes memory(value.size());
    std::memcpy(memory.as<unsigned char>(), value.data(), value.size());
    EXPECT_EQ(firstHardwareIdMatches(memory.as<unsigned char>(), value.size()), GetParam().matches);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(, FirstHardwareId, ::testing::Values(
    IdCase{"*QV7150", true},
    IdCase{"*qV7150", true},
    IdCase{"*QV715", false},
    IdCase{"*QV71500", false},
    IdCase{"", false},
    IdCase{"*QV7150\0ignored"s, true},
    IdCase{"\0*QV7150\0\0"s, false},
    IdCase{"*QV7150\0\0"s, true}));

}  // namespace
