#pragma once
// The tone service thread and the hand-off stream through which Java threads reach the
// keyboard tone component that lives on it.
#include <windows.h>
#include <objidl.h>

#include "service_thread.h"

// Holds the hand-off stream's lock for its lifetime. The stream keeps one marshalled copy of
// IToneDevice; a take and its refill must not interleave with another take, whichever Java
// threads call, or the copy is lost.
class HandOffStreamAccess {
public:
    HandOffStreamAccess();

    IStream*& stream();

private:
    ExclusiveLock lock_;
};

// The code logged for a take from an empty hand-off stream: what the platform answers for a
// null stream, so the code reads the same whether or not the take was attempted.
inline constexpr HRESULT kEmptyHandOffStream = E_INVALIDARG;

// Takes the marshalled interface out of the stream, which is consumed (and emptied) whatever
// the outcome.
HRESULT takeFromHandOffStream(IStream*& stream, REFIID iid, void** proxy);
