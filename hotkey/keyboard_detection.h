#pragma once
// Detection of the keyboard's driver through the device keys it enters in the registry, and the
// native library path that Java hands over.
#include <cstddef>

// The path that SetNativeLibraryPath stored: 100 bytes, not NUL-terminated when the path filled them.
extern char szNativeLibraryPath[100];
// What SetNativeLibraryPath does with the path's bytes (modified UTF-8): copies at most 100 of
// them into stored and pads the rest with NUL; writes nothing past the 100 bytes.
void copyNativeLibraryPath(const char* path, char (&stored)[100]) noexcept;

// Whether the first string of a REG_MULTI_SZ value equals the driver's hardware identifier,
// letter case aside. Reads nothing beyond size bytes, also when the value carries no NUL.
bool firstHardwareIdMatches(const unsigned char* value, std::size_t size);
