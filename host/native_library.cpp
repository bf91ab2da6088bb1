// Loading a JNI library and finding its natives under the names a JVM looks for.
#include "jni_host.h"

#include <cstdio>

namespace jnihost {
namespace {

std::string narrow(const std::wstring& wide) {
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string text(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text.data(), size, nullptr, nullptr);
  return text;
}

std::wstring widen(const std::string& text) {
  int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(size > 0 ? size - 1 : 0, L'\0');
  if (size > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), size);
  return wide;
}

// The JNI escaping of one name component; '/' separates the components of a class name.
std::string mangle(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c == '.' || c == '/') out += '_';
    else if (c == '_') out += "_1";
    else if (c == ';') out += "_2";
    else if (c == '[') out += "_3";
    else if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) out += char(c);
    else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "_0%04x", c);
      out += escaped;
    }
  }
  return out;
}

std::vector<std::string> candidates(const std::string& javaClass, const std::string& method, int argBytes) {
  std::string name = NativeLibrary::jniName(javaClass, method);
#ifdef _WIN64
  (void)argBytes;
  return {name};
#else
  return {"_" + name + "@" + std::to_string(argBytes), name};
#endif
}

}  // namespace

NativeLibrary::NativeLibrary(const std::wstring& path) : path_(narrow(path)), module_(LoadLibraryW(path.c_str())) {
  if (!module_)
    throw std::runtime_error("LoadLibraryW(" + path_ + ") failed with error " + std::to_string(GetLastError()));
}

NativeLibrary::NativeLibrary(const std::string& path) : NativeLibrary(widen(path)) {}

void* NativeLibrary::symbol(const std::string& exportName) const {
  return reinterpret_cast<void*>(GetProcAddress(module_, exportName.c_str()));
}

std::string NativeLibrary::jniName(const std::string& javaClass, const std::string& method) {
  return "Java_" + mangle(javaClass) + "_" + mangle(method);
}

void* NativeLibrary::findNative(const std::string& javaClass, const std::string& method, int argBytes) const {
  for (const std::string& name : candidates(javaClass, method, argBytes))
    if (void* fn = symbol(name)) return fn;
  return nullptr;
}

void* NativeLibrary::requireNative(const std::string& javaClass, const std::string& method, int argBytes) const {
  if (void* fn = findNative(javaClass, method, argBytes)) return fn;
  std::string tried;
  for (const std::string& name : candidates(javaClass, method, argBytes)) tried += (tried.empty() ? "" : ", ") + name;
  throw std::runtime_error(path_ + " exports no native " + javaClass + "." + method + " (looked for " + tried + ")");
}

void* NativeLibrary::requireSymbol(const std::string& name) const {
  if (void* fn = symbol(name)) return fn;
  throw std::runtime_error(path_ + " does not export " + name);
}

}  // namespace jnihost
