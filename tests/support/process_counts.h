#pragma once
// What a process holds, for soak checks: its open handles and its private bytes. Wine 8 answers
// GetProcessHandleCount with 0 and leaves PrivateUsage 0, so each falls back to what Wine does
// fill in: the process's entries in the system handle table, and the pagefile usage (which is the
// private bytes on Windows as well).
#include <windows.h>
#include <winternl.h>
#include <psapi.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "time_scale.h"

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

constexpr wchar_t kUnnamedType[] = L"type number ";

// The process's handles in the system handle table, with their object type's name (or number,
// where Wine gives no name).
inline std::map<USHORT, std::wstring> handleTypes() {
    std::map<USHORT, std::wstring> types;
    std::vector<unsigned char> buffer(1 << 22);
    if (NtQuerySystemInformation(detail::kSystemHandleInformation, buffer.data(), ULONG(buffer.size()), nullptr) != 0)
        return types;
    const auto* table = reinterpret_cast<const detail::HandleTable*>(buffer.data());
    for (ULONG i = 0; i < table->count; ++i) {
        const detail::HandleEntry& entry = table->entries[i];
        if (entry.processId != GetCurrentProcessId()) continue;
        alignas(8) unsigned char info[512] = {};
        const auto* type = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(info);
        const bool named = NtQueryObject(HANDLE(ULONG_PTR(entry.handle)), ObjectTypeInformation, info,
                                         sizeof info - 2, nullptr) == 0 &&
                           type->TypeName.Buffer && type->TypeName.Length;
        types[entry.handle] = named ? std::wstring(type->TypeName.Buffer, type->TypeName.Length / 2)
                                    : kUnnamedType + std::to_wstring(entry.objectType);
    }
    return types;
}

// The handles of objects whose type has a name, the kinds that code opens or creates. Left out
// are Wine's nameless internal objects, such as the message queue that a thread of its RPC
// runtime gets when it posts a call to an apartment; under load the runtime starts one more.
inline long namedHandles() {
    long named = 0;
    for (const auto& [handle, type] : handleTypes()) named += type.rfind(kUnnamedType, 0) != 0;
    return named;
}

// namedHandles(), read again while it differs from expected, for up to about fifteen seconds (on a
// native build), so that a worker's handle the COM runtime holds for a moment past the calls does
// not count. A handle that a library leaked stays and still shows.
inline long namedHandlesOnceSettledAt(long expected) {
    long count = namedHandles();
    for (DWORD read = 0; count != expected && read < 150 * timeScale(); ++read) {
        Sleep(100);
        count = namedHandles();
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
