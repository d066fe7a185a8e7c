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
std::wstring GetLogsFolder();
std::wstring GetStoredDataFolder();
std::wstring GetStoredDataLogsFolder();
std::wstring GetLanguage();
bool IsSuiteType(const std::wstring& type);
std::wstring GetCommonAppDataFolder();
void InitLocations();

}  // namespace ProductLocations
