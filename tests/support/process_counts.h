#pragma once
// What a process holds, for soak checks: its open handles and its private bytes. Wine 8 answers
// GetProcessHandleCount with 0 and leaves PrivateUsage 0, so each falls back to what Wine does
// fill in: the process's entries in the system handle table, and the pagefile usage (which is the
// private bytes on Windows as well).
#include <windows.h>
#include <winternl.h>
#include <psapi.h>

#include <cstddef>
#include <vector>

namespace process_counts {

namespace detail {
// SystemHandleInformation's entries, as both Windows and Wine lay them out.
struct HandleEntry {
    ULONG processId;
    UCHAR objectType;
    UCHAR flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
}  // namespace detail

// -1 when neither way gives an answer.
inline long handles() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return long(count);
    std::vector<unsigned char> buffer(1 << 20);
    for (int attempt = 0; attempt < 6; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status = NtQuerySystemInformation(detail::kSystemHandleInformation, buffer.data(),
                                                         ULONG(buffer.size()), &needed);
        if (status == 0) {
            const auto* table = reinterpret_cast<const detail::HandleTable*>(buffer.data());
            long own = 0;
            for (ULONG i = 0; i < table->count; ++i) own += table->entries[i].processId == GetCurrentProcessId();
            return own;
        }
        buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
    }
    return -1;
}

// handles(), read again while it differs from expected, for up to about five seconds: the COM
// runtime's worker threads hold handles of their own for a moment, which under load a single
// read can catch. A handle that a library leaked stays and still shows.
inline long handlesOnceSettledAt(long expected) {
    long count = handles();
    for (int read = 0; count != expected && read < 50; ++read) {
        Sleep(100);
        count = handles();
    }
    return count;
}

inline std::size_t privateBytes() {
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                              sizeof memory))
        return 0;
    return memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
}

}  // namespace process_counts
