// What the two simulated components are made of alike, for their own Script, Call and Counts
// types (the *_control.h headers): the state a test scripts and reads, the class object that
// creates by the script, the IMarshal the script asks for, and the copies that refuse a second
// marshalling.
#pragma once

#include "sim_server.h"

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace simserver {

// A component's script, its recorded calls and its counts, behind one lock: tests read and write
// them from their own threads while COM calls the objects on theirs.
template <typename Script, typename Call, typename Counts>
class ComponentState {
public:
    // Holds the state's lock for its scope, and with it the counts. What else a component keeps
    // under that lock (its live objects, their sinks) is guarded by it too.
    class Lock {
    public:
        explicit Lock(ComponentState& state) : state_(state) { AcquireSRWLockExclusive(&state_.lock_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        ~Lock() { ReleaseSRWLockExclusive(&state_.lock_); }

        Counts& counts() { return state_.counts_; }
        // A new component object: its id (1, 2, ... since load), counted live and created, with
        // its first reference.
        uint32_t countCreated()
        {
            state_.counts_.liveObjects++;
            state_.counts_.objectsCreated++;
            state_.counts_.outstandingRefs++;
            return ++state_.lastObjectId_;
        }

    private:
        ComponentState& state_;
    };

    uint32_t countCreated()
    {
        Lock lock(*this);
        return lock.countCreated();
    }

    Script script()
    {
        Lock lock(*this);
        return script_;
    }

    // Keeps a call, stamped with what every call records; out of memory, it goes unrecorded
    // rather than throwing into COM.
    void record(Call call, int32_t method, uint32_t objectId, HRESULT result)
    {
        call.method = method;
        call.result = result;
        call.threadId = GetCurrentThreadId();
        call.objectId = objectId;
        Lock lock(*this);
        try {
            calls_.push_back(call);
        } catch (...) {
        }
    }

    // Counts a call made on an object's own pointer on another thread than owner, the one that
    // created it. COM delivers a proxy's calls on the owner, so only a call that bypassed COM's
    // apartment rule is counted.
    void checkThread(DWORD owner)
    {
        if (GetCurrentThreadId() == owner)
            return;
        Lock lock(*this);
        counts_.wrongThreadCalls++;
    }

    // Live objects and outstanding references, changed by these.
    void count(int32_t objects, int32_t references)
    {
        Lock lock(*this);
        counts_.liveObjects += objects;
        counts_.outstandingRefs += references;
    }

    // The scripted failure of a marshalling, E_UNEXPECTED once the script has none left.
    HRESULT marshalFailure(HRESULT Script::*field)
    {
        const HRESULT scripted = script().*field;
        return FAILED(scripted) ? scripted : E_UNEXPECTED;
    }

    // The control exports: <Component>_Reset, _SetScript, _GetCalls and _GetCounts.
    void reset()
    {
        Lock lock(*this);
        script_ = Script{};
        calls_.clear();
        counts_.objectsCreated = 0;
        counts_.wrongThreadCalls = 0;
        counts_.creationsBegun = 0;
    }
    void setScript(const Script* script)
    {
        if (!script)
            return;
        Lock lock(*this);
        script_ = *script;
    }
    int32_t copyCalls(Call* calls, int32_t capacity)
    {
        Lock lock(*this);
        for (size_t i = 0; calls && capacity > 0 && i < calls_.size() && i < static_cast<size_t>(capacity); ++i)
            calls[i] = calls_[i];
        return static_cast<int32_t>(calls_.size());
    }
    void copyCounts(Counts* counts)
    {
        if (!counts)
            return;
        Lock lock(*this);
        *counts = counts_;
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    Script script_;
    std::vector<Call> calls_;
    Counts counts_{};
    uint32_t lastObjectId_ = 0;
};

// The component's class object. A creation follows the script: it waits createDelayMs, then a
// failing createResult is its answer (recorded for object 0); else it makes an Object, answers
// iid on it and returns createResult, a success code the script may choose.
template <typename Object, typename State>
class ScriptedClassFactory final : public StaticClassFactory {
public:
    using RecordCreation = void (*)(uint32_t objectId, HRESULT result);

    ScriptedClassFactory(State& state, RecordCreation record) : state_(state), record_(record) {}
    ScriptedClassFactory(const ScriptedClassFactory&) = delete;
    ScriptedClassFactory& operator=(const ScriptedClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        const auto script = state_.script();
        {
            typename State::Lock lock(state_);
            lock.counts().creationsBegun++;
        }
        if (script.createDelayMs)
            Sleep(script.createDelayMs);
        if (FAILED(script.createResult)) {
            record_(0, script.createResult);
            return script.createResult;
        }
        Object* created = nullptr;
        try {
            created = new Object;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        HRESULT result = created->QueryInterface(iid, object);
        if (SUCCEEDED(result))
            result = script.createResult;
        record_(created->id(), result);
        created->Release();
        return result;
    }

private:
    State& state_;
    const RecordCreation record_;
};

// The IMarshal a component's object offers as its script says: under a failing marshalResult the
// object's face that refuses every marshalling, under a failing remarshalResult one that marshals
// the object by unmarshalClass (queryStandardDataMarshal); else none, and COM marshals it the
// standard way.
template <typename Script, typename Owner>
HRESULT queryScriptedMarshal(const Script& script, FailingMarshal<Owner>& refusing, IUnknown* object,
                             uint32_t objectId, const CLSID& unmarshalClass, void** marshal)
{
    *marshal = nullptr;
    if (FAILED(script.marshalResult)) {
        refusing.AddRef();
        *marshal = &refusing;
        return S_OK;
    }
    if (FAILED(script.remarshalResult))
        return queryStandardDataMarshal(object, objectId, unmarshalClass, marshal);
    return E_NOINTERFACE;
}

// What a copy marshalled under script.remarshalResult unmarshals into, in the caller's apartment:
// Copy forwards every method of Interface through the standard proxy inside (proxy_) to the
// object on its own thread, but marshalling the copy again fails with Copy::refuseRemarshal(id).
// Counted as a live object with its references (Copy::countCopy), so tests see it released; its
// destruction is not recorded, it is not a component. Other interfaces than Interface are not
// forwarded: the copy keeps a COM identity of its own.
template <typename Copy, typename Interface>
class RemarshalRefusingCopy : public RefCounted<Copy, Interface> {
public:
    // The WrapProxy of the component's UnmarshalClassFactory.
    static HRESULT wrap(IUnknown* proxy, uint32_t objectId, REFIID iid, void** object)
    {
        Microsoft::WRL::ComPtr<Interface> forwarded;
        HRESULT result = proxy->QueryInterface(IID_PPV_ARGS(&forwarded));
        if (FAILED(result))
            return result;
        Copy* copy = new (std::nothrow) Copy(std::move(forwarded), objectId);
        if (!copy)
            return E_OUTOFMEMORY;
        result = copy->QueryInterface(iid, object);
        copy->Release();
        return result;
    }

    RemarshalRefusingCopy(Microsoft::WRL::ComPtr<Interface> proxy, uint32_t objectId)
        : proxy_(std::move(proxy)), id_(objectId)
    {
        Copy::countCopy(+1, +1);
    }
    RemarshalRefusingCopy(const RemarshalRefusingCopy&) = delete;
    RemarshalRefusingCopy& operator=(const RemarshalRefusingCopy&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface)))
            *object = static_cast<Interface*>(this);
        else if (IsEqualIID(iid, IID_IMarshal))
            *object = &marshal_;
        else
            return E_NOINTERFACE;
        this->AddRef();
        return S_OK;
    }

    // For RefCounted and FailingMarshal.
    void countReference(int32_t change) { Copy::countCopy(0, change); }
    HRESULT refuseMarshal() const { return Copy::refuseRemarshal(id_); }

protected:
    ~RemarshalRefusingCopy() { Copy::countCopy(-1, 0); }

    const Microsoft::WRL::ComPtr<Interface> proxy_;

private:
    const uint32_t id_;
    FailingMarshal<RemarshalRefusingCopy> marshal_{*this};
};

} // namespace simserver
