// Linked into the checked build only: the sink's allocation, with a switch that makes the next one
// fail as it fails when memory runs out, so that a test sees the service thread end its start-up
// with the unexpected-error status.
#include <windows.h>

#include <atomic>
#include <new>

#include "HotKeyEventSink.h"

namespace {
std::atomic<bool> failNextAllocation{false};
}

extern "C" __declspec(dllexport) void __cdecl ChordGateChecked_FailNextAllocation() { failNextAllocation = true; }

void* HotKeyEventSink::operator new(std::size_t size) {
    if (failNextAllocation.exchange(false)) throw std::bad_alloc();
    return ::operator new(size);
}
