#pragma once
// The hand-off stream: one marshalled copy of the component's interface, through which threads
// other than the service thread reach the component.
//
//   HandOffStream<IToneDevice> handOff(IID_IToneDevice, FailedTake::ConsumesTheStream);
//   handOff.publish(component);                     // on the service thread, at start-up
//   auto borrowed = handOff.borrow();               // on a caller's thread, in its apartment
//   if (SUCCEEDED(borrowed.taken) && SUCCEEDED(borrowed.refilled)) borrowed.proxy->PlayTone(...);
//
// Whoever takes the copy out puts a fresh one back, under the stream's own lock, so that two
// callers never interleave a take and a refill and lose the copy; the lock is never held across
// the component's call. A failed refill leaves the stream empty, and every later take fails with
// kEmptyHandOffStream. Failures come back as values: each library keeps its own diagnostics.
#include <windows.h>
#include <objbase.h>

#include <utility>

#include <wrl/client.h>

#include "win_resources.h"

// A take from an empty stream answers what the platform answers for a null stream, so the code
// logged reads the same whether or not the take was attempted.
inline constexpr HRESULT kEmptyHandOffStream = E_INVALIDARG;

// What a take that fails does with the stream: consumes it, as CoGetInterfaceAndReleaseStream
// does (TonePort), or leaves it for the next caller (ChordGate).
enum class FailedTake { ConsumesTheStream, KeepsTheStream };

template <class Interface>
class HandOffStream {
public:
    struct Borrowed {
        HRESULT taken = S_OK;     // the take from the stream
        HRESULT refilled = S_OK;  // the fresh copy put back; set only after a successful take
        // For one call, when both succeeded. Released by the caller, outside the lock: releasing a
        // proxy calls the service thread, which may be waiting for the lock to revoke the stream.
        Microsoft::WRL::ComPtr<Interface> proxy;
    };

    HandOffStream(REFIID iid, FailedTake failedTake) : iid_(iid), failedTake_(failedTake) {}
    ~HandOffStream() {
        if (stream_) stream_->Release();
    }
    HandOffStream(const HandOffStream&) = delete;
    HandOffStream& operator=(const HandOffStream&) = delete;

    // On the service thread, with the component it made; a failure leaves the stream empty.
    HRESULT publish(Interface* component) {
        ExclusiveLock locked(lock_);
        return CoMarshalInterThreadInterfaceInStream(iid_, component, &stream_);
    }

    // Takes the copy out and puts a fresh one back for the next caller.
    Borrowed borrow() {
        Borrowed borrowed;
        ExclusiveLock locked(lock_);
        borrowed.taken = take(borrowed.proxy);
        if (FAILED(borrowed.taken)) return borrowed;
        borrowed.refilled = CoMarshalInterThreadInterfaceInStream(iid_, borrowed.proxy.Get(), &stream_);
        return borrowed;
    }

    // Takes the last copy out for good (a clean-up on a caller's thread).
    HRESULT takeBack(Microsoft::WRL::ComPtr<Interface>& proxy) {
        ExclusiveLock locked(lock_);
        return take(proxy);
    }

    // On the service thread, at tear-down: gives back the reference the marshalled copy holds,
    // then the stream, so that no caller can take the copy any more.
    void revoke() {
        IStream* stream = nullptr;
        {
            ExclusiveLock locked(lock_);
            stream = std::exchange(stream_, nullptr);
        }
        if (!stream) return;
        const LARGE_INTEGER start{};
        stream->Seek(start, STREAM_SEEK_SET, nullptr);
        CoReleaseMarshalData(stream);
        stream->Release();
    }

private:
    // The lock is held.
    HRESULT take(Microsoft::WRL::ComPtr<Interface>& proxy) {
        proxy.Reset();
        if (!stream_) return kEmptyHandOffStream;
        const HRESULT hr = CoUnmarshalInterface(stream_, iid_, reinterpret_cast<void**>(proxy.GetAddressOf()));
        if (SUCCEEDED(hr) || failedTake_ == FailedTake::ConsumesTheStream) std::exchange(stream_, nullptr)->Release();
        return hr;
    }

    const IID iid_;
    const FailedTake failedTake_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    IStream* stream_ = nullptr;
};
