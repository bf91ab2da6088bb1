#pragma once
// Detection of the keyboard's driver through the device keys it enters in the registry, and the
// native library path that Java hands over.
#include <cstddef>

// The path that SetNativeLibraryPath stored: 100 bytes, not NUL-terminated when the path filled them.
#ifdef CHORDGATE_PATH_GUARD
// Only for hotkey_path_test and path_and_id_fuzz_test, which compile this file into themselves:
// a guard byte right behind those 100 bytes, which only a write past them can change.
extern char (&szNativeLibraryPath)[100];
inline constexpr unsigned char kNativeLibraryPathGuard = 0xA5;
unsigned char nativeLibraryPathGuard();
#else
extern char szNativeLibraryPath[100];
#endif

// Whether the first string of a REG_MULTI_SZ value equals the driver's hardware identifier,
// letter case aside. Reads nothing beyond size bytes, also when the value carries no NUL.
bool firstHardwareIdMatches(const unsigned char* value, std::size_t size);
