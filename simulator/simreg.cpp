// simreg [/u]: registers (or with /u unregisters) the simulated keyboard components that lie
// beside this program, through their own DllRegisterServer / DllUnregisterServer.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

namespace {

const wchar_t* const kComponents[] = {L"KeyboardToneSim.dll", L"KeyboardHotKeySim.dll"};

class ComApartment {
public:
    ComApartment() : result_(CoInitialize(nullptr)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

class Library {
public:
    explicit Library(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library()
    {
        if (module_)
            FreeLibrary(module_);
    }
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

std::wstring programFolder()
{
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

HRESULT callEntry(const std::wstring& path, const char* entry)
{
    Library library(path);
    if (!library.get())
        return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto function = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(library.get(), entry)));
    if (!function)
        return HRESULT_FROM_WIN32(GetLastError());
    return function();
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool unregister = argc > 1 && (lstrcmpiW(argv[1], L"/u") == 0 || lstrcmpiW(argv[1], L"-u") == 0);
    ComApartment com;
    if (FAILED(com.result())) {
        std::printf("simreg: CoInitialize failed, 0x%08lX\n", static_cast<unsigned long>(com.result()));
        return 1;
    }
    int status = 0;
    for (const wchar_t* component : kComponents) {
        const std::wstring path = programFolder() + component;
        const HRESULT result = callEntry(path, unregister ? "DllUnregisterServer" : "DllRegisterServer");
        if (SUCCEEDED(result)) {
            std::printf("%s %ls\n", unregister ? "unregistered" : "registered", path.c_str());
        } else {
            std::printf("simreg: cannot %s %ls, 0x%08lX\n", unregister ? "unregister" : "register", path.c_str(),
                        static_cast<unsigned long>(result));
            status = 1;
        }
    }
    std::fflush(stdout);
    return status;
}
