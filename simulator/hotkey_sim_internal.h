// What the hot-key component's objects and its event delivery share inside the DLL.
#pragma once

#include "hotkey_sim_control.h"

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <initializer_list>
#include <vector>

namespace hotkeysim {

// Records one call; args are the call's 32-bit arguments (argCount defaults to their number).
void record(HotKeySimMethod method, uint32_t objectId, HRESULT result, std::initializer_list<int32_t> args = {},
            int32_t argCount = -1);

// A live object that events can be raised on.
struct EventTarget {
    uint32_t objectId;
    HWND window;
    int32_t sinks;
};

// Live objects that have a window and at least one advised sink.
std::vector<EventTarget> eventTargets();
// Live objects' windows, owned by any thread.
std::vector<HWND> eventWindows();
// The sinks advised on the object now, each with a reference of its own (empty once it is gone).
std::vector<Microsoft::WRL::ComPtr<IDispatch>> sinksOf(uint32_t objectId);

// The scripted failure of a marshalling (E_UNEXPECTED once the script has none left), recorded.
HRESULT refusedMarshal(HRESULT HotKeySimScript::*field, uint32_t objectId);

// Copies that refuse to be marshalled again (script.remarshalResult, hotkey_sim_remarshal.cpp):
// the class that unmarshals them, its class object, and their share of the counts.
extern const CLSID CLSID_HotKeySimUnmarshal;
IClassFactory& unmarshalClassFactory();
void countCopy(int32_t objects, int32_t references);

// The object's message-only window on the calling (creating) thread; null when none can be made.
HWND createEventWindow();
// Destroyed at once on the owning thread, else left to that thread to close.
void destroyEventWindow(HWND window, DWORD ownerThread);

} // namespace hotkeysim
