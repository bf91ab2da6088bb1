// HotKeyEventSink driven through its COM interface pointers, as the keyboard hot-key component
// and COM call it. The sink is compiled into this program; a replacement operator delete tells
// when it frees itself.
#include <gtest/gtest.h>

#include <ocidl.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "HotKeyEventSink.h"
#include "guarded_memory.h"
#include "hotkey_service.h"

// The program's allocator, so that a test sees which block the last delete freed.
namespace {
void* lastFreed = nullptr;
}

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    lastFreed = p;
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

struct HotKeyHit {
    std::int32_t first, second, third;
    bool operator==(const HotKeyHit& o) const { return first == o.first && second == o.second && third == o.third; }
};
std::vector<HotKeyHit> hits;
std::vector<std::int32_t> statuses;

void recordHit(std::int32_t first, std::int32_t second, std::int32_t third) { hits.push_back({first, second, third}); }
void recordStatus(std::int32_t status) { statuses.push_back(status); }

// The component's view of the sink: what Advise received.
class EventSink : public ::testing::Test {
protected:
    void SetUp() override {
        hits.clear();
        statuses.clear();
        sink = new HotKeyEventSink();
        sink->SetCallbacks(recordHit, recordStatus);
        ASSERT_EQ(sink->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
        ASSERT_EQ(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    }
    void TearDown() override {
        // Every test gives back exactly the two references it started with.
        EXPECT_EQ(dispatch->Release(), 1u);
        EXPECT_EQ(unknown->Release(), 0u);
        EXPECT_EQ(lastFreed, static_cast<void*>(sink));
    }

    ULONG count() {
        unknown->AddRef();
        return unknown->Release();
    }

    HRESULT invoke(DISPID id, DISPPARAMS* params) {
        return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, nullptr, nullptr, nullptr);
    }

    HotKeyEventSink* sink = nullptr;
    IUnknown* unknown = nullptr;
    IDispatch* dispatch = nullptr;
};

// --- identity and reference counting -------------------------------------------------------

TEST_F(EventSink, AnswersItsThreeInterfacesWithOnePointerAndOneReferenceEach) {
    for (const IID& iid : {IID_IUnknown, IID_IDispatch, IID_IHotKeyEvents}) {
        const ULONG before = count();
        void* out = nullptr;
        ASSERT_EQ(dispatch->QueryInterface(iid, &out), S_OK);
        EXPECT_EQ(out, static_cast<void*>(unknown));
        EXPECT_EQ(count(), before + 1);
        static_cast<IUnknown*>(out)->Release();
    }
}

TEST_F(EventSink, RefusesOtherInterfacesWithNullAndNoReference) {
    for (const IID& iid : {IID_IConnectionPoint, IID_IConnectionPointContainer, IID_IHotKeyService, IID_ISoftKey,
                           IID_ITypeInfo, IID_NULL}) {
        const ULONG before = count();
        void* out = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(unknown->QueryInterface(iid, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(count(), before);
    }
    EXPECT_EQ(unknown->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(count(), 2u);
}

TEST(EventSinkLifetime, FirstAddRefIsOneAndTheLastReleaseFreesTheSink) {
    auto* sink = new HotKeyEventSink();
    IUnknown* unknown = sink;
    lastFreed = nullptr;
    EXPECT_EQ(unknown->AddRef(), 1u);
    EXPECT_EQ(unknown->AddRef(), 2u);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(lastFreed, nullptr);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(lastFreed, static_cast<void*>(sink));
}

// A listener that cleans up from within its call lets go of the sink's last references while
// Invoke is on the stack: the sink is freed only once Invoke has returned.
IDispatch* heldOnlyByTheCall = nullptr;
bool freedDuringTheCall = true;
void releaseTheLastReference(std::int32_t) {
    lastFreed = nullptr;
    heldOnlyByTheCall->Release();
    freedDuringTheCall = lastFreed != nullptr;
}

TEST(EventSinkLifetime, ALastReleaseDuringInvokeFreesTheSinkAfterTheCall) {
    auto* sink = new HotKeyEventSink();
    sink->SetCallbacks(nullptr, releaseTheLastReference);
    ASSERT_EQ(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&heldOnlyByTheCall)), S_OK);
    DISPPARAMS none{};
    lastFreed = nullptr;
    EXPECT_EQ(heldOnlyByTheCall->Invoke(kKeyboardDetachedEvent, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none,
                                        nullptr, nullptr, nullptr),
              S_OK);
    EXPECT_FALSE(freedDuringTheCall);
    EXPECT_EQ(lastFreed, static_cast<void*>(sink));
}

// Clean-up releases from another thread than the one events arrive on.
TEST_F(EventSink, CountsReferencesTakenOnTwoThreadsAtOnce) {
    constexpr int kRounds = 200000;
    auto churn = [this] {
        for (int i = 0; i < kRounds; ++i) {
            unknown->AddRef();
            unknown->Release();
            unknown->AddRef();
        }
    };
    std::thread other(churn);
    churn();
    other.join();
    EXPECT_EQ(count(), 2u + 2 * kRounds);
    for (int i = 0; i < 2 * kRounds; ++i) unknown->Release();
}

// --- type information and names ------------------------------------------------------------

TEST_F(EventSink, HasNoTypeInformation) {
    UINT typeInfoCount = 5;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&typeInfoCount), S_OK);
    EXPECT_EQ(typeInfoCount, 0u);
    for (UINT index : {0u, 1u, 100u}) {
        ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1234);
        EXPECT_EQ(dispatch->GetTypeInfo(index, LOCALE_USER_DEFAULT, &info), E_NOTIMPL);
        EXPECT_EQ(info, nullptr);
    }
}

struct NameCase {
    const wchar_t* name;
    HRESULT result;
};
void PrintTo(const NameCase& c, std::ostream* out) {
    *out << '"';
    for (const wchar_t* p = c.name; *p; ++p)
        if (*p < 0x80) *out << char(*p); else *out << "\\u" << std::hex << unsigned(*p) << std::dec;
    *out << '"';
}

class EventSinkNames : public EventSink, public ::testing::WithParamInterface<NameCase> {};

TEST_P(EventSinkNames, ResolveHotKeyHitOnlyWithAsciiLettersFolded) {
    std::wstring text = GetParam().name;
    LPOLESTR names[] = {text.data()};
    DISPID id = 0x55;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), GetParam().result);
    EXPECT_EQ(id, GetParam().result == S_OK ? DISPID(kHotKeyHitEvent) : 0x55);
}

INSTANTIATE_TEST_SUITE_P(, EventSinkNames, ::testing::Values(
    NameCase{L"HotKeyHit", S_OK},
    NameCase{L"hotkeyhit", S_OK},
    NameCase{L"HOTKEYHIT", S_OK},
    NameCase{L"hOtKeYhIt", S_OK},
    NameCase{L"HotKeyHits", DISP_E_UNKNOWNNAME},
    NameCase{L"HotKeyHi", DISP_E_UNKNOWNNAME},
    NameCase{L"KBFailed", DISP_E_UNKNOWNNAME},
    NameCase{L"", DISP_E_UNKNOWNNAME},
    NameCase{L"Hot KeyHit", DISP_E_UNKNOWNNAME},
    NameCase{L"Hot\u212AeyHit", DISP_E_UNKNOWNNAME},    // KELVIN SIGN, which Unicode folds to k
    NameCase{L"HotKeyH\u0130t", DISP_E_UNKNOWNNAME},    // capital I with dot above
    NameCase{L"HotKeyHit\u00A0", DISP_E_UNKNOWNNAME}));

TEST_F(EventSink, RefusesMoreThanOneNameAndReadsNoNameForNone) {
    std::wstring first = L"HotKeyHit", second = L"KBFailed";
    LPOLESTR names[] = {first.data(), second.data()};
    DISPID ids[2] = {0x55, 0x55};
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids), E_INVALIDARG);
    EXPECT_EQ(ids[0], 0x55);
    EXPECT_EQ(ids[1], 0x55);
    // No name and no identifier to read or write: both arrays end at an inaccessible page.
    GuardedBytes noNames(0), noIds(0);
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, noNames.as<LPOLESTR>(), 0, LOCALE_USER_DEFAULT, noIds.as<DISPID>()),
              E_INVALIDARG);
}

// --- events --------------------------------------------------------------------------------

// The arguments as the component passes them: last first.
struct Arguments {
    Arguments(std::initializer_list<std::int32_t> declared) : values(declared.size()) {
        auto value = declared.begin();
        for (auto slot = values.rbegin(); slot != values.rend(); ++slot, ++value) {
            slot->vt = VT_I4;
            slot->lVal = *value;
        }
        params.rgvarg = values.data();
        params.cArgs = UINT(values.size());
    }
    std::vector<VARIANT> values;
    DISPPARAMS params{};
};

TEST_F(EventSink, HotKeyHitPassesTheValuesInDeclarationOrder) {
    Arguments args{7, -1, 300};
    EXPECT_EQ(invoke(kHotKeyHitEvent, &args.params), S_OK);
    EXPECT_EQ(hits, (std::vector<HotKeyHit>{{7, -1, 300}}));
    EXPECT_TRUE(statuses.empty());
}

TEST_F(EventSink, StatusEventsPassTheirNumberWhateverArgumentsCome) {
    Arguments none{}, some{1, 2, 3, 4};
    for (DISPPARAMS* params : {&none.params, &some.params, static_cast<DISPPARAMS*>(nullptr)}) {
        statuses.clear();
        EXPECT_EQ(invoke(kKeyboardFailedEvent, params), S_OK);
        EXPECT_EQ(invoke(kKeyboardDetachedEvent, params), S_OK);
        EXPECT_EQ(statuses, (std::vector<std::int32_t>{2, 3}));
    }
    EXPECT_TRUE(hits.empty());
}

TEST_F(EventSink, OtherIdentifiersAreUnknownAndCallNothing) {
    Arguments args{7, -1, 300};
    for (DISPID id : {0, 4, -1, DISPID_VALUE, 0x7FFFFFFF})
        EXPECT_EQ(invoke(id, &args.params), DISP_E_UNKNOWNINTERFACE) << id;
    EXPECT_TRUE(hits.empty());
    EXPECT_TRUE(statuses.empty());
}

TEST_F(EventSink, WithoutCallbacksEveryEventIsANoOp) {
    sink->SetCallbacks(nullptr, nullptr);
    Arguments args{7, -1, 300};
    for (DISPID id : {kHotKeyHitEvent, kKeyboardFailedEvent, kKeyboardDetachedEvent})
        EXPECT_EQ(invoke(id, &args.params), S_OK) << id;
    EXPECT_TRUE(hits.empty());
    EXPECT_TRUE(statuses.empty());
}

// A hit that brings fewer than three values is refused: there is nothing sound to pass on, and
// the array ends where the arguments end.
TEST_F(EventSink, HotKeyHitWithFewerThanThreeArgumentsReadsNothingAndCallsNothing) {
    for (UINT count : {0u, 1u, 2u}) {
        GuardedBytes memory(count * sizeof(VARIANT));
        VARIANT* values = memory.as<VARIANT>();
        for (UINT i = 0; i < count; ++i) {
            values[i].vt = VT_I4;
            values[i].lVal = 9;
        }
        DISPPARAMS params{values, nullptr, count, 0};
        EXPECT_EQ(invoke(kHotKeyHitEvent, &params), DISP_E_BADPARAMCOUNT) << count;
    }
    DISPPARAMS noArray{nullptr, nullptr, 3, 0};
    EXPECT_EQ(invoke(kHotKeyHitEvent, &noArray), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(invoke(kHotKeyHitEvent, nullptr), DISP_E_BADPARAMCOUNT);
    EXPECT_TRUE(hits.empty());
}

}  // namespace
