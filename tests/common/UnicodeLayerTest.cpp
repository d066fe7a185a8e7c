#include "common/UnicodeLayer.h"

#include <gtest/gtest.h>

#include "common/ExCommon.h"
#include "common/TextConversion.h"
#include "support/ChildProcess.h"
#include "support/ScratchRegKey.h"

namespace {

TEST(UnicodeLayerPath, CandidateFromPathValue) {
  struct Case {
    const char* folder;
    const char* candidate;
  };
  const Case cases[] = {
      {"C:\\", "C:\\unicows.dll"},
      {"C:\\X", "C:\\X\\unicows.dll"},
      {"C:", "C:unicows.dll"},
      {"C:\\Program Files\\Veltrane", "C:\\Program Files\\Veltrane\\unicows.dll"},
  };
  for (const Case& c : cases) EXPECT_EQ(UnicodeLayer::CandidatePath(c.folder), c.candidate);
  // A folder that leaves no room for the file name in the loader's buffer is not tried.
  EXPECT_EQ(UnicodeLayer::CandidatePath(std::string(300, 'a')), "");
}

// Loads the library named unicows.dll from the folder in "Path" (a copy of a small
// system DLL stands in for it).
TEST(MachineUnicodeLayer, LoadsFromThePathFolder) {
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring folder = ExCommon::GetTempFolder() + L"\\" + test_support::UniqueName(L"Ucl");
  ExCommon::CreateFolderPath(folder);
  const std::wstring copy = folder + L"\\unicows.dll";
  ASSERT_TRUE(::CopyFileW((std::wstring(system) + L"\\msimg32.dll").c_str(), copy.c_str(), FALSE));

  {
    test_support::MachineValueGuard path(L"SOFTWARE\\Veltrane", L"Path");
    ASSERT_TRUE(path.SetString(folder));
    HMODULE module = LoadUnicodeLayer();
    ASSERT_NE(module, nullptr);
    wchar_t loaded[MAX_PATH] = {};
    ::GetModuleFileNameW(module, loaded, MAX_PATH);
    EXPECT_TRUE(ExCommon::EqualsNoCase(loaded, copy)) << loaded;
    ::FreeLibrary(module);
  }
  ::DeleteFileW(copy.c_str());
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace
