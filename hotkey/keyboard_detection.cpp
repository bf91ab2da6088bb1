// IsKeyboardDriverInstalled and SetNativeLibraryPath: no set-up, no COM, no diagnostics.
#include "keyboard_detection.h"

#include <windows.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "com_morvane_quorlink_services_keyboard_ChordGate.h"

// Module state. Kept for the Java side; nothing in the library reads it.
#ifdef CHORDGATE_PATH_GUARD
namespace {
struct {
    char path[100];
    volatile unsigned char guard;
} guardedNativeLibraryPath{{}, kNativeLibraryPathGuard};
}  // namespace
char (&szNativeLibraryPath)[100] = guardedNativeLibraryPath.path;
unsigned char nativeLibraryPathGuard() { return guardedNativeLibraryPath.guard; }
#else
char szNativeLibraryPath[100] = {};
#endif

namespace {

constexpr int kDeviceKeysExamined = 10;
constexpr const char kDeviceKeyFormat[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\KEYBOARD\\000%i";
constexpr const char kHardwareIdValue[] = "HardwareID";
constexpr const char kDriverHardwareId[] = "*QV7150";

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (key_) RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    PHKEY receive() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

bool deviceKeyMatches(int index) {
    std::array<char, 200> keyName{};
    wsprintfA(keyName.data(), kDeviceKeyFormat, index);

    RegistryKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.data(), 0, KEY_READ, key.receive()) != ERROR_SUCCESS)
        return false;

    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), kHardwareIdValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || size == 0)
        return false;

    std::vector<unsigned char> value(size);
    if (RegQueryValueExA(key.get(), kHardwareIdValue, nullptr, &type, value.data(), &size) != ERROR_SUCCESS)
        return false;
    // The second read may report fewer bytes than the first; only those were written.
    return firstHardwareIdMatches(value.data(), size);
}

}  // namespace

bool firstHardwareIdMatches(const unsigned char* value, std::size_t size) {
    const void* end = std::memchr(value, '\0', size);
    const std::size_t length = end ? std::size_t(static_cast<const unsigned char*>(end) - value) : size;
    const std::string firstId(reinterpret_cast<const char*>(value), length);
    return lstrcmpiA(firstId.c_str(), kDriverHardwareId) == 0;
}

jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_IsKeyboardDriverInstalled(JNIEnv*, jclass) {
    try {
        for (int index = 0; index < kDeviceKeysExamined; ++index)
            if (deviceKeyMatches(index)) return 1;
        return 0;
    } catch (...) {
        return 0;
    }
}

jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_SetNativeLibraryPath(JNIEnv* env, jclass,
                                                                                          jstring path) {
    // Nothing to copy from a null path, nor from a failed GetStringUTFChars (its
    // OutOfMemoryError stays pending for the Java caller); the stored path is left as it was.
    if (!path) return 0;
    const char* chars = env->GetStringUTFChars(path, nullptr);
    if (!chars) return 0;
    // strncpy's semantics: at most 100 bytes, NUL-padded, no terminator when the path fills them.
    const std::size_t length = strnlen(chars, sizeof szNativeLibraryPath);
    std::memcpy(szNativeLibraryPath, chars, length);
    std::memset(szNativeLibraryPath + length, 0, sizeof szNativeLibraryPath - length);
    env->ReleaseStringUTFChars(path, chars);
    return 0;
}
