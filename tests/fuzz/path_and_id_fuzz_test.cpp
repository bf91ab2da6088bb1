// Bad input for SetNativeLibraryPath and the hardware-id comparison, compiled into this program
// so that what they store and read can be watched. The path's characters come from a JNIEnv that
// hands them out ending exactly at an inaccessible page; the hardware ids lie right before one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "fuzz_support.h"
#include "guarded_memory.h"
#include "host_fixture.h"
#include "keyboard_detection.h"

namespace {

constexpr int kLongestPath = 300;
constexpr int kPathsPerLength = 12;

// The host's environment, except that string characters are copied into guarded memory that
// ends with their NUL, and their release is checked against what was handed out.
class GuardedStringEnv {
public:
    GuardedStringEnv() : table_(*host().env()->functions) {
        table_.GetStringUTFChars = get;
        table_.ReleaseStringUTFChars = release;
        env_.functions = &table_;
        self() = this;
    }
    ~GuardedStringEnv() { self() = nullptr; }
    GuardedStringEnv(const GuardedStringEnv&) = delete;
    GuardedStringEnv& operator=(const GuardedStringEnv&) = delete;

    JNIEnv* env() { return &env_; }
    int outstanding() const { return handedOut_ ? 1 : 0; }
    int wrongReleases() const { return wrongReleases_; }

private:
    static GuardedStringEnv*& self() {
        static GuardedStringEnv* current = nullptr;
        return current;
    }
    static const char* JNICALL get(JNIEnv*, jstring string, jboolean* isCopy) {
        GuardedStringEnv& me = *self();
        JNIEnv* real = host().env();
        const char* chars = real->GetStringUTFChars(string, nullptr);
        if (!chars) return nullptr;
        const std::size_t bytes = std::strlen(chars) + 1;
        me.handedOut_ = std::make_unique<GuardedBytes>(bytes);
        std::memcpy(me.handedOut_->as<char>(), chars, bytes);
        real->ReleaseStringUTFChars(string, chars);
        if (isCopy) *isCopy = JNI_TRUE;
        return me.handedOut_->as<char>();
    }
    static void JNICALL release(JNIEnv*, jstring, const char* chars) {
        GuardedStringEnv& me = *self();
        if (!me.handedOut_ || chars != me.handedOut_->as<char>()) {
            ++me.wrongReleases_;
            return;
        }
        me.handedOut_.reset();
    }

    JNINativeInterface_ table_;
    JNIEnv env_{};
    std::unique_ptr<GuardedBytes> handedOut_;
    int wrongReleases_ = 0;
};

// Modified UTF-8 of one random character: one, two or three bytes, NUL as C0 80.
std::string randomCharacter(fuzz::Random& random, int kind) {
    switch (kind == 3 ? random.between(0, 2) : kind) {
    case 0: return std::string(1, char(random.between(0x20, 0x7E)));
    case 1: {
        const unsigned code = unsigned(random.between(0, 0x7FF));
        if (code >= 0x80 || code == 0) return {char(0xC0 | (code >> 6)), char(0x80 | (code & 0x3F))};
        return std::string(1, char(code));
    }
    default: {
        const unsigned code = unsigned(random.between(0x800, 0xFFFF));
        return {char(0xE0 | (code >> 12)), char(0x80 | ((code >> 6) & 0x3F)), char(0x80 | (code & 0x3F))};
    }
    }
}

// Paths of every length from 0 to kLongestPath bytes, ASCII, two-byte, three-byte and mixed
// characters, so that the cut at 100 bytes falls before, on and inside characters.
TEST(PathFuzz, EveryLengthAroundAHundredBytesStoresExactlyTheFirstHundred) {
    const std::uint32_t seed = fuzz::seed(20261210);
    fuzz::Random random(seed);
    fuzz::CrashReport crashReport;
    GuardedStringEnv guarded;
    int cases = 0;
    for (int length = 0; length <= kLongestPath; ++length)
        for (int variant = 0; variant < kPathsPerLength; ++variant) {
            std::string path;
            while (int(path.size()) < length) {
                const std::string character = randomCharacter(random, variant % 4);
                path += int(path.size() + character.size()) <= length ? character : std::string(1, 'x');
            }
            fuzz::currentCase() = "seed " + std::to_string(seed) + ", " + std::to_string(length) + " bytes: " +
                                  fuzz::printable(path);
            SCOPED_TRACE(fuzz::currentCase());
            const bool failChars = random.chance(0.02);
            const std::string before(szNativeLibraryPath, sizeof szNativeLibraryPath);

            jstring string = host().newString(path);
            host().setGetStringUTFCharsFails(failChars);
            const jlong result = Java_com_morvane_quorlink_services_keyboard_ChordGate_SetNativeLibraryPath(
                guarded.env(), host().receiver(), string);
            host().setGetStringUTFCharsFails(false);
            host().env()->ExceptionClear();

            ASSERT_EQ(result, 0);
            std::string expected = failChars ? before : path.substr(0, 100);
            expected.resize(100, '\0');
            ASSERT_EQ(std::string(szNativeLibraryPath, sizeof szNativeLibraryPath), expected);
            ASSERT_EQ(copiedIntoGuardedBytes(path), path.substr(0, 100) + std::string(100 - std::min<std::size_t>(100, path.size()), '\0'));
            ASSERT_EQ(guarded.outstanding(), 0) << "the characters were not given back";
            ++cases;
        }
    EXPECT_EQ(guarded.wrongReleases(), 0);
    EXPECT_EQ(host().unreleasedStringChars(), 0);
    EXPECT_NO_JNI_VIOLATIONS();
    std::printf("%d paths (seed %u) of 0 to %d bytes\n", cases, seed, kLongestPath);
}

TEST(PathFuzz, ANullPathLeavesTheStoredOneAndReturnsZero) {
    GuardedStringEnv guarded;
    // A stored path that a clearing call would change: a fresh process's bytes are all zero.
    ASSERT_EQ(Java_com_morvane_quorlink_services_keyboard_ChordGate_SetNativeLibraryPath(
                  guarded.env(), host().receiver(), host().newString("C:\\kept")),
              0);
    const std::string before(szNativeLibraryPath, sizeof szNativeLibraryPath);
    ASSERT_EQ(before, "C:\\kept" + std::string(93, '\0'));
    EXPECT_EQ(Java_com_morvane_quorlink_services_keyboard_ChordGate_SetNativeLibraryPath(guarded.env(),
                                                                                         host().receiver(), nullptr),
              0);
    EXPECT_EQ(std::string(szNativeLibraryPath, sizeof szNativeLibraryPath), before);
}

// --- the first hardware id of a REG_MULTI_SZ value, as many bytes as the registry gave --------

constexpr int kIdCases = 6000;
const char* const kIdStarts[] = {"*QV7150", "*qv7150", "*Qv7150", "*QV715", "*QV71500", "QV7150", "*QV7150 ",
                                 " *QV7150", "*QV7151", "", "ACPI\\PNP0303", "*PNP0303"};

wchar_t upper(char c) { return c >= 'a' && c <= 'z' ? wchar_t(c - 32) : wchar_t(c); }

bool firstIsTheDriversId(const std::string& value) {
    const std::string first = value.substr(0, value.find('\0'));
    const std::string id = "*QV7150";
    if (first.size() != id.size()) return false;
    for (std::size_t i = 0; i < id.size(); ++i)
        if (upper(first[i]) != upper(id[i])) return false;
    return true;
}

// Printable ASCII besides the hyphen and apostrophe (which the locale's comparison weighs apart
// from their letters) gets an exact answer; any other byte only has to be read safely.
TEST(HardwareIdFuzz, RandomValuesAreReadWithinTheirBytes) {
    const std::uint32_t seed = fuzz::seed(20261211);
    fuzz::Random random(seed);
    fuzz::CrashReport crashReport;
    int matches = 0;
    for (int n = 0; n < kIdCases; ++n) {
        const bool anyByte = random.chance(0.3);
        std::string value = random.chance(0.8) ? random.pick(kIdStarts) : "";
        const int extra = random.between(0, 24);
        for (int i = 0; i < extra; ++i) {
            char c;
            do {
                c = anyByte ? char(random.bits()) : char(random.between(0x20, 0x7E));
            } while (!anyByte && (c == '-' || c == '\''));
            value += random.chance(0.2) ? '\0' : c;
        }
        if (random.chance(0.5)) value.append(std::size_t(random.between(1, 2)), '\0');
        if (!value.empty() && random.chance(0.3)) value.resize(std::size_t(random.between(0, int(value.size()))));

        fuzz::currentCase() = "seed " + std::to_string(seed) + " case " + std::to_string(n) + ": " +
                              std::to_string(value.size()) + " bytes " + fuzz::printable(value);
        SCOPED_TRACE(fuzz::currentCase());
        GuardedBytes memory(value.size());
        std::memcpy(memory.as<unsigned char>(), value.data(), value.size());
        const bool matched = firstHardwareIdMatches(memory.as<unsigned char>(), value.size());
        if (!anyByte) {
            ASSERT_EQ(matched, firstIsTheDriversId(value));
        }
        matches += matched;
    }
    std::printf("%d hardware-id values (seed %u): %d matched\n", kIdCases, seed, matches);
}

}  // namespace
