#pragma once
// A few bytes that end exactly where an inaccessible page begins, so that code which reads past
// them faults at once instead of reading whatever lies beyond.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>

#include "keyboard_detection.h"

class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t size) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const std::size_t page = info.dwPageSize;
        if (size > page) throw std::invalid_argument("GuardedBytes: more than a page");
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (!base_ || !VirtualProtect(base_ + page, page, PAGE_NOACCESS, &old))
            throw std::runtime_error("GuardedBytes: cannot set up the guard page");
        data_ = base_ + page - size;
    }
    ~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    template <class T>
    T* as() const { return reinterpret_cast<T*>(data_); }

private:
    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
};

// SetNativeLibraryPath's copy into 100 bytes that end right before an inaccessible page: a write
// past them faults.
inline std::string copiedIntoGuardedBytes(const std::string& path) {
    GuardedBytes memory(100);
    std::memset(memory.as<char>(), 'x', 100);
    copyNativeLibraryPath(path.c_str(), *memory.as<char[100]>());
    return std::string(memory.as<char>(), 100);
}
