// Linked into the checked build only: the library's allocator, with a switch that makes its next
// allocation fail as it fails when memory runs out, so that a test sees an Init and a play that
// run out of memory answer with their failure values. The shipped DLL keeps the toolchain's
// allocator.
#include <windows.h>

#include <cstdlib>
#include <new>

namespace {
volatile LONG failNextAllocation = 0;
}

extern "C" __declspec(dllexport) void __cdecl TonePortChecked_FailNextAllocation() {
    InterlockedExchange(&failNextAllocation, 1);
}

// The library's operator delete frees with free(), so this pairs with it.
void* operator new(std::size_t size) {
    if (InterlockedExchange(&failNextAllocation, 0)) throw std::bad_alloc();
    for (;;) {
        if (void* memory = std::malloc(size ? size : 1)) return memory;
        const std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}
