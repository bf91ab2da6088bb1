// Bad input for HotKeyEventSink, compiled into this program and driven through its IDispatch:
// seeded random DISPPARAMS shapes for Invoke and random inputs for GetIDsOfNames. Every array and
// string the sink is handed ends exactly at an inaccessible page, so a read past it faults; the
// out-parameters it must not write are filled with a sentinel and checked.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HotKeyEventSink.h"
#include "fuzz_support.h"
#include "guarded_memory.h"
#include "hotkey_service.h"

namespace {

constexpr int kInvokeCases = 5000;
constexpr int kNameCases = 5000;
constexpr unsigned char kSentinel = 0xA5;

struct Recorded {
    int hits = 0;
    std::int32_t values[3] = {};
    int statuses = 0;
    std::int32_t status = 0;
};
Recorded recorded;

void recordHit(std::int32_t a, std::int32_t b, std::int32_t c) {
    ++recorded.hits;
    recorded.values[0] = a;
    recorded.values[1] = b;
    recorded.values[2] = c;
}
void recordStatus(std::int32_t status) {
    ++recorded.statuses;
    recorded.status = status;
}

// The sink as the component sees it: a fresh one per case, handed over through IDispatch.
class Sink {
public:
    Sink(HotKeyCallback hit, StatusCallback status) {
        auto* sink = new HotKeyEventSink();
        sink->SetCallbacks(hit, status);
        sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch_));
    }
    ~Sink() { dispatch_->Release(); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    IDispatch* operator->() const { return dispatch_; }

private:
    IDispatch* dispatch_ = nullptr;
};

// A guarded block of count items, each byte the sentinel; null when the case wants no block.
template <class T>
class Block {
public:
    Block(std::size_t count, bool present) {
        if (!present) return;
        memory_ = std::make_unique<GuardedBytes>(count * sizeof(T));
        std::memset(memory_->as<unsigned char>(), kSentinel, count * sizeof(T));
        size_ = count * sizeof(T);
    }
    T* get() const { return memory_ ? memory_->as<T>() : nullptr; }
    bool untouched() const {
        for (std::size_t i = 0; i < size_; ++i)
            if (memory_->as<unsigned char>()[i] != kSentinel) return false;
        return true;
    }

private:
    std::unique_ptr<GuardedBytes> memory_;
    std::size_t size_ = 0;
};

// --- Invoke ----------------------------------------------------------------------------------

const VARTYPE kTypes[] = {VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R8, VT_BSTR, VT_DISPATCH, VT_BOOL, VT_UNKNOWN,
                          VT_UI4, VT_I8, VT_ERROR, VT_I4 | VT_BYREF, VT_VARIANT | VT_BYREF, VT_ARRAY | VT_I4};
const DISPID kDispids[] = {1, 1, 1, 2, 3, 0, -1, 4, DISPID_PROPERTYPUT, DISPID_NEWENUM, 0x7FFFFFFF};

TEST(SinkInvokeFuzz, RandomDispParamsReadOnlyTheArgumentsThatCame) {
    const std::uint32_t seed = fuzz::seed(20261208);
    fuzz::Random random(seed);
    fuzz::CrashReport crashReport;
    int hitsDelivered = 0, refused = 0;
    for (int n = 0; n < kInvokeCases; ++n) {
        const DISPID dispid = random.chance(0.1) ? DISPID(random.bits()) : random.pick(kDispids);
        const bool hasParams = !random.chance(0.05);
        const UINT cArgs = UINT(random.chance(0.8) ? random.between(0, 8) : random.between(9, 64));
        const bool hasArgs = !random.chance(0.1);
        const UINT cNamed = UINT(random.chance(0.7) ? 0 : random.between(1, 3));
        const bool hasNamed = random.chance(0.5);
        const bool hitCallback = !random.chance(0.1), statusCallback = !random.chance(0.1);

        Block<VARIANT> args(cArgs, hasArgs);
        for (UINT i = 0; hasArgs && i < cArgs; ++i) {
            auto* bytes = reinterpret_cast<unsigned char*>(&args.get()[i]);
            for (std::size_t b = 0; b < sizeof(VARIANT); ++b) bytes[b] = static_cast<unsigned char>(random.bits());
            args.get()[i].vt = random.chance(0.1) ? VARTYPE(random.bits()) : random.pick(kTypes);
        }
        Block<DISPID> named(cNamed, hasNamed && cNamed > 0);
        Block<DISPPARAMS> params(1, hasParams);
        if (hasParams) *params.get() = DISPPARAMS{args.get(), named.get(), cArgs, cNamed};
        Block<VARIANT> result(1, random.chance(0.5));
        Block<EXCEPINFO> excepInfo(1, random.chance(0.5));
        Block<UINT> argErr(1, random.chance(0.5));
        IID iid = IID_NULL;
        if (random.chance(0.2)) iid.Data1 = random.bits();

        fuzz::currentCase() = "seed " + std::to_string(seed) + " case " + std::to_string(n) + ": dispid " +
                              std::to_string(dispid) + ", params " + (hasParams ? "yes" : "null") + ", cArgs " +
                              std::to_string(cArgs) + (hasArgs ? "" : " with a null rgvarg") + ", cNamedArgs " +
                              std::to_string(cNamed);
        SCOPED_TRACE(fuzz::currentCase());
        recorded = {};
        HRESULT hr;
        {
            Sink sink(hitCallback ? recordHit : nullptr, statusCallback ? recordStatus : nullptr);
            hr = sink->Invoke(dispid, iid, LCID(random.bits()), WORD(random.bits()), params.get(), result.get(),
                              excepInfo.get(), argErr.get());
        }

        const bool threeArguments = hasParams && hasArgs && cArgs >= 3;
        switch (dispid) {
        case kHotKeyHitEvent:
            ASSERT_EQ(hr, threeArguments ? S_OK : DISP_E_BADPARAMCOUNT);
            ASSERT_EQ(recorded.hits, threeArguments && hitCallback ? 1 : 0);
            if (recorded.hits) {
                ASSERT_EQ(recorded.values[0], args.get()[2].lVal);
                ASSERT_EQ(recorded.values[1], args.get()[1].lVal);
                ASSERT_EQ(recorded.values[2], args.get()[0].lVal);
                ++hitsDelivered;
            }
            refused += !threeArguments;
            ASSERT_EQ(recorded.statuses, 0);
            break;
        case kKeyboardFailedEvent:
        case kKeyboardDetachedEvent:
            ASSERT_EQ(hr, S_OK);
            ASSERT_EQ(recorded.statuses, statusCallback ? 1 : 0);
            if (recorded.statuses) {
                ASSERT_EQ(recorded.status, dispid);
            }
            ASSERT_EQ(recorded.hits, 0);
            break;
        default:
            ASSERT_EQ(hr, DISP_E_UNKNOWNINTERFACE);
            ASSERT_EQ(recorded.hits + recorded.statuses, 0);
        }
        ASSERT_TRUE(result.untouched() && excepInfo.untouched() && argErr.untouched()) << "an out-parameter was written";
        ASSERT_TRUE(named.untouched()) << "the named-argument ids were written";
    }
    std::printf("%d Invoke cases (seed %u): %d hits delivered, %d hits refused for want of arguments\n",
                kInvokeCases, seed, hitsDelivered, refused);
}

// --- GetIDsOfNames -----------------------------------------------------------------------------

// Names near "HotKeyHit" and far from it: letters flipped in case, changed, added or dropped,
// look-alikes outside ASCII, and random text.
std::wstring randomName(fuzz::Random& random) {
    static const wchar_t kOdd[] = {0x212A, 0x0130, 0x0131, 0xFF28, 0x00A0, 0x0000, 0xD800, 0xDC00, 0xFFFF, 0x017F};
    std::wstring name;
    if (random.chance(0.2)) {
        const int length = random.between(0, 40);
        for (int i = 0; i < length; ++i) name += wchar_t(random.chance(0.7) ? random.between(0x21, 0x7E) : random.bits());
    } else {
        name = L"HotKeyHit";
        for (wchar_t& c : name)
            if (random.chance(0.5)) c = wchar_t(c >= L'a' ? c - 32 : c + 32);
        const int edits = random.chance(0.4) ? 0 : random.between(1, 3);
        for (int e = 0; e < edits && !name.empty(); ++e) {
            const std::size_t at = std::size_t(random.between(0, int(name.size()) - 1));
            switch (random.between(0, 3)) {
            case 0: name[at] = random.pick(kOdd); break;
            case 1: name.insert(name.begin() + at, wchar_t(random.between(0x20, 0x7E))); break;
            case 2: name.erase(at, 1); break;
            default: name.push_back(random.pick(kOdd));
            }
        }
    }
    // The name ends at its first NUL, as a C string does.
    return name.substr(0, name.find(L'\0'));
}

wchar_t asciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - 32) : c; }

bool isHotKeyHit(const std::wstring& name) {
    const std::wstring expected = L"HOTKEYHIT";
    if (name.size() != expected.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (asciiUpper(name[i]) != expected[i]) return false;
    return true;
}

TEST(SinkNamesFuzz, RandomNamesResolveOnlyHotKeyHitAndReadNoFurther) {
    const std::uint32_t seed = fuzz::seed(20261209);
    fuzz::Random random(seed);
    fuzz::CrashReport crashReport;
    Sink sink(recordHit, recordStatus);
    int resolved = 0;
    for (int n = 0; n < kNameCases; ++n) {
        const UINT count = UINT(random.chance(0.7) ? 1 : random.between(0, 4));
        const bool hasNames = !random.chance(0.05), hasIds = !random.chance(0.05);
        std::vector<std::wstring> names;
        std::vector<std::unique_ptr<GuardedBytes>> strings;
        Block<LPOLESTR> nameArray(count, hasNames);
        for (UINT i = 0; hasNames && i < count; ++i) {
            if (random.chance(0.05)) {
                nameArray.get()[i] = nullptr;
                names.emplace_back();
                continue;
            }
            names.push_back(randomName(random));
            const std::size_t bytes = (names.back().size() + 1) * sizeof(wchar_t);
            strings.push_back(std::make_unique<GuardedBytes>(bytes));
            std::memcpy(strings.back()->as<wchar_t>(), names.back().c_str(), bytes);
            nameArray.get()[i] = strings.back()->as<wchar_t>();
        }
        Block<DISPID> ids(count, hasIds);
        IID iid = IID_NULL;
        if (random.chance(0.2)) iid.Data4[7] = static_cast<unsigned char>(random.bits());

        std::string shown;
        for (const std::wstring& name : names) {
            shown += " \"";
            for (wchar_t c : name) shown += c < 0x80 ? std::string(1, char(c)) : "\\u" + std::to_string(unsigned(c));
            shown += "\"";
        }
        fuzz::currentCase() = "seed " + std::to_string(seed) + " case " + std::to_string(n) + ": count " +
                              std::to_string(count) + (hasNames ? "" : ", null names") +
                              (hasIds ? "" : ", null ids") + "," + shown;
        SCOPED_TRACE(fuzz::currentCase());

        const HRESULT hr = sink->GetIDsOfNames(iid, nameArray.get(), count, LCID(random.bits()), ids.get());
        if (count != 1) {
            ASSERT_EQ(hr, E_INVALIDARG);
            ASSERT_TRUE(ids.untouched());
        } else if (!hasNames || !hasIds) {
            ASSERT_EQ(hr, E_POINTER);
            ASSERT_TRUE(ids.untouched());
        } else if (nameArray.get()[0] && isHotKeyHit(names[0])) {
            ASSERT_EQ(hr, S_OK);
            ASSERT_EQ(ids.get()[0], DISPID(kHotKeyHitEvent));
            ++resolved;
        } else {
            ASSERT_EQ(hr, DISP_E_UNKNOWNNAME);
            ASSERT_TRUE(ids.untouched());
        }
    }
    std::printf("%d GetIDsOfNames cases (seed %u): %d resolved to HotKeyHit\n", kNameCases, seed, resolved);
}

}  // namespace
