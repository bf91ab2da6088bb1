// Shared by the two control clients: finds the DLL that COM has registered for a class and
// loads that very file, so the caller and COM share one module instance (and one script).
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace simclient {

// A loaded module, freed on destruction.
class Module {
public:
    Module() = default;
    explicit Module(HMODULE module) : module_(module) {}
    Module(Module&& other) noexcept : module_(std::exchange(other.module_, nullptr)) {}
    Module& operator=(Module&& other) noexcept
    {
        std::swap(module_, other.module_);
        return *this;
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module()
    {
        if (module_)
            FreeLibrary(module_);
    }
    HMODULE get() const { return module_; }

private:
    HMODULE module_ = nullptr;
};

inline std::string narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// The default value of HKCR\CLSID\<clsid>\InprocServer32, read in the process's own registry view.
inline std::wstring registeredServerPath(const wchar_t* clsid)
{
    const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = sizeof(path);
    const LSTATUS status =
        RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size);
    if (status != ERROR_SUCCESS)
        throw std::runtime_error("no in-process server registered for " + narrow(clsid) +
                                 " (run simreg first), error " + std::to_string(status));
    return path;
}

inline Module loadRegisteredServer(const wchar_t* clsid, std::wstring& path)
{
    path = registeredServerPath(clsid);
    Module module(LoadLibraryW(path.c_str()));
    if (!module.get())
        throw std::runtime_error("cannot load " + narrow(path) + ", error " + std::to_string(GetLastError()));
    return module;
}

template <typename Function>
Function resolve(const Module& module, const char* name)
{
    FARPROC address = GetProcAddress(module.get(), name);
    if (!address)
        throw std::runtime_error(std::string("the simulator exports no ") + name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

} // namespace simclient
