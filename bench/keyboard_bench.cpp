// keyboard_bench [folder]: what a call costs through the shipped TonePort.dll and ChordGate.dll
// (default: the build's dist folder), against the same COM sequence written here and against a
// cached proxy, which no library can beat; Init's latency against the component's own creation
// and a start-up done by hand; how many hot-key events per second reach a listener; and what
// 20,000 calls of each kind leave behind. Runs with the simulated keyboard components, which it
// registers itself. Nothing here sleeps or polls: every wait is on an event or a condition.
#include <jni.h>
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_config.h"
#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "com_morvane_quorlink_services_sound_TonePort.h"
#include "hotkey_sim.h"
#include "hotkey_sim_control.h"
#include "jni_host.h"
#include "process_counts.h"
#include "tone_sim.h"
#include "tone_sim_control.h"

using Microsoft::WRL::ComPtr;

namespace {

#define QL_TONE(method) decltype(&Java_com_morvane_quorlink_services_sound_TonePort_##method)
#define QL_GATE(method) decltype(&Java_com_morvane_quorlink_services_keyboard_ChordGate_##method)
constexpr const char kTonePortClass[] = "com.morvane.quorlink.services.sound.TonePort";
constexpr const char kChordGateClass[] = "com.morvane.quorlink.services.keyboard.ChordGate";
const wchar_t* const kSimulators[] = {L"KeyboardToneSim.dll", L"KeyboardHotKeySim.dll"};

constexpr int kRounds = 5;                 // per figure; the median is printed
constexpr double kRoundBudgetUs = 250000;  // calls of one figure in one round take about this long
constexpr int kInitProcesses = 4;          // Init runs once per process: one more sample in each
constexpr int kSoakCalls = 20000;
constexpr int kEventBatch = 1000;          // posted, then waited for
constexpr int kEventBatches = 20;
constexpr DWORD kWaitMs = 10000;

jnihost::Host& host() {
    static jnihost::Host* instance = new jnihost::Host();  // the libraries' threads outlive main
    return *instance;
}

double nowUs() {
    static const double ticksPerUs = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return double(frequency.QuadPart) / 1e6;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) / ticksPerUs;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::wstring programFolder() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    const std::wstring full(path, length);
    return full.substr(0, full.find_last_of(L"\\/") + 1);
}

void registerSimulators() {
    for (const wchar_t* simulator : kSimulators) {
        const HMODULE module = LoadLibraryW((programFolder() + simulator).c_str());
        using Entry = HRESULT(STDAPICALLTYPE*)();
        const auto entry =
            module ? reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")))
                   : nullptr;
        const HRESULT result = entry ? entry() : HRESULT_FROM_WIN32(GetLastError());
        if (module) FreeLibrary(module);
        if (FAILED(result))
            throw std::runtime_error("cannot register the simulated component " +
                                     std::string(simulator, simulator + wcslen(simulator)));
    }
}

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// The smallest event sink a component accepts: it answers IDispatch and ignores every event.
class IgnoringSink final : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_IHotKeyEvents) ? this : nullptr;
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&refs_); }  // lives on the stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return S_OK;
    }

private:
    volatile LONG refs_ = 0;
};

// A component on a service thread of the benchmark's own, started the way each library starts
// its service thread, so that its start-up can be timed and its hand-off stream used inline.
class ComponentThread {
public:
    enum class Kind { Tone, HotKey };

    explicit ComponentThread(Kind kind) : kind_(kind), started_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
        begin_ = nowUs();
        thread_ = CreateThread(nullptr, 0, run, this, 0, &threadId_);
        if (!thread_ || WaitForSingleObject(started_.get(), kWaitMs) != WAIT_OBJECT_0 || FAILED(status_))
            throw std::runtime_error("the benchmark's own component thread did not start");
        const double woken = nowUs();
        startUpUs = woken - begin_;
        steps = {entered_ - begin_, comReady_ - entered_, createUs, marshalUs_,
                 ready_ - comReady_ - createUs - marshalUs_, woken - ready_};
    }
    ~ComponentThread() {
        if (stream) stream->Release();
        PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, kWaitMs);
        CloseHandle(thread_);
    }
    ComponentThread(const ComponentThread&) = delete;
    ComponentThread& operator=(const ComponentThread&) = delete;

    IStream* stream = nullptr;  // the hand-off stream, one marshalled copy
    double createUs = 0;        // CoCreateInstance alone, on the thread
    double startUpUs = 0;       // from starting the thread to its signal
    // Where that went: the thread's start, CoInitialize, CoCreateInstance, the marshalling into the
    // hand-off stream, the remaining steps, and the waiting thread's wake-up after the signal.
    std::vector<double> steps;

private:
    static DWORD WINAPI run(LPVOID self) {
        static_cast<ComponentThread*>(self)->serve();
        return 0;
    }

    void serve() {
        entered_ = nowUs();
        CoInitialize(nullptr);
        comReady_ = nowUs();
        {
            IgnoringSink sink;
            ComPtr<IUnknown> component;
            ComPtr<IConnectionPoint> connectionPoint;
            DWORD cookie = 0;
            status_ = kind_ == Kind::Tone ? startTone(component) : startHotKey(component, sink, connectionPoint, cookie);
            ready_ = nowUs();
            SetEvent(started_.get());
            if (SUCCEEDED(status_)) {
                MSG msg;
                while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                    TranslateMessage(&msg);
                    DispatchMessageA(&msg);
                }
            }
            if (connectionPoint) connectionPoint->Unadvise(cookie);
        }
        CoUninitialize();
    }

    HRESULT startTone(ComPtr<IUnknown>& component) {
        ComPtr<IToneDevice> device;
        const double begin = nowUs();
        HRESULT hr = CoCreateInstance(CLSID_KeyboardToneSim, nullptr, CLSCTX_INPROC_SERVER, IID_IToneDevice,
                                      reinterpret_cast<void**>(device.GetAddressOf()));
        createUs = nowUs() - begin;
        if (FAILED(hr)) return hr;
        VARIANT_BOOL opened = VARIANT_FALSE;
        device->OpenPort(const_cast<BSTR>(L"\\\\.\\KeyboardPort0"), &opened);
        if (!opened) return E_FAIL;
        const double marshalBegin = nowUs();
        hr = CoMarshalInterThreadInterfaceInStream(IID_IToneDevice, device.Get(), &stream);
        marshalUs_ = nowUs() - marshalBegin;
        component = device;
        return hr;
    }

    HRESULT startHotKey(ComPtr<IUnknown>& component, IgnoringSink& sink, ComPtr<IConnectionPoint>& connectionPoint,
                        DWORD& cookie) {
        ComPtr<IHotKeyService> service;
        const double begin = nowUs();
        HRESULT hr = CoCreateInstance(CLSID_KeyboardHotKeySim, nullptr, CLSCTX_INPROC_SERVER, IID_IHotKeyService,
                                      reinterpret_cast<void**>(service.GetAddressOf()));
        createUs = nowUs() - begin;
        if (FAILED(hr)) return hr;
        component = service;
        const double marshalBegin = nowUs();
        hr = CoMarshalInterThreadInterfaceInStream(IID_IHotKeyService, service.Get(), &stream);
        marshalUs_ = nowUs() - marshalBegin;
        if (FAILED(hr)) return hr;
        ComPtr<IConnectionPointContainer> container;
        hr = service.As(&container);
        if (FAILED(hr)) return hr;
        hr = container->FindConnectionPoint(DIID_IHotKeyEvents, &connectionPoint);
        if (FAILED(hr)) return hr;
        hr = connectionPoint->Advise(static_cast<IDispatch*>(&sink), &cookie);
        if (FAILED(hr)) return hr;
        ComPtr<ISoftKey> softKey;
        return service.As(&softKey);
    }

    Kind kind_;
    Handle started_;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    HRESULT status_ = E_PENDING;
    double begin_ = 0, entered_ = 0, comReady_ = 0, marshalUs_ = 0, ready_ = 0;
};

// --- the inline sequences: what each library does per call, minus the library ---------------

// The steps of an inline sequence, for its breakdown: COM on the thread, take, refill, call,
// release. Adds each step's time to sums when it has them.
enum InlineStep { kComStep, kTakeStep, kRefillStep, kCallStep, kReleaseStep, kInlineSteps };
const char* const kInlineStepNames[kInlineSteps] = {"CoInitialize", "take", "refill", "call", "release"};

class StepTimer {
public:
    explicit StepTimer(double* sums) : sums_(sums), last_(sums ? nowUs() : 0) {}
    void lap(InlineStep step) {
        if (!sums_) return;
        const double now = nowUs();
        sums_[step] += now - last_;
        last_ = now;
    }

private:
    double* sums_;
    double last_;
};

// As playSound: COM on this thread, take, refill, call, release; the tone name made per call.
bool playInline(IStream*& stream, double* stepSums = nullptr) {
    StepTimer timer(stepSums);
    CoInitialize(nullptr);  // S_FALSE after the first call, as in the library
    BSTR tone = SysAllocString(L"Bell");
    timer.lap(kComStep);
    VARIANT_BOOL played = VARIANT_FALSE;
    {
        ComPtr<IToneDevice> proxy;
        HRESULT hr = CoGetInterfaceAndReleaseStream(std::exchange(stream, nullptr), IID_IToneDevice,
                                                    reinterpret_cast<void**>(proxy.GetAddressOf()));
        timer.lap(kTakeStep);
        if (SUCCEEDED(hr)) hr = CoMarshalInterThreadInterfaceInStream(IID_IToneDevice, proxy.Get(), &stream);
        timer.lap(kRefillStep);
        if (SUCCEEDED(hr)) proxy->PlayTone(tone, 1, &played);
        timer.lap(kCallStep);
    }
    SysFreeString(tone);
    timer.lap(kReleaseStep);
    return played != VARIANT_FALSE;
}

// As the Java RegisterStandard: COM, unmarshal, release the spent stream, refill, call, release.
bool registerInline(IStream*& stream, double* stepSums = nullptr) {
    StepTimer timer(stepSums);
    CoInitialize(nullptr);
    timer.lap(kComStep);
    HRESULT hr = E_FAIL;
    {
        ComPtr<IHotKeyService> proxy;
        hr = CoUnmarshalInterface(stream, IID_IHotKeyService, reinterpret_cast<void**>(proxy.GetAddressOf()));
        if (FAILED(hr)) return false;
        std::exchange(stream, nullptr)->Release();
        timer.lap(kTakeStep);
        hr = CoMarshalInterThreadInterfaceInStream(IID_IHotKeyService, proxy.Get(), &stream);
        timer.lap(kRefillStep);
        if (FAILED(hr)) return false;
        hr = proxy->RegisterStandard(1, 2, 3);
        timer.lap(kCallStep);
    }
    timer.lap(kReleaseStep);
    return hr == S_OK;
}

// The average of each step over calls of an inline sequence.
template <class Sequence>
std::vector<double> inlineSteps(Sequence sequence, int calls) {
    std::vector<double> sums(kInlineSteps, 0.0);
    for (int i = 0; i < calls; ++i) sequence(sums.data());
    for (double& sum : sums) sum /= calls;
    return sums;
}

// A proxy taken once out of a hand-off stream, which gets a fresh copy back.
template <class Interface>
ComPtr<Interface> cachedProxy(IStream*& stream, REFIID iid) {
    ComPtr<Interface> proxy;
    if (FAILED(CoGetInterfaceAndReleaseStream(std::exchange(stream, nullptr), iid,
                                              reinterpret_cast<void**>(proxy.GetAddressOf()))) ||
        FAILED(CoMarshalInterThreadInterfaceInStream(iid, proxy.Get(), &stream)))
        throw std::runtime_error("cannot take a cached proxy");
    return proxy;
}

// --- measuring -------------------------------------------------------------------------------

struct Figure {
    Figure(const char* name, std::function<bool()> call) : name(name), call(std::move(call)) {}

    const char* name;
    std::function<bool()> call;  // true when the call did what it should
    std::vector<double> perCallUs{};
    int failures = 0;
};

// Rounds interleave the figures of one call, so that a load from elsewhere on the machine
// weighs on all of them alike.
void measure(std::vector<Figure>& figures) {
    for (Figure& figure : figures)
        for (int i = 0; i < 50; ++i) figure.call();  // warm
    const double begin = nowUs();
    for (int i = 0; i < 200; ++i) figures[0].call();
    const int calls = std::max(200, int(kRoundBudgetUs / ((nowUs() - begin) / 200)));
    for (int round = 0; round < kRounds; ++round)
        for (Figure& figure : figures) {
            const double start = nowUs();
            for (int i = 0; i < calls; ++i)
                if (!figure.call()) ++figure.failures;
            figure.perCallUs.push_back((nowUs() - start) / calls);
        }
}

struct ProcessCounts {
    long handles = 0;
    std::size_t privateBytes = 0;
};

ProcessCounts processCounts() { return {process_counts::handles(), process_counts::privateBytes()}; }

struct Soak {
    Soak(const char* name, std::function<bool(JNIEnv*)> call, std::function<int()> refs)
        : name(name), call(std::move(call)), refs(std::move(refs)) {}

    const char* name;
    std::function<bool(JNIEnv*)> call;  // one call through the DLL; true when it did what it should
    std::function<int()> refs;          // the component's outstanding references
    int failures = 0;
    int refsBefore = 0, refsAfter = 0;
};

// The soaks run side by side, one Java thread each: the libraries share nothing, and the run
// stays short. What the process holds is read before the first starts and after the last ends.
std::pair<ProcessCounts, ProcessCounts> soakSideBySide(std::vector<Soak>& soaks) {
    for (Soak& s : soaks) s.refsBefore = s.refs();
    const ProcessCounts before = processCounts();
    std::vector<std::thread> threads;
    for (Soak& s : soaks)
        threads.push_back(host().startJavaThread([&s](JNIEnv* env) {
            for (int i = 0; i < kSoakCalls; ++i)
                if (!s.call(env)) ++s.failures;
        }));
    for (std::thread& thread : threads) thread.join();
    const ProcessCounts after = processCounts();
    for (Soak& s : soaks) s.refsAfter = s.refs();
    return {before, after};
}

// One start-up done by hand on a new thread and, right after it, the library's Init. Both vary
// with what a new thread, apartment and first marshalling cost the platform at that moment, so
// they are compared pair by pair.
struct StartUpPair {
    jlong status = -100;
    double initUs = 0, byHandUs = 0, createUs = 0;
    std::vector<double> steps{};  // of the start-up by hand
};

template <class Init>
StartUpPair startUpPair(Init init, ComponentThread::Kind kind) {
    StartUpPair pair;
    {
        const ComponentThread byHand(kind);
        pair.byHandUs = byHand.startUpUs;
        pair.createUs = byHand.createUs;
        pair.steps = byHand.steps;
    }
    const double begin = nowUs();
    pair.status = init();
    pair.initUs = nowUs() - begin;
    return pair;
}

struct StartUp {
    explicit StartUp(const char* library) : library(library) {}

    const char* library;
    std::vector<StartUpPair> pairs{};  // this process's, then one from each child process
};

template <class Value>
double medianOf(const std::vector<StartUpPair>& pairs, Value value) {
    std::vector<double> values;
    for (const StartUpPair& pair : pairs) values.push_back(value(pair));
    return median(values);
}

// --- printing --------------------------------------------------------------------------------

// Counts what went wrong: a target missed, or something broken (failed calls, leaks, misuse).
struct Verdict {
    int missed = 0;
    int broken = 0;
};

// figures: through the DLL, inline, cached proxy, then the inline sequence while the caller holds
// a proxy of the same object.
void printCallTable(const std::vector<std::pair<const char*, std::vector<Figure>*>>& rows,
                    const std::vector<std::vector<double>>& steps, Verdict& verdict) {
    std::printf("\nCost per call (median of %d rounds; each figure on a component object of its own)\n", kRounds);
    std::printf("  %-17s %12s %12s %13s %11s %10s %10s\n", "call", "through DLL", "inline", "cached proxy",
                "DLL/inline", "DLL/proxy", "inl/proxy");
    for (const auto& [name, figures] : rows) {
        const double dll = median((*figures)[0].perCallUs), inl = median((*figures)[1].perCallUs),
                     proxy = median((*figures)[2].perCallUs);
        const bool met = dll / inl <= 1.10;
        std::printf("  %-17s %9.1f us %9.1f us %10.1f us %10.2fx %9.2fx %9.2fx  %s\n", name, dll, inl, proxy,
                    dll / inl, dll / proxy, inl / proxy, met ? "(target 1.10x met)" : "MISSED target 1.10x");
        verdict.missed += !met;
    }
    std::printf("  the inline sequence while the caller holds one proxy of the same object:\n");
    for (const auto& [name, figures] : rows) {
        const double held = median((*figures)[3].perCallUs), inl = median((*figures)[1].perCallUs),
                     proxy = median((*figures)[2].perCallUs);
        std::printf("  %-17s %9.1f us  (%.2fx the inline sequence, %.2fx the cached proxy)\n", name, held,
                    held / inl, held / proxy);
    }
    std::printf("  the inline sequence step by step (average us):\n  %-17s", "call");
    for (const char* step : kInlineStepNames) std::printf(" %12s", step);
    std::printf("\n");
    for (size_t row = 0; row < rows.size() && row < steps.size(); ++row) {
        std::printf("  %-17s", rows[row].first);
        for (double us : steps[row]) std::printf(" %12.1f", us);
        std::printf("\n");
    }
    for (const auto& [name, figures] : rows)
        for (const Figure& figure : *figures)
            if (figure.failures) {
                std::printf("  BROKEN: %s: %d calls failed\n", figure.name, figure.failures);
                ++verdict.broken;
            }
}

void printStartUps(const std::vector<StartUp>& startUps, Verdict& verdict) {
    std::printf("\nStart-up (Init runs once per process: %d processes, each a start-up by hand, then Init; medians)\n",
                1 + kInitProcesses);
    std::printf("  %-10s %10s %10s %14s %10s %13s %13s\n", "library", "Init", "creation", "Init-creation", "by hand",
                "Init-by hand", "Init/by hand");
    for (const StartUp& s : startUps) {
        if (s.pairs.empty()) continue;
        const double init = medianOf(s.pairs, [](const StartUpPair& p) { return p.initUs; });
        const double create = medianOf(s.pairs, [](const StartUpPair& p) { return p.createUs; });
        const double overCreation = medianOf(s.pairs, [](const StartUpPair& p) { return p.initUs - p.createUs; });
        const double byHand = medianOf(s.pairs, [](const StartUpPair& p) { return p.byHandUs; });
        const double overByHand = medianOf(s.pairs, [](const StartUpPair& p) { return p.initUs - p.byHandUs; });
        const double ratio = medianOf(s.pairs, [](const StartUpPair& p) { return p.initUs / p.byHandUs; });
        const bool met = overCreation <= 2000;
        std::printf("  %-10s %7.2f ms %7.3f ms %11.2f ms %7.2f ms %10.2f ms %12.2fx  %s\n", s.library, init / 1000,
                    create / 1000, overCreation / 1000, byHand / 1000, overByHand / 1000, ratio,
                    met ? "(target 2 ms met)" : "MISSED target 2 ms");
        verdict.missed += !met;
    }
    std::printf("  creation: CoCreateInstance of the simulated component on the new thread; by hand: starting a\n"
                "  thread that does the library's start-up steps, until the waiting thread wakes\n");
    std::printf("  each pair, Init / by hand (ms):\n");
    for (const StartUp& s : startUps) {
        std::printf("  %-10s", s.library);
        for (const StartUpPair& pair : s.pairs) std::printf("  %.2f / %.2f", pair.initUs / 1000, pair.byHandUs / 1000);
        std::printf("\n");
        for (const StartUpPair& pair : s.pairs)
            if (pair.status != 0) {
                std::printf("  BROKEN: %s Init returned %lld\n", s.library, static_cast<long long>(pair.status));
                ++verdict.broken;
            }
        if (int(s.pairs.size()) != 1 + kInitProcesses) {
            std::printf("  BROKEN: %d of %d child processes gave no figures\n",
                        1 + kInitProcesses - int(s.pairs.size()), kInitProcesses);
            ++verdict.broken;
        }
    }
    std::printf("  by hand, step by step (median ms):\n  %-10s %12s %12s %12s %12s %12s %12s\n", "library",
                "thread start", "CoInitialize", "creation", "marshalling", "other steps", "wake-up");
    for (const StartUp& s : startUps) {
        std::printf("  %-10s", s.library);
        for (size_t step = 0; !s.pairs.empty() && step < s.pairs[0].steps.size(); ++step)
            std::printf(" %12.3f", medianOf(s.pairs, [step](const StartUpPair& p) { return p.steps[step]; }) / 1000);
        std::printf("\n");
    }
}

void printEvents(bool arrived, double elapsedUs, Verdict& verdict) {
    const double events = double(kEventBatch) * kEventBatches;
    std::printf("\nHot-key events (HotKeyHit posted by the component's thread in batches of %d, each waited for)\n",
                kEventBatch);
    if (!arrived) {
        std::printf("  BROKEN: the listener had %zu calls %lu ms after the last batch\n",
                    host().listenerCalls().size(), static_cast<unsigned long>(kWaitMs));
        ++verdict.broken;
        return;
    }
    std::printf("  %.0f events reached the listener in %.1f ms: %.0f events/s, %.1f us each\n", events,
                elapsedUs / 1000, events / (elapsedUs / 1e6), elapsedUs / events);
}

void printSoaks(const std::vector<Soak>& soaks, const std::pair<ProcessCounts, ProcessCounts>& process,
                Verdict& verdict) {
    std::printf("\nSoak (%d calls each through the DLL on a Java thread of its own, side by side)\n", kSoakCalls);
    std::printf("  %-17s %6s %18s\n", "call", "failed", "component refs");
    for (const Soak& s : soaks) {
        std::printf("  %-17s %6d %8d -> %-6d\n", s.name, s.failures, s.refsBefore, s.refsAfter);
        if (s.failures || s.refsBefore != s.refsAfter) {
            std::printf("  BROKEN: %s\n", s.name);
            ++verdict.broken;
        }
    }
    const auto& [before, after] = process;
    std::printf("  process: handles %ld -> %ld, private bytes %zu -> %zu (%+lld)\n", before.handles, after.handles,
                before.privateBytes, after.privateBytes,
                static_cast<long long>(after.privateBytes) - static_cast<long long>(before.privateBytes));
    if (before.handles != after.handles) {
        std::printf("  BROKEN: handles\n");
        ++verdict.broken;
    }
}

// --- the run -----------------------------------------------------------------------------------

std::wstring programPath() {
    wchar_t path[MAX_PATH * 2] = {};
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH * 2));
}

// keyboard_bench --init <TonePort|ChordGate> <folder>: one start-up pair in a process of its own,
// after the same warm-up as the main run, as "<status> <Init> <by hand> <creation> <steps...>" (us).
int initOnly(const std::wstring& library, const std::wstring& folder) {
    host();
    CoInitialize(nullptr);
    registerSimulators();
    const bool isTone = library == L"TonePort";
    const auto kind = isTone ? ComponentThread::Kind::Tone : ComponentThread::Kind::HotKey;
    { const ComponentThread warm(kind); }
    const jnihost::NativeLibrary dll(folder + L"\\" + library + L".dll");
    const auto init = isTone ? dll.native<QL_TONE(Init)>(kTonePortClass, "Init")
                             : dll.native<QL_GATE(Init)>(kChordGateClass, "Init");
    const StartUpPair pair = startUpPair([&] { return init(host().env(), host().receiver()); }, kind);
    std::printf("%lld %.1f %.1f %.1f", static_cast<long long>(pair.status), pair.initUs, pair.byHandUs, pair.createUs);
    for (double step : pair.steps) std::printf(" %.1f", step);
    std::printf("\n");
    std::fflush(stdout);
    return 0;
}

// One more Init sample from a child process; false when the child gave none in time.
bool initInChild(const std::wstring& library, const std::wstring& folder, StartUp& startUp) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    const Handle reader(readEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring command = L"\"" + programPath() + L"\" --init " + library + L" \"" + folder + L"\"";
    PROCESS_INFORMATION child{};
    const BOOL started =
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child);
    CloseHandle(writeEnd);
    if (!started) return false;
    const Handle process(child.hProcess), thread(child.hThread);
    // The line is far smaller than the pipe's buffer: it is all there once the child has ended.
    if (WaitForSingleObject(process.get(), kWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        return false;
    }
    char line[128] = {};
    DWORD read = 0;
    DWORD available = 0;
    if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) || available == 0 ||
        !ReadFile(readEnd, line, sizeof line - 1, &read, nullptr))
        return false;
    long long status = 0;
    StartUpPair pair;
    pair.steps.resize(6);
    const int fields = std::sscanf(line, "%lld %lf %lf %lf %lf %lf %lf %lf %lf %lf", &status, &pair.initUs,
                                   &pair.byHandUs, &pair.createUs, &pair.steps[0], &pair.steps[1], &pair.steps[2],
                                   &pair.steps[3], &pair.steps[4], &pair.steps[5]);
    if (fields != 10) return false;
    pair.status = status;
    startUp.pairs.push_back(pair);
    return true;
}

int run(const std::wstring& folder) {
    host();
    // This thread calls as a Java thread does after its first call: in a single-threaded
    // apartment, which the libraries and the inline sequences never leave.
    CoInitialize(nullptr);
    registerSimulators();
    const ToneSim toneSim = ToneSim::load();
    const HotKeySim hotKeySim = HotKeySim::load();
    const jnihost::NativeLibrary tone(folder + L"\\TonePort.dll");
    const jnihost::NativeLibrary gate(folder + L"\\ChordGate.dll");
    JNIEnv* env = host().env();
    jclass receiver = host().receiver();
    std::printf("keyboard_bench: the shipped DLLs of %ls with the simulated keyboard components\n", folder.c_str());

    const auto toneInit = tone.native<QL_TONE(Init)>(kTonePortClass, "Init");
    const auto playBellTone = tone.native<QL_TONE(playBellTone)>(kTonePortClass, "playBellTone");
    const auto gateInit = gate.native<QL_GATE(Init)>(kChordGateClass, "Init");
    const auto registerListener = gate.native<QL_GATE(RegisterListener)>(kChordGateClass, "RegisterListener");
    const auto registerStandard = gate.native<QL_GATE(RegisterStandard)>(kChordGateClass, "RegisterStandard");
    Verdict verdict;

    // The first component of each kind in the process pays for loading its type library and
    // for COM's first marshalling; none of the figures below should.
    { const ComponentThread warmTone(ComponentThread::Kind::Tone); }
    { const ComponentThread warmHotKey(ComponentThread::Kind::HotKey); }

    std::vector<StartUp> startUps = {StartUp("TonePort"), StartUp("ChordGate")};
    startUps[0].pairs.push_back(startUpPair([&] { return toneInit(env, receiver); }, ComponentThread::Kind::Tone));
    startUps[1].pairs.push_back(startUpPair([&] { return gateInit(env, receiver); }, ComponentThread::Kind::HotKey));
    for (int i = 0; i < kInitProcesses; ++i) {
        initInChild(L"TonePort", folder, startUps[0]);
        initInChild(L"ChordGate", folder, startUps[1]);
    }

    // Only the library's sink is advised now: the start-ups by hand took theirs back.
    jobject listener = host().newListener();
    if (registerListener(env, receiver, listener) != 0) ++verdict.broken;
    size_t delivered = host().listenerCalls().size();
    bool eventsArrived = true;
    const double eventsBegin = nowUs();
    for (int batch = 0; batch < kEventBatches && eventsArrived; ++batch) {
        for (int i = 0; i < kEventBatch; ++i) hotKeySim.hotKeyHit(i, -i, batch, true);
        delivered += kEventBatch;
        eventsArrived = host().waitForListenerCalls(delivered, kWaitMs);
    }
    const double eventsUs = nowUs() - eventsBegin;

    // One object each for the inline sequence, the cached proxy, and the inline sequence beside a
    // proxy that the caller holds (which keeps COM's proxy manager for that object alive).
    ComponentThread toneInline(ComponentThread::Kind::Tone), toneCached(ComponentThread::Kind::Tone),
        toneHeld(ComponentThread::Kind::Tone);
    ComponentThread hotKeyInline(ComponentThread::Kind::HotKey), hotKeyCached(ComponentThread::Kind::HotKey),
        hotKeyHeld(ComponentThread::Kind::HotKey);
    const ComPtr<IToneDevice> toneProxy = cachedProxy<IToneDevice>(toneCached.stream, IID_IToneDevice);
    const ComPtr<IToneDevice> toneHeldProxy = cachedProxy<IToneDevice>(toneHeld.stream, IID_IToneDevice);
    const ComPtr<IHotKeyService> hotKeyProxy = cachedProxy<IHotKeyService>(hotKeyCached.stream, IID_IHotKeyService);
    const ComPtr<IHotKeyService> hotKeyHeldProxy =
        cachedProxy<IHotKeyService>(hotKeyHeld.stream, IID_IHotKeyService);
    BSTR bell = SysAllocString(L"Bell");

    std::vector<Figure> plays = {
        {"playBellTone through the DLL", [&] { return playBellTone(env, receiver) == 0; }},
        {"play inline", [&] { return playInline(toneInline.stream); }},
        {"PlayTone through a cached proxy", [&] {
             VARIANT_BOOL played = VARIANT_FALSE;
             toneProxy->PlayTone(bell, 1, &played);
             return played != VARIANT_FALSE;
         }},
        {"play inline beside a held proxy", [&] { return playInline(toneHeld.stream); }},
    };
    std::vector<Figure> registrations = {
        {"RegisterStandard through the DLL", [&] { return registerStandard(env, receiver, 1, 2, 3) == 0; }},
        {"RegisterStandard inline", [&] { return registerInline(hotKeyInline.stream); }},
        {"RegisterStandard through a cached proxy", [&] { return hotKeyProxy->RegisterStandard(1, 2, 3) == S_OK; }},
        {"RegisterStandard inline beside a held proxy", [&] { return registerInline(hotKeyHeld.stream); }},
    };
    measure(plays);
    measure(registrations);
    const std::vector<std::vector<double>> inlineBreakdown = {
        inlineSteps([&](double* sums) { playInline(toneInline.stream, sums); }, 200),
        inlineSteps([&](double* sums) { registerInline(hotKeyInline.stream, sums); }, 200),
    };

    // The simulators record every call. Calls through the cached proxies make the records hold as
    // many as the soak adds; forgetting them keeps that memory for reuse, so that the soak's
    // private bytes show what the libraries keep.
    for (int i = 0; i < kSoakCalls; ++i) {
        VARIANT_BOOL played = VARIANT_FALSE;
        toneProxy->PlayTone(bell, 1, &played);
        hotKeyProxy->RegisterStandard(1, 2, 3);
    }
    toneSim.reset();
    hotKeySim.reset();
    std::vector<Soak> soaks;
    soaks.emplace_back("playBellTone", [&](JNIEnv* callerEnv) { return playBellTone(callerEnv, receiver) == 0; },
                       [&] { return toneSim.outstandingRefs(); });
    soaks.emplace_back("RegisterStandard",
                       [&](JNIEnv* callerEnv) { return registerStandard(callerEnv, receiver, 1, 2, 3) == 0; },
                       [&] { return hotKeySim.outstandingRefs(); });
    const auto process = soakSideBySide(soaks);
    SysFreeString(bell);

    printCallTable({{"playBellTone", &plays}, {"RegisterStandard", &registrations}}, inlineBreakdown, verdict);
    printStartUps(startUps, verdict);
    printEvents(eventsArrived, eventsUs, verdict);
    printSoaks(soaks, process, verdict);
    for (const std::string& violation : host().violations()) {
        std::printf("BROKEN: JNI misuse: %s\n", violation.c_str());
        ++verdict.broken;
    }
    std::printf("\nkeyboard_bench: %d target(s) missed, %d thing(s) broken\n", verdict.missed, verdict.broken);
    std::fflush(stdout);
    return verdict.broken ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 2 && !(argc == 4 && std::wstring(argv[1]) == L"--init")) {
        std::printf("usage: keyboard_bench [folder with TonePort.dll and ChordGate.dll]\n");
        return 2;
    }
    try {
        if (argc == 4) return initOnly(argv[2], argv[3]);
        return run(argc == 2 ? argv[1] : kDefaultDllFolder);
    } catch (const std::exception& error) {
        std::printf("keyboard_bench: %s\n", error.what());
        return 2;
    }
}
