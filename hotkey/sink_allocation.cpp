// The sink's allocation in the shipped DLL: the toolchain's (the checked build's can be made to fail).
#include "HotKeyEventSink.h"

void* HotKeyEventSink::operator new(std::size_t size) { return ::operator new(size); }
