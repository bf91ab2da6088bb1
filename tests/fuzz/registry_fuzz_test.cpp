// Bad input for IsKeyboardDriverInstalled: seeded random keyboard device keys in the bare
// prefix's registry, with HardwareID values of random types and sizes, with and without their
// NULs, under instances 0000 to 0012. The answer must be what the first ten instances hold.
// CTest runs these cases one at a time, as the key names are fixed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chord_gate.h"
#include "fuzz_support.h"
#include "host_fixture.h"

namespace {

constexpr int kCases = 2500;
constexpr int kInstances = 13;  // 0000 to 0012; the library looks at 0000 to 0009 only
const std::string kKeyboard = "SYSTEM\\CurrentControlSet\\Enum\\Root\\KEYBOARD";

// Makes the levels down to the KEYBOARD key that are missing and removes them again.
class KeyboardKey {
public:
    KeyboardKey() {
        std::string path;
        for (const char* level : {"SYSTEM\\CurrentControlSet\\Enum", "\\Root", "\\KEYBOARD"}) {
            path += level;
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                &disposition) == ERROR_SUCCESS) {
                RegCloseKey(key);
                if (disposition == REG_CREATED_NEW_KEY) created_.push_back(path);
            }
        }
    }
    ~KeyboardKey() {
        for (auto path = created_.rbegin(); path != created_.rend(); ++path)
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, path->c_str());
    }
    KeyboardKey(const KeyboardKey&) = delete;
    KeyboardKey& operator=(const KeyboardKey&) = delete;

private:
    std::vector<std::string> created_;
};

struct Instance {
    int index;
    bool hasValue;
    const char* valueName;
    DWORD type;
    std::string data;  // exactly the bytes written
};

const DWORD kTypes[] = {REG_MULTI_SZ, REG_MULTI_SZ, REG_MULTI_SZ, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD,
                        REG_NONE,     REG_QWORD,    0x42};
const char* const kFirstIds[] = {"*QV7150", "*qv7150", "*qV7150", "*QV715", "*QV71500", "QV7150", "*QV7150 ",
                                 "*PNP0303", "ACPI\\PNP0303", ""};
const char* const kValueNames[] = {"HardwareID", "HardwareID", "HardwareID", "hardwareid", "CompatibleIDs"};

// Printable ASCII besides the hyphen and apostrophe, which the locale's comparison weighs apart.
char idCharacter(fuzz::Random& random) {
    char c;
    do c = char(random.between(0x20, 0x7E));
    while (c == '-' || c == '\'');
    return c;
}

std::string randomValue(fuzz::Random& random) {
    std::string data = random.chance(0.8) ? random.pick(kFirstIds) : "";
    const int strings = random.between(0, 3);
    for (int s = 0; s < strings; ++s) {
        data += '\0';
        data += random.chance(0.3) ? "*QV7150" : "";
        const int length = random.between(0, 12);
        for (int i = 0; i < length; ++i) data += idCharacter(random);
    }
    data.append(std::size_t(random.between(0, 2)), '\0');  // the multi-string's NULs, or fewer
    if (!data.empty() && random.chance(0.25)) data.resize(std::size_t(random.between(0, int(data.size()))));
    return data;
}

char upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

bool matches(const Instance& instance) {
    if (instance.index > 9 || !instance.hasValue || instance.valueName == kValueNames[4] ||
        instance.type != REG_MULTI_SZ || instance.data.empty())
        return false;
    const std::string first = instance.data.substr(0, instance.data.find('\0'));
    const std::string id = "*QV7150";
    if (first.size() != id.size()) return false;
    for (std::size_t i = 0; i < id.size(); ++i)
        if (upper(first[i]) != id[i]) return false;
    return true;
}

std::string instanceKey(int index) {
    char name[8];
    wsprintfA(name, "%04d", index);
    return kKeyboard + "\\" + name;
}

std::string describe(const std::vector<Instance>& instances) {
    std::string text;
    for (const Instance& instance : instances) {
        text += " [" + std::to_string(instance.index);
        if (instance.hasValue)
            text += std::string(" ") + instance.valueName + " type " + std::to_string(instance.type) + " " +
                    std::to_string(instance.data.size()) + " bytes " + fuzz::printable(instance.data);
        text += "]";
    }
    return text;
}

TEST(RegistryFuzz, RandomDeviceKeysGiveTheAnswerTheirValuesHold) {
    const std::uint32_t seed = fuzz::seed(20261212);
    fuzz::Random random(seed);
    fuzz::CrashReport crashReport;
    ChordGate gate;
    const KeyboardKey keyboard;
    int found = 0;
    for (int n = 0; n < kCases; ++n) {
        std::vector<Instance> instances;
        for (int index = 0; index < kInstances; ++index) {
            if (!random.chance(0.35)) continue;
            Instance instance{index, !random.chance(0.15), random.pick(kValueNames), random.pick(kTypes), {}};
            instance.data = randomValue(random);
            instances.push_back(instance);
        }
        bool expected = false;
        for (const Instance& instance : instances) expected = expected || matches(instance);

        fuzz::currentCase() = "seed " + std::to_string(seed) + " case " + std::to_string(n) + ":" + describe(instances);
        SCOPED_TRACE(fuzz::currentCase());
        for (const Instance& instance : instances) {
            HKEY key = nullptr;
            ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, instanceKey(instance.index).c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            if (instance.hasValue) {
                EXPECT_EQ(RegSetValueExA(key, instance.valueName, 0, instance.type,
                                         reinterpret_cast<const BYTE*>(instance.data.data()), DWORD(instance.data.size())),
                          ERROR_SUCCESS);
            }
            RegCloseKey(key);
        }

        const jlong answer = gate.IsKeyboardDriverInstalled(host().env(), host().receiver());

        for (const Instance& instance : instances)
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, instanceKey(instance.index).c_str());
        ASSERT_EQ(answer, expected ? 1 : 0);
        found += expected;
    }
    EXPECT_TRUE(host().diagnostics().empty());
    EXPECT_NO_JNI_VIOLATIONS();
    std::printf("%d registry layouts (seed %u): %d with the driver's device\n", kCases, seed, found);
}

}  // namespace
