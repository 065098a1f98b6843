// The Windows program's version information, read back as Windows reads it
// (GetFileVersionInfo), and its manifest, as the loader finds it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "console_run.h"

namespace {

const std::string Program = WindowsPath(ZEROBENCH_PROGRAM);

class VersionInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(Program.c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version information in " << Program << " (error " << GetLastError()
                        << ")";
    data_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(Program.c_str(), 0, size, data_.data()));
  }

  // A value of the U.S. English, Unicode string table.
  std::string Text(const char* name) {
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data_.data(), key.c_str(), &value, &length) || length == 0)
      return "(missing)";
    return std::string(static_cast<const char*>(value),
                       strnlen(static_cast<const char*>(value), length));
  }

  std::vector<char> data_;
};

TEST_F(VersionInfo, FixedFileAndProductVersionsAreTheProjectVersion) {
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data_.data(), "\\", &value, &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  const DWORD high = (ZEROBENCH_VERSION_MAJOR << 16) | ZEROBENCH_VERSION_MINOR;
  const DWORD low = ZEROBENCH_VERSION_PATCH << 16;
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);
}

TEST_F(VersionInfo, NamesTheProgramItsVersionAndItsLicence) {
  EXPECT_EQ(Text("ProductName"), "zerobench");
  EXPECT_EQ(Text("FileVersion"), ZEROBENCH_VERSION);
  EXPECT_EQ(Text("ProductVersion"), ZEROBENCH_VERSION);
  EXPECT_EQ(Text("OriginalFilename"), "zerobench.exe");
  EXPECT_NE(Text("FileDescription").find("zerobench"), std::string::npos);
  EXPECT_NE(Text("LegalCopyright").find("MIT"), std::string::npos) << Text("LegalCopyright");
}

TEST(Manifest, RunsAsInvokerAndNamesWindows7To11) {
  HMODULE image = LoadLibraryExA(Program.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr) << Program << " (error " << GetLastError() << ")";
  // CREATEPROCESS_MANIFEST_RESOURCE_ID of type RT_MANIFEST.
  HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  std::string manifest;
  if (found)
    manifest.assign(static_cast<const char*>(LockResource(LoadResource(image, found))),
                    SizeofResource(image, found));
  FreeLibrary(image);
  ASSERT_NE(found, nullptr) << "no application manifest";
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  for (const char* windows : {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",   // 7
                              "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",   // 8
                              "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",   // 8.1
                              "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})  // 10 and 11
    EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + windows), std::string::npos)
        << windows;
}

}  // namespace
