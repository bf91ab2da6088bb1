// Raising the hot-key component's events. Each object owns a message-only window on the
// thread that created it; a test's raise sends or posts a message there, and the window
// procedure calls Invoke on the object's sinks, so events arrive on the component's own
// apartment thread, as the real component raises them.
#include "hotkey_sim_internal.h"

#include "sim_server.h"

#include <algorithm>
#include <cstring>
#include <memory>

using Microsoft::WRL::ComPtr;

namespace hotkeysim {
namespace {

// wParam: the object id, lParam: the Delivery.
constexpr UINT kSentEvent = WM_APP + 1;
constexpr UINT kPostedEvent = WM_APP + 2;
constexpr DWORD kSendTimeoutMs = 10000;
const wchar_t kWindowClass[] = L"KeyboardHotKeySimEvents";

LONG g_pendingPosted;

// A copy of the event that the delivery owns, so a sender that gave up (time-out) or a
// posted event leaves nothing dangling.
class EventCopy {
public:
    explicit EventCopy(const HotKeySimEventArgs& source)
    {
        event_.dispid = source.dispid;
        event_.argCount = source.argCount;
        event_.nullArgs = source.nullArgs;
        if (source.nullArgs)
            return;
        for (UINT i = 0; i < source.argCount && i < HotKeySimMaxArgs; ++i) {
            VariantInit(&event_.args[i]);
            owned_[i] = SUCCEEDED(VariantCopy(&event_.args[i], const_cast<VARIANT*>(&source.args[i])));
            if (!owned_[i])
                event_.args[i] = source.args[i];   // a malformed variant goes on as raw bits
        }
    }
    EventCopy(const EventCopy&) = delete;
    EventCopy& operator=(const EventCopy&) = delete;
    ~EventCopy()
    {
        for (UINT i = 0; i < HotKeySimMaxArgs; ++i)
            if (owned_[i])
                VariantClear(&event_.args[i]);
    }
    const HotKeySimEventArgs& event() const { return event_; }

private:
    HotKeySimEventArgs event_{};
    bool owned_[HotKeySimMaxArgs] = {};
};

// One event on its way to one object; the sender (if it waits) and the window procedure
// each hold a reference.
class Delivery {
public:
    Delivery(const HotKeySimEventArgs& event, LONG holders) : event_(event), holders_(holders) {}
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    static void drop(Delivery* delivery)
    {
        if (InterlockedDecrement(&delivery->holders_) == 0)
            delete delivery;
    }

    const HotKeySimEventArgs& event() const { return event_.event(); }
    int32_t sinks = 0;
    HRESULT results[HotKeySimMaxSinks] = {};

private:
    EventCopy event_;
    LONG holders_;
};

// The argument array as Invoke sees it, ending exactly where an inaccessible page begins.
class GuardedArgs {
public:
    explicit GuardedArgs(const HotKeySimEventArgs& event)
    {
        if (event.nullArgs)
            return;
        SYSTEM_INFO system{};
        GetSystemInfo(&system);
        const size_t page = system.dwPageSize;
        base_ = static_cast<char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD previous = 0;
        if (!base_ || !VirtualProtect(base_ + page, page, PAGE_NOACCESS, &previous)) {
            copy_.assign(event.args, event.args + event.argCount);
            args_ = copy_.data();
            return;
        }
        args_ = reinterpret_cast<VARIANT*>(base_ + page) - event.argCount;
        std::memcpy(static_cast<void*>(args_), event.args, event.argCount * sizeof(VARIANT));
    }
    GuardedArgs(const GuardedArgs&) = delete;
    GuardedArgs& operator=(const GuardedArgs&) = delete;
    ~GuardedArgs()
    {
        if (base_)
            VirtualFree(base_, 0, MEM_RELEASE);
    }
    VARIANT* get() const { return args_; }

private:
    char* base_ = nullptr;
    VARIANT* args_ = nullptr;
    std::vector<VARIANT> copy_;
};

void invokeSinks(uint32_t objectId, Delivery& delivery)
{
    const HotKeySimEventArgs& event = delivery.event();
    const std::vector<ComPtr<IDispatch>> sinks = sinksOf(objectId);
    GuardedArgs args(event);
    DISPPARAMS params{args.get(), nullptr, event.argCount, 0};
    HRESULT first = S_OK;
    for (const ComPtr<IDispatch>& sink : sinks) {
        const HRESULT result =
            sink->Invoke(event.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
        if (delivery.sinks == 0)
            first = result;
        if (delivery.sinks < HotKeySimMaxSinks)
            delivery.results[delivery.sinks] = result;
        delivery.sinks++;
    }
    record(HotKeySimEvent, objectId, first, {static_cast<int32_t>(event.dispid), delivery.sinks},
           static_cast<int32_t>(event.argCount));
}

LRESULT CALLBACK eventWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kSentEvent && message != kPostedEvent)
        return DefWindowProcW(window, message, wParam, lParam);
    auto* delivery = reinterpret_cast<Delivery*>(lParam);
    try {
        invokeSinks(static_cast<uint32_t>(wParam), *delivery);
    } catch (...) {
        // Out of memory: the event is lost; nothing may unwind into the message loop.
    }
    if (message == kPostedEvent)
        InterlockedDecrement(&g_pendingPosted);
    Delivery::drop(delivery);
    return 0;
}

ATOM windowClass()
{
    static const ATOM atom = [] {
        WNDCLASSW description{};
        description.lpfnWndProc = eventWindowProc;
        description.hInstance = simserver::module();
        description.lpszClassName = kWindowClass;
        return RegisterClassW(&description);
    }();
    return atom;
}

void send(const EventTarget& target, const HotKeySimEventArgs& event, HotKeySimRaiseResult& outcome)
{
    auto* delivery = new Delivery(event, 2);
    DWORD_PTR ignored = 0;
    SetLastError(0);
    if (!SendMessageTimeoutW(target.window, kSentEvent, target.objectId, reinterpret_cast<LPARAM>(delivery),
                             SMTO_NORMAL, kSendTimeoutMs, &ignored)) {
        const DWORD error = GetLastError();
        outcome.status = HRESULT_FROM_WIN32(error ? error : ERROR_TIMEOUT);
        // A message that never got queued has no receiver to drop its reference; after a
        // time-out the receiver may still take it later.
        if (error != ERROR_TIMEOUT && error != 0)
            Delivery::drop(delivery);
        Delivery::drop(delivery);
        return;
    }
    for (int32_t i = 0; i < delivery->sinks && i < HotKeySimMaxSinks; ++i) {
        if (outcome.sinks + i < HotKeySimMaxSinks)
            outcome.invokeResults[outcome.sinks + i] = delivery->results[i];
    }
    outcome.sinks += delivery->sinks;
    Delivery::drop(delivery);
}

void post(const EventTarget& target, const HotKeySimEventArgs& event, HotKeySimRaiseResult& outcome)
{
    auto delivery = std::make_unique<Delivery>(event, 1);
    InterlockedIncrement(&g_pendingPosted);
    if (!PostMessageW(target.window, kPostedEvent, target.objectId, reinterpret_cast<LPARAM>(delivery.get()))) {
        InterlockedDecrement(&g_pendingPosted);
        const DWORD error = GetLastError();
        outcome.status = HRESULT_FROM_WIN32(error ? error : ERROR_INVALID_WINDOW_HANDLE);
        return;
    }
    delivery.release();
    outcome.sinks += target.sinks;
}

HotKeySimRaiseResult raise(const HotKeySimEventArgs* event, bool posted)
{
    HotKeySimRaiseResult outcome{};
    if (!event || (!event->nullArgs && event->argCount > HotKeySimMaxArgs)) {
        outcome.status = E_INVALIDARG;
        return outcome;
    }
    for (const EventTarget& target : eventTargets()) {
        outcome.objects++;
        if (posted)
            post(target, *event, outcome);
        else
            send(target, *event, outcome);
    }
    return outcome;
}

bool ownsWindow(const std::vector<HWND>& windows)
{
    const DWORD self = GetCurrentThreadId();
    return std::any_of(windows.begin(), windows.end(),
                       [self](HWND window) { return GetWindowThreadProcessId(window, nullptr) == self; });
}

} // namespace

HWND createEventWindow()
{
    if (!windowClass())
        return nullptr;
    return CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, simserver::module(), nullptr);
}

void destroyEventWindow(HWND window, DWORD ownerThread)
{
    if (!window)
        return;
    if (GetCurrentThreadId() == ownerThread)
        DestroyWindow(window);
    else
        PostMessageW(window, WM_CLOSE, 0, 0);
}

} // namespace hotkeysim

using namespace hotkeysim;

extern "C" {

void HotKeySim_Raise(const HotKeySimEventArgs* event, BOOL post, HotKeySimRaiseResult* result)
{
    HotKeySimRaiseResult outcome{};
    try {
        outcome = raise(event, post != FALSE);
    } catch (...) {
        outcome.status = E_OUTOFMEMORY;
    }
    if (result)
        *result = outcome;
}

HRESULT HotKeySim_WaitForPosted(DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    bool pump = false;
    try {
        pump = ownsWindow(eventWindows());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    while (InterlockedCompareExchange(&g_pendingPosted, 0, 0) > 0) {
        if (GetTickCount() - start >= timeoutMs)
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        if (!pump) {
            Sleep(5);
            continue;
        }
        // The caller's own thread holds a component: its posted events wait in this queue.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return S_OK;
}

} // extern "C"
