// ChordGate.dll's IsKeyboardDriverInstalled over Wine's registry. The cases write device keys
// under HKLM\SYSTEM\CurrentControlSet\Enum\Root\KEYBOARD of the bare prefix and delete them
// again; CTest runs them one at a time, as the key names are fixed.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "chord_gate.h"
#include "host_fixture.h"

namespace {

const std::string kEnumRoot = "SYSTEM\\CurrentControlSet\\Enum";

void deleteTree(const std::string& path) { RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str()); }

// Creates the keys of one device instance level by level and, when it goes, deletes the ones
// it created, so the prefix is left as it was found.
class DeviceKey {
public:
    DeviceKey(const std::string& instance, DWORD type, const std::string& data, bool wide) {
        const std::string levels[] = {"Root", "KEYBOARD", instance};
        std::string path = kEnumRoot;
        for (const std::string& level : levels) {
            path += "\\" + level;
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                &disposition) != ERROR_SUCCESS)
                throw std::runtime_error("cannot create HKLM\\" + path);
            if (disposition == REG_CREATED_NEW_KEY) created_.push_back(path);
            const auto* bytes = reinterpret_cast<const BYTE*>(data.data());
            if (&level == &levels[2] && type != REG_NONE &&
                (wide ? RegSetValueExW(key, L"HardwareID", 0, type, bytes, DWORD(data.size()))
                      : RegSetValueExA(key, "HardwareID", 0, type, bytes, DWORD(data.size()))) != ERROR_SUCCESS) {
                RegCloseKey(key);
                throw std::runtime_error("cannot write HardwareID under HKLM\\" + path);
            }
            RegCloseKey(key);
        }
    }
    ~DeviceKey() {
        for (auto path = created_.rbegin(); path != created_.rend(); ++path) deleteTree(*path);
    }
    DeviceKey(const DeviceKey&) = delete;
    DeviceKey& operator=(const DeviceKey&) = delete;

private:
    std::vector<std::string> created_;
};

struct Device {
    const char* instance;
    DWORD type;         // REG_NONE: the key has no HardwareID value
    std::string data;   // the value's bytes exactly, NULs included
    bool wide = false;  // written as UTF-16 bytes (RegSetValueExW) instead of ANSI
};

// The registry stores strings as UTF-16; a value of an odd number of bytes reads back through
// the ANSI functions without any NUL: these are the first bytes of the UTF-16 form of text.
std::string utf16Bytes(const std::wstring& text, size_t count) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), count);
}

struct DetectionCase {
    const char* name;
    std::vector<Device> devices;
    jlong expected;
};
void PrintTo(const DetectionCase& c, std::ostream* out) { *out << c.name; }

// HardwareID as RegQueryValueExA hands it out (RegGetValue would add NULs of its own).
std::string ansiValue(const std::string& instance) {
    const std::string path = kEnumRoot + "\\Root\\KEYBOARD\\" + instance;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    DWORD size = 0;
    std::string value;
    if (RegQueryValueExA(key, "HardwareID", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        value.resize(size);
        RegQueryValueExA(key, "HardwareID", nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()), &size);
        value.resize(size);
    }
    RegCloseKey(key);
    return value;
}

using namespace std::string_literals;

class KeyboardDetection : public ::testing::TestWithParam<DetectionCase> {
protected:
    void SetUp() override {
        // What a crashed earlier run may have left behind.
        for (const char* instance : {"0000", "0001", "0002", "0003", "0004", "0005", "0006", "0007", "0008", "0009",
                                     "0010", "00010"})
            deleteTree(kEnumRoot + "\\Root\\KEYBOARD\\" + instance);
    }
    void TearDown() override { EXPECT_NO_JNI_VIOLATIONS(); }

    ChordGate gate;
};

TEST_P(KeyboardDetection, FindsTheDriverOnlyAsTheFirstHardwareIdOfInstancesZeroToNine) {
    std::vector<std::unique_ptr<DeviceKey>> keys;
    for (const Device& device : GetParam().devices) {
        keys.push_back(std::make_unique<DeviceKey>(device.instance, device.type, device.data, device.wide));
        if (device.wide) {
            ASSERT_EQ(ansiValue(device.instance).find('\0'), std::string::npos) << "premise: no NUL";
        }
    }
    EXPECT_EQ(gate.IsKeyboardDriverInstalled(host().env(), host().receiver()), GetParam().expected);
    // Every call searches afresh.
    EXPECT_EQ(gate.IsKeyboardDriverInstalled(host().env(), host().receiver()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(, KeyboardDetection, ::testing::Values(
    DetectionCase{"NoDeviceKeys", {}, 0},
    DetectionCase{"LowerCaseFollowedByMoreIds", {{"0003", REG_MULTI_SZ, "*qv7150\0ACPI\\PNP0303\0\0"s}}, 1},
    DetectionCase{"UpperCaseAlone", {{"0000", REG_MULTI_SZ, "*QV7150\0\0"s}}, 1},
    DetectionCase{"PlainStringIsNotCounted", {{"0000", REG_SZ, "*QV7150\0"s}}, 0},
    DetectionCase{"BinaryIsNotCounted", {{"0000", REG_BINARY, "*QV7150\0\0"s}}, 0},
    DetectionCase{"SecondIdIsNotCounted", {{"0000", REG_MULTI_SZ, "ACPI\\PNP0303\0*QV7150\0\0"s}}, 0},
    DetectionCase{"LongerIdIsNotCounted", {{"0000", REG_MULTI_SZ, "*QV7150X\0\0"s}}, 0},
    DetectionCase{"ShorterIdIsNotCounted", {{"0000", REG_MULTI_SZ, "*QV715\0\0"s}}, 0},
    DetectionCase{"IdWithoutAsteriskIsNotCounted", {{"0000", REG_MULTI_SZ, "QV7150\0\0"s}}, 0},
    DetectionCase{"GapBeforeTheMatch", {{"0001", REG_MULTI_SZ, "*QV7150\0\0"s}}, 1},
    DetectionCase{"MatchUnderTheLastInstance",
                  {{"0000", REG_MULTI_SZ, "ACPI\\PNP0303\0\0"s}, {"0004", REG_NONE, ""}, {"0009", REG_MULTI_SZ, "*QV7150\0\0"s}},
                  1},
    DetectionCase{"InstanceTenIsNeverExamined",
                  {{"0010", REG_MULTI_SZ, "*QV7150\0\0"s}, {"00010", REG_MULTI_SZ, "*QV7150\0\0"s}}, 0},
    DetectionCase{"EmptyValueIsSkipped", {{"0000", REG_MULTI_SZ, ""}}, 0},
    DetectionCase{"SearchGoesOnPastEveryKindOfMismatch",
                  {{"0000", REG_MULTI_SZ, ""},
                   {"0001", REG_NONE, ""},
                   {"0002", REG_SZ, "*QV7150\0"s},
                   {"0003", REG_MULTI_SZ, "*QV71500\0\0"s},
                   {"0005", REG_MULTI_SZ, "*QV7150\0\0"s}},
                  1},
    // Values whose bytes carry no NUL at all: the first id ends where the bytes end.
    DetectionCase{"UnterminatedMatch", {{"0000", REG_MULTI_SZ, utf16Bytes(L"*QV7150X", 15), true}}, 1},
    DetectionCase{"UnterminatedPrefix", {{"0000", REG_MULTI_SZ, utf16Bytes(L"*QV7150", 13), true}}, 0},
    DetectionCase{"UnterminatedLonger", {{"0000", REG_MULTI_SZ, utf16Bytes(L"*QV7150XY", 17), true}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
