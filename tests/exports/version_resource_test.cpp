// The version resource of each shipped DLL, read as a Windows program reads it: the project's
// version in the fixed part and in the strings, and the DLL's own file name.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

class VersionResource : public ::testing::TestWithParam<const wchar_t*> {};

std::wstring widened(const char* text) { return std::wstring(text, text + strlen(text)); }

std::wstring stringValue(std::vector<BYTE>& block, const wchar_t* key) {
  std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
  wchar_t* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !value) return L"(none)";
  return value;
}

TEST_P(VersionResource, CarriesTheProjectVersion) {
  const std::wstring file = widened(QL_DIST_FOLDER) + L"/" + GetParam() + L".dll";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const DWORD high = MAKELONG(QL_VERSION_MINOR, QL_VERSION_MAJOR), low = MAKELONG(0, QL_VERSION_PATCH);
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);

  const std::wstring version = widened(QL_VERSION);
  EXPECT_EQ(stringValue(block, L"FileVersion"), version);
  EXPECT_EQ(stringValue(block, L"ProductVersion"), version);
  EXPECT_EQ(stringValue(block, L"ProductName"), widened(QL_PRODUCT_NAME));
  EXPECT_EQ(stringValue(block, L"OriginalFilename"), std::wstring(GetParam()) + L".dll");
  EXPECT_NE(stringValue(block, L"FileDescription").find(L"Quorlink keyboard"), std::wstring::npos);
}

INSTANTIATE_TEST_SUITE_P(Shipped, VersionResource, ::testing::Values(L"TonePort", L"ChordGate"),
                         [](const ::testing::TestParamInfo<const wchar_t*>& info) {
                           return std::string(info.param, info.param + wcslen(info.param));
                         });

}  // namespace
