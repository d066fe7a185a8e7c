// Where the suite's components and data lie. Every result is a wide string without a
// trailing backslash, empty when unknown.
#pragma once

#include <string>

namespace ProductLocations {

std::wstring GetInstallPath();
std::wstring GetAntiVirusInstallPath();
std::wstring GetWebFilterInstallPath();
std::wstring GetHearthPluginFolder();
std::wstring GetMalwarePluginFolder();
std::wstring GetIDTheftPluginFolder();
std::wstring GetProductDataFolder();
// `recorded` (a folder that may hold environment variables such as %SystemDrive%)
// expanded, when it names an existing folder; empty otherwise.
std::wstring ExistingExpandedFolder(const std::wstring& recorded);

// A registry value as far as the folder lookup cares: whether it exists, and its text
// when it is stored as text (REG_SZ or REG_EXPAND_SZ, not expanded).
struct RegistryText {
  bool exists = false;
  bool isText = false;
  std::wstring text;
};
// The common application-data folder as the registry records it, when that record
// gives what the shell answers; empty when the shell is to be asked. `programData` is
// the profile list's "ProgramData", which counts only when stored as text and naming an
// existing folder (ExistingExpandedFolder). `shellRecord` is the shell's own
// "Common AppData" under User Shell Folders: anything but missing or its default
// "%ProgramData%" means the folder was moved where only the shell knows.
std::wstring RecordedCommonAppDataFolder(const RegistryText& programData, const RegistryText& shellRecord);
std::wstring GetLogsFolder();
std::wstring GetStoredDataFolder();
std::wstring GetStoredDataLogsFolder();
std::wstring GetLanguage();
bool IsSuiteType(const std::wstring& type);
std::wstring GetCommonAppDataFolder();
void InitLocations();

}  // namespace ProductLocations
