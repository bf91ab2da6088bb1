// keyboard_demo <folder>: the whole flow of the shipped TonePort.dll and ChordGate.dll in that
// folder, driven as a Java client drives them, with the simulated keyboard components in place of
// the real ones. Prints every step with its value and exits with 1 when any value is not the
// one the libraries promise.
#include <jni.h>
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "com_morvane_quorlink_services_keyboard_ChordGate.h"
#include "com_morvane_quorlink_services_sound_TonePort.h"
#include "hotkey_sim_control.h"
#include "jni_host.h"
#include "tone_sim_control.h"

namespace {

// The natives' types come from javac's headers, so the demo calls exactly what Java declares.
#define QL_TONE(method) decltype(&Java_com_morvane_quorlink_services_sound_TonePort_##method)
#define QL_GATE(method) decltype(&Java_com_morvane_quorlink_services_keyboard_ChordGate_##method)
constexpr const char kTonePortClass[] = "com.morvane.quorlink.services.sound.TonePort";
constexpr const char kChordGateClass[] = "com.morvane.quorlink.services.keyboard.ChordGate";

const wchar_t* const kSimulators[] = {L"KeyboardToneSim.dll", L"KeyboardHotKeySim.dll"};
constexpr const char kDriverKeyFormat[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\KEYBOARD\\000%d";
constexpr const char kKeyboardKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\KEYBOARD";
constexpr const char kDriverHardwareId[] = "*QV7150\0";  // REG_MULTI_SZ: one string, then the empty one
constexpr int kListenerWaitMs = 5000;

// One process-wide host, never destroyed: the libraries' service threads outlive main.
jnihost::Host& host() {
    static jnihost::Host* instance = new jnihost::Host();
    return *instance;
}

class Transcript {
public:
    void section(const std::string& title) { std::printf("%s\n", title.c_str()); }

    void step(const std::string& name, jlong value, jlong expected, const std::string& note = {}) {
        const bool right = value == expected;
        std::printf("  %-34s %4lld%s%s\n", name.c_str(), static_cast<long long>(value),
                    note.empty() ? "" : ("   " + note).c_str(),
                    right ? "" : ("   WRONG, expected " + std::to_string(expected)).c_str());
        if (!right) ++wrong_;
        std::fflush(stdout);
    }

    void line(const std::string& text) {
        std::printf("  %s\n", text.c_str());
        std::fflush(stdout);
    }

    void wrong(const std::string& why) {
        std::printf("  WRONG: %s\n", why.c_str());
        std::fflush(stdout);
        ++wrong_;
    }

    int wrongSteps() const { return wrong_; }

private:
    int wrong_ = 0;
};

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring programFolder() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    const std::wstring full(path, length);
    return full.substr(0, full.find_last_of(L"\\/") + 1);
}

class Library {
public:
    explicit Library(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() {
        if (module_) FreeLibrary(module_);
    }
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

// The simulated components beside this program, registered through their own DllRegisterServer.
HRESULT registerSimulator(const std::wstring& path) {
    Library library(path);
    if (!library.get()) return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(library.get(), "DllRegisterServer")));
    if (!entry) return HRESULT_FROM_WIN32(GetLastError());
    return entry();
}

class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() {
        if (key_) RegCloseKey(key_);
    }
    PHKEY receive() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

bool keyExists(const char* name) {
    RegistryKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_READ, key.receive()) == ERROR_SUCCESS;
}

// A keyboard device entry as the keyboard's driver makes it, in the first free slot of the ten the
// library looks at; removed again when it goes (with the KEYBOARD key, if that was made for it).
class DriverEntry {
public:
    DriverEntry() {
        keyboardKeyMade_ = !keyExists(kKeyboardKey);
        for (int index = 0; index < 10 && name_.empty(); ++index) {
            char name[200] = {};
            wsprintfA(name, kDriverKeyFormat, index);
            if (!keyExists(name)) name_ = name;
        }
        if (name_.empty()) return;
        RegistryKey key;
        status_ = RegCreateKeyExA(HKEY_LOCAL_MACHINE, name_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                  key.receive(), nullptr);
        if (status_ == ERROR_SUCCESS)
            status_ = RegSetValueExA(key.get(), "HardwareID", 0, REG_MULTI_SZ,
                                     reinterpret_cast<const BYTE*>(kDriverHardwareId), sizeof kDriverHardwareId);
    }
    DriverEntry(const DriverEntry&) = delete;
    DriverEntry& operator=(const DriverEntry&) = delete;
    ~DriverEntry() {
        if (name_.empty()) return;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, name_.c_str());
        if (keyboardKeyMade_) RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKeyboardKey);
    }

    bool made() const { return !name_.empty() && status_ == ERROR_SUCCESS; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    LSTATUS status_ = ERROR_NO_MORE_ITEMS;
    bool keyboardKeyMade_ = false;
};

std::string toneNamePlayed(const ToneSim& sim) {
    const std::vector<ToneSimCall> plays = sim.calls(ToneSimPlayTone);
    return plays.empty() ? std::string() : narrow(plays.back().text);
}

void tonePortSteps(Transcript& transcript, const std::wstring& folder) {
    const std::wstring path = folder + L"\\TonePort.dll";
    transcript.section("TonePort.dll (" + narrow(path) + ")");
    const jnihost::NativeLibrary library(path);
    const ToneSim sim = ToneSim::load();
    JNIEnv* env = host().env();
    jclass receiver = host().receiver();

    transcript.step("Init", library.native<QL_TONE(Init)>(kTonePortClass, "Init")(env, receiver), 0);

    struct Tone {
        const char* method;
        QL_TONE(playNewsTone) native;
        const char* name;
    };
    const Tone tones[] = {
        {"playNewsTone", library.native<QL_TONE(playNewsTone)>(kTonePortClass, "playNewsTone"), "News"},
        {"playIncomingConvTone", library.native<QL_TONE(playIncomingConvTone)>(kTonePortClass, "playIncomingConvTone"), "Incoming"},
        {"playBellTone", library.native<QL_TONE(playBellTone)>(kTonePortClass, "playBellTone"), "Bell"},
        {"playLimitTone", library.native<QL_TONE(playLimitTone)>(kTonePortClass, "playLimitTone"), "Limit"},
        {"playShortTone", library.native<QL_TONE(playShortTone)>(kTonePortClass, "playShortTone"), "Short"},
        {"playBusyTone", library.native<QL_TONE(playBusyTone)>(kTonePortClass, "playBusyTone"), "Busy"},
        {"playInterruptTone", library.native<QL_TONE(playInterruptTone)>(kTonePortClass, "playInterruptTone"), "Interrupt"},
    };
    for (const Tone& tone : tones) {
        const jlong played = tone.native(env, receiver);
        const std::string heard = toneNamePlayed(sim);
        transcript.step(tone.method, played, 0, "keyboard played \"" + heard + "\"");
        if (heard != tone.name) transcript.wrong(std::string("the keyboard was asked for \"") + tone.name + "\"");
    }

    transcript.step("cleanup", library.native<QL_TONE(cleanup)>(kTonePortClass, "cleanup")(env, receiver), 0);
}

std::string describe(const jnihost::ListenerCall& call) {
    std::string text = call.method + "(";
    for (size_t index = 0; index < call.args.size(); ++index)
        text += (index ? ", " : "") + std::to_string(call.args[index]);
    return text + ")";
}

// Raises one event on the simulated keyboard and checks what reached the listener.
template <class Raise>
void eventStep(Transcript& transcript, const std::string& what, Raise raise, const std::string& expectedCall) {
    transcript.line("keyboard: " + what);
    const size_t seen = host().listenerCalls().size();
    const HotKeySimRaiseResult raised = raise();
    if (FAILED(raised.status) || raised.sinks != 1) {
        transcript.wrong("the keyboard had " + std::to_string(raised.sinks) + " sinks to raise it on");
        return;
    }
    if (!host().waitForListenerCalls(seen + 1, kListenerWaitMs)) {
        transcript.wrong("the listener was not called");
        return;
    }
    const std::string got = describe(host().listenerCalls().back());
    if (got != expectedCall) transcript.wrong("the listener got " + got + ", expected " + expectedCall);
}

void chordGateSteps(Transcript& transcript, const std::wstring& folder) {
    const std::wstring path = folder + L"\\ChordGate.dll";
    transcript.section("ChordGate.dll (" + narrow(path) + ")");
    const jnihost::NativeLibrary library(path);
    const HotKeySim sim = HotKeySim::load();
    JNIEnv* env = host().env();
    jclass receiver = host().receiver();
    const auto isKeyboardDriverInstalled =
        library.native<QL_GATE(IsKeyboardDriverInstalled)>(kChordGateClass, "IsKeyboardDriverInstalled");

    transcript.step("Init", library.native<QL_GATE(Init)>(kChordGateClass, "Init")(env, receiver), 0);

    const DWORD mainThread = GetCurrentThreadId();
    host().onListenerCall([&transcript, mainThread](const jnihost::ListenerCall& call) {
        transcript.line("listener: " + describe(call) +
                        (call.thread == mainThread ? " on the caller's thread" : " on the library's thread"));
    });
    jobject listener = host().newListener();
    transcript.step("RegisterListener",
                    library.native<QL_GATE(RegisterListener)>(kChordGateClass, "RegisterListener")(env, receiver, listener), 0);

    const jlong registered = library.native<QL_GATE(RegisterStandard)>(kChordGateClass, "RegisterStandard")(
        env, receiver, 7, 2, 300);
    const std::vector<HotKeySimCall> registrations = sim.calls(HotKeySimRegisterStandard);
    const bool keyboardGotIt = !registrations.empty() && registrations.back().args[0] == 7 &&
                               registrations.back().args[1] == 2 && registrations.back().args[2] == 300;
    transcript.step("RegisterStandard(7, 2, 300)", registered, 0,
                    keyboardGotIt ? "keyboard registered (7, 2, 300)" : "");
    if (!keyboardGotIt) transcript.wrong("the keyboard did not get RegisterStandard(7, 2, 300)");

    eventStep(transcript, "hot key (7, 2, 300) pressed", [&sim] { return sim.hotKeyHit(7, 2, 300); },
              "HotKeyHit(7, 2, 300)");
    eventStep(transcript, "keyboard failed", [&sim] { return sim.keyboardFailed(); }, "KBFailed()");
    eventStep(transcript, "keyboard detached", [&sim] { return sim.keyboardDetached(); }, "KBDetached()");

    transcript.step("UnregisterAllHot",
                    library.native<QL_GATE(UnregisterAllHot)>(kChordGateClass, "UnregisterAllHot")(env, receiver), 0);
    transcript.step("UnregisterAllListener",
                    library.native<QL_GATE(UnregisterAllListener)>(kChordGateClass, "UnregisterAllListener")(env, receiver), 0);
    transcript.step("Cleanup", library.native<QL_GATE(Cleanup)>(kChordGateClass, "Cleanup")(env, receiver), 0);

    transcript.step("IsKeyboardDriverInstalled", isKeyboardDriverInstalled(env, receiver), 0, "no driver entry");
    const DriverEntry entry;
    if (!entry.made()) {
        transcript.wrong("cannot add the driver entry HKLM\\" + entry.name());
        return;
    }
    transcript.step("IsKeyboardDriverInstalled", isKeyboardDriverInstalled(env, receiver), 1,
                    "after adding HKLM\\" + entry.name() + " HardwareID *QV7150");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::printf("usage: keyboard_demo <folder with TonePort.dll and ChordGate.dll>\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    Transcript transcript;
    try {
        host();
        for (const wchar_t* simulator : kSimulators) {
            const HRESULT result = registerSimulator(programFolder() + simulator);
            if (FAILED(result)) {
                std::printf("demo: cannot register the simulated component %ls, 0x%08lX\n", simulator,
                            static_cast<unsigned long>(result));
                return 1;
            }
        }
        std::printf("Simulated keyboard components registered\n");
        tonePortSteps(transcript, folder);
        chordGateSteps(transcript, folder);
    } catch (const std::exception& error) {
        transcript.wrong(error.what());
    }
    const std::vector<std::string> violations = host().violations();
    for (const std::string& violation : violations) transcript.wrong("JNI misuse: " + violation);

    if (transcript.wrongSteps() == 0)
        std::printf("demo: every step gave the expected value\n");
    else
        std::printf("demo: %d step(s) went wrong\n", transcript.wrongSteps());
    std::fflush(stdout);
    return transcript.wrongSteps() == 0 ? 0 : 1;
}
