#include "plugins/ProductLocations.h"

#include <gtest/gtest.h>

#include "common/ExCommon.h"
#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"
#include "support/ScratchFiles.h"
#include "support/ScratchRegKey.h"

namespace {

using test_support::ChildProcess;
using test_support::MachineValueGuard;

constexpr wchar_t kRoot[] = L"SOFTWARE\\Veltrane";
constexpr wchar_t kWebFilter[] = L"SOFTWARE\\Veltrane\\WebFilter";
constexpr wchar_t kAntiVirus[] = L"SOFTWARE\\Veltrane\\Anti-Virus";

// Every fixed value the tests touch, saved before and restored after.
struct SavedLocations {
  MachineValueGuard install{kRoot, L"InstallPath"};
  MachineValueGuard language{kRoot, L"Lang"};
  MachineValueGuard suiteType{kRoot, L"SuiteType"};
  MachineValueGuard webFilter{kWebFilter, L"InstallPath"};
  MachineValueGuard antiVirus{kAntiVirus, L"InstallPath"};
};

// This test process never calls InitLocations (nor GetLanguage), so every getter here
// reads the registry afresh.
TEST(MachineProductLocations, PluginFoldersFollowTheWebFilterInstallPath) {
  SavedLocations saved;
  struct Case {
    const wchar_t* installPath;  // null: value missing
    const wchar_t* malware;
    const wchar_t* hearth;
    const wchar_t* idTheft;
  };
  const Case cases[] = {
      {L"C:\\WF", L"C:\\WF\\Plugins\\Malware", L"C:\\WF\\Plugins\\Hearth", L"C:\\WF\\Plugins\\IDTheft"},
      {L"C:\\WF\\", L"C:\\WF\\Plugins\\Malware", L"C:\\WF\\Plugins\\Hearth", L"C:\\WF\\Plugins\\IDTheft"},
      {L"D:", L"D:Plugins\\Malware", L"D:Plugins\\Hearth", L"D:Plugins\\IDTheft"},
      {L"", L"", L"", L""},
      {nullptr, L"", L"", L""},
      // Not cached: a value set again is read again on the next call.
      {L"E:\\Again", L"E:\\Again\\Plugins\\Malware", L"E:\\Again\\Plugins\\Hearth",
       L"E:\\Again\\Plugins\\IDTheft"},
  };
  for (const Case& c : cases) {
    if (c.installPath) ASSERT_TRUE(saved.webFilter.SetString(c.installPath));
    else ASSERT_TRUE(saved.webFilter.Remove());
    const std::wstring label = c.installPath ? c.installPath : L"(missing)";
    EXPECT_EQ(ProductLocations::GetWebFilterInstallPath(), c.installPath ? c.installPath : L"") << label;
    EXPECT_EQ(ProductLocations::GetMalwarePluginFolder(), c.malware) << label;
    EXPECT_EQ(ProductLocations::GetHearthPluginFolder(), c.hearth) << label;
    EXPECT_EQ(ProductLocations::GetIDTheftPluginFolder(), c.idTheft) << label;
  }
}

TEST(MachineProductLocations, InstallPathsAndSuiteType) {
  SavedLocations saved;
  ASSERT_TRUE(saved.install.SetString(L"C:\\Program Files\\Veltrane"));
  ASSERT_TRUE(saved.antiVirus.SetString(L"C:\\AV"));
  EXPECT_EQ(ProductLocations::GetInstallPath(), L"C:\\Program Files\\Veltrane");
  EXPECT_EQ(ProductLocations::GetAntiVirusInstallPath(), L"C:\\AV");
  ASSERT_TRUE(saved.antiVirus.Remove());
  EXPECT_EQ(ProductLocations::GetAntiVirusInstallPath(), L"");

  struct Case {
    const wchar_t* stored;  // null: value missing
    const wchar_t* asked;
    bool expected;
  };
  const Case cases[] = {
      {L"ZK", L"zk", true}, {L"zk", L"zk", true},   {L"zk2", L"zk", false},
      {L"", L"zk", false},  {nullptr, L"zk", false},
  };
  for (const Case& c : cases) {
    if (c.stored) ASSERT_TRUE(saved.suiteType.SetString(c.stored));
    else ASSERT_TRUE(saved.suiteType.Remove());
    EXPECT_EQ(ProductLocations::IsSuiteType(c.asked), c.expected) << (c.stored ? c.stored : L"(missing)");
  }
}

// Settings stored as another type than text read as missing: a number whose bytes spell
// "zk" neither switches the plug-ins off nor becomes a folder or a language.
TEST(MachineProductLocations, SettingsOfAnotherTypeReadAsMissing) {
  SavedLocations saved;
  const DWORD spellsZk = 0x006B007A;
  const auto writeNumber = [&](const wchar_t* key, const wchar_t* name) {
    UniqueHKey handle;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, handle.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(handle.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&spellsZk),
                               sizeof(spellsZk)),
              ERROR_SUCCESS);
  };
  writeNumber(kRoot, L"SuiteType");
  writeNumber(kRoot, L"InstallPath");
  writeNumber(kWebFilter, L"InstallPath");
  writeNumber(kAntiVirus, L"InstallPath");
  writeNumber(kRoot, L"Lang");
  EXPECT_FALSE(ProductLocations::IsSuiteType(L"zk"));
  EXPECT_EQ(ProductLocations::GetInstallPath(), L"");
  EXPECT_EQ(ProductLocations::GetWebFilterInstallPath(), L"");
  EXPECT_EQ(ProductLocations::GetMalwarePluginFolder(), L"");
  EXPECT_EQ(ProductLocations::GetAntiVirusInstallPath(), L"");
  EXPECT_EQ(ExCommon::ReadMachineString(kRoot, L"Lang"), L"");
}

TEST(ProductLocationsFolders, DataFoldersBelowCommonAppData) {
  const std::wstring common = ProductLocations::GetCommonAppDataFolder();
  ASSERT_FALSE(common.empty());
  EXPECT_TRUE(ExCommon::IsDirectory(common));
  EXPECT_NE(common.back(), L'\\');

  const std::wstring data = ProductLocations::GetProductDataFolder();
  EXPECT_EQ(data, common + L"\\VeltraneTng");
  EXPECT_EQ(ProductLocations::GetLogsFolder(), data + L"\\Logs");
  EXPECT_EQ(ProductLocations::GetStoredDataFolder(), data + L"\\StoredData");
  EXPECT_EQ(ProductLocations::GetStoredDataLogsFolder(), data + L"\\StoredData\\Logs");

  // The StoredData folder exists afterwards (made with its access list when missing).
  EXPECT_EQ(ExCommon::EnsureStoredDataFolder(), data + L"\\StoredData");
  EXPECT_TRUE(ExCommon::IsDirectory(data + L"\\StoredData"));
}

// The recorded common application-data folder counts when it expands to an existing
// folder; otherwise the shell is asked.
TEST(ProductLocationsFolders, RecordedFolderCountsOnlyWhenItExists) {
  test_support::ScratchFolder scratch(L"programdata");
  wchar_t drive[MAX_PATH] = {};
  ASSERT_GT(::GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH), 0u);
  const std::wstring scratchBelowDrive = scratch.path().substr(scratch.path().find(L'\\'));
  struct Case {
    const wchar_t* name;
    std::wstring recorded;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"existing folder", scratch.path(), scratch.path()},
      {L"with a variable", L"%SystemDrive%" + scratchBelowDrive, std::wstring(drive) + scratchBelowDrive},
      {L"missing folder", scratch / L"missing", L""},
      {L"a file, not a folder", L"%SystemRoot%\\system32\\kernel32.dll", L""},
      {L"nothing recorded", L"", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, ProductLocations::ExistingExpandedFolder(c.recorded));
  }
}

// The profile list's record stands for the shell's answer only when it is stored as
// text (the shell ignores a value of another type and uses its default) and the shell's
// own record has not moved the folder (the shell follows that record).
TEST(ProductLocationsFolders, RecordedCommonAppDataOnlyWhereItGivesTheShellsAnswer) {
  test_support::ScratchFolder scratch(L"commonappdata");
  using ProductLocations::RegistryText;
  const RegistryText missing;
  const RegistryText expandSz{true, true, scratch.path()};
  const RegistryText notText{true, false, L""};  // REG_BINARY, REG_MULTI_SZ, REG_DWORD ...
  const RegistryText shellDefault{true, true, L"%ProgramData%"};
  const RegistryText shellDefaultOtherCase{true, true, L"%PROGRAMDATA%"};
  const RegistryText shellMoved{true, true, L"C:\\windows"};
  struct Case {
    const wchar_t* name;
    RegistryText programData;
    RegistryText shellRecord;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"text, shell record at its default", expandSz, shellDefault, scratch.path()},
      {L"text, shell record in other letters", expandSz, shellDefaultOtherCase, scratch.path()},
      {L"text, no shell record", expandSz, missing, scratch.path()},
      {L"not stored as text", notText, shellDefault, L""},
      {L"missing", missing, shellDefault, L""},
      {L"shell record moved elsewhere", expandSz, shellMoved, L""},
      {L"shell record not stored as text", expandSz, notText, L""},
      {L"a folder that does not exist", RegistryText{true, true, scratch / L"missing"}, shellDefault, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, ProductLocations::RecordedCommonAppDataFolder(c.programData, c.shellRecord));
  }
}

// Runs InitLocations, then changes the registry behind it. Each failed check sets one
// bit of the exit code.
SENTREL_CHILD(L"locations-cache", args) {
  MachineValueGuard install(kRoot, L"InstallPath");
  MachineValueGuard webFilter(kWebFilter, L"InstallPath");
  MachineValueGuard antiVirus(kAntiVirus, L"InstallPath");
  MachineValueGuard language(kRoot, L"Lang");
  ProductLocations::InitLocations();
  install.SetString(L"C:\\Root2");
  webFilter.SetString(L"C:\\WF2");
  antiVirus.SetString(L"C:\\AV2");
  language.SetString(L"fr");

  int failures = 0;
  if (ProductLocations::GetInstallPath() != L"C:\\Root1") failures |= 1;
  if (ProductLocations::GetWebFilterInstallPath() != L"C:\\WF1") failures |= 2;
  if (ProductLocations::GetMalwarePluginFolder() != L"C:\\WF1\\Plugins\\Malware") failures |= 4;
  if (ProductLocations::GetLanguage() != L"en") failures |= 8;
  // Empty when InitLocations ran: formed again on every call.
  if (ProductLocations::GetAntiVirusInstallPath() != L"C:\\AV2") failures |= 16;
  antiVirus.SetString(L"C:\\AV3");
  if (ProductLocations::GetAntiVirusInstallPath() != L"C:\\AV3") failures |= 32;
  // A second InitLocations keeps what is stored and fills what was empty.
  ProductLocations::InitLocations();
  antiVirus.SetString(L"C:\\AV4");
  if (ProductLocations::GetAntiVirusInstallPath() != L"C:\\AV3") failures |= 64;
  if (ProductLocations::GetInstallPath() != L"C:\\Root1") failures |= 128;
  return failures;
}

TEST(MachineProductLocations, InitLocationsCachesNonEmptyValues) {
  SavedLocations saved;
  ASSERT_TRUE(saved.install.SetString(L"C:\\Root1"));
  ASSERT_TRUE(saved.webFilter.SetString(L"C:\\WF1"));
  ASSERT_TRUE(saved.language.SetString(L"en"));
  ASSERT_TRUE(saved.antiVirus.Remove());

  ChildProcess child = ChildProcess::Start(L"locations-cache");
  ASSERT_TRUE(child.valid());
  DWORD exitCode = 999;
  ASSERT_TRUE(child.Wait(60000, &exitCode));
  EXPECT_EQ(exitCode, 0u) << "failed checks (bits): " << exitCode;
}

// GetLanguage fills its own cache entry on the first non-empty read.
SENTREL_CHILD(L"language-cache", args) {
  MachineValueGuard language(kRoot, L"Lang");
  int failures = 0;
  language.Remove();
  if (!ProductLocations::GetLanguage().empty()) failures |= 1;
  language.SetString(L"de");
  if (ProductLocations::GetLanguage() != L"de") failures |= 2;
  language.SetString(L"it");
  if (ProductLocations::GetLanguage() != L"de") failures |= 4;
  return failures;
}

TEST(MachineProductLocations, GetLanguageFillsItsCacheEntry) {
  SavedLocations saved;
  ChildProcess child = ChildProcess::Start(L"language-cache");
  ASSERT_TRUE(child.valid());
  DWORD exitCode = 999;
  ASSERT_TRUE(child.Wait(60000, &exitCode));
  EXPECT_EQ(exitCode, 0u) << "failed checks (bits): " << exitCode;
}

}  // namespace
