// IsKeyboardDriverInstalled and SetNativeLibraryPath: no set-up, no COM, no diagnostics.
#include "keyboard_detection.h"

#include <windows.h>

#include <array>
#include <cstring>
#include <memory>
#include <type_traits>
#include <string>
#include <vector>

#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "native_method.h"

// Module state. Kept for the Java side; nothing in the library reads it.
char szNativeLibraryPath[100] = {};

namespace {

constexpr int kDeviceKeysExamined = 10;
constexpr const char kDeviceKeyFormat[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\KEYBOARD\\000%i";
constexpr const char kHardwareIdValue[] = "HardwareID";
constexpr const char kDriverHardwareId[] = "*QV7150";

struct RegistryKeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using RegistryKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegistryKeyCloser>;

bool deviceKeyMatches(int index) {
    std::array<char, 200> keyName{};
    wsprintfA(keyName.data(), kDeviceKeyFormat, index);

    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName.data(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    const RegistryKey key(opened);

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

void copyNativeLibraryPath(const char* path, char (&stored)[100]) noexcept {
    // strncpy's semantics: at most 100 bytes, NUL-padded, no terminator when the path fills them.
    const std::size_t length = strnlen(path, sizeof stored);
    std::memcpy(stored, path, length);
    std::memset(stored + length, 0, sizeof stored - length);
}

// An exception (a failed allocation) ends the search: 0, and nothing logged.
jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_IsKeyboardDriverInstalled(JNIEnv* env, jclass) {
    return nativeMethod(env, nullptr, 0, [] {
        for (int index = 0; index < kDeviceKeysExamined; ++index)
            if (deviceKeyMatches(index)) return jlong{1};
        return jlong{0};
    });
}

jlong JNICALL Java_com_morvane_quorlink_services_keyboard_ChordGate_SetNativeLibraryPath(JNIEnv* env, jclass,
                                                                                          jstring path) {
    return nativeMethod(env, nullptr, 0, [&] {
        // Nothing to copy from a null path, nor from a failed GetStringUTFChars (its
        // OutOfMemoryError stays pending for the Java caller); the stored path is left as it was.
        const char* chars = path ? env->GetStringUTFChars(path, nullptr) : nullptr;
        if (!chars) return jlong{0};
        copyNativeLibraryPath(chars, szNativeLibraryPath);
        env->ReleaseStringUTFChars(path, chars);
        return jlong{0};
    });
}
