#include "plugins/ProductLocations.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "common/ExCommon.h"
#include "common/Reg.h"
#include "common/TextConversion.h"
#include "common/UniqueHandle.h"
#include "ipc/SharedNames.h"

namespace ProductLocations {

namespace {

constexpr wchar_t kAntiVirusKey[] = L"SOFTWARE\\Veltrane\\Anti-Virus";
constexpr wchar_t kWebFilterKey[] = L"SOFTWARE\\Veltrane\\WebFilter";
constexpr wchar_t kInstallPathValue[] = L"InstallPath";
constexpr wchar_t kLanguageValue[] = L"Lang";
constexpr wchar_t kSuiteTypeValue[] = L"SuiteType";
constexpr wchar_t kProfileListKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kProgramDataValue[] = L"ProgramData";
constexpr wchar_t kUserShellFoldersKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kCommonAppDataValue[] = L"Common AppData";
constexpr wchar_t kDefaultCommonAppData[] = L"%ProgramData%";

// The process-wide cache. An empty entry is a value not determined yet; once an entry
// holds text it never changes. The lock keeps a fill on one thread (InitLocations,
// GetLanguage) apart from reads on others (the logger, the resource manager).
struct LocationCache {
  std::wstring installPath;
  std::wstring antiVirusInstallPath;
  std::wstring webFilterInstallPath;
  std::wstring logsFolder;
  std::wstring language;
};

LocationCache g_cache;
SRWLOCK g_cacheLock = SRWLOCK_INIT;

std::wstring ReadCached(const std::wstring& entry) {
  ::AcquireSRWLockShared(&g_cacheLock);
  std::wstring copy = entry;
  ::ReleaseSRWLockShared(&g_cacheLock);
  return copy;
}

// Stores `value` when the entry is still empty; returns the entry's text.
std::wstring StoreIfEmpty(std::wstring& entry, const std::wstring& value) {
  ::AcquireSRWLockExclusive(&g_cacheLock);
  if (entry.empty()) entry = value;
  std::wstring copy = entry;
  ::ReleaseSRWLockExclusive(&g_cacheLock);
  return copy;
}

std::wstring ReadInstallPath(const wchar_t* keyPath) {
  return ExCommon::ReadMachineString(keyPath, kInstallPathValue);
}

std::wstring FormInstallPath() { return ReadInstallPath(SharedNames::kRegistryRoot); }
std::wstring FormAntiVirusInstallPath() { return ReadInstallPath(kAntiVirusKey); }
std::wstring FormWebFilterInstallPath() { return ReadInstallPath(kWebFilterKey); }
std::wstring FormLogsFolder() { return AddTrailingBackslash(GetProductDataFolder(), true) + L"Logs"; }
std::wstring FormLanguage() {
  return ExCommon::ReadMachineString(SharedNames::kRegistryRoot, kLanguageValue);
}

std::wstring CachedOrFormed(const std::wstring& entry, std::wstring (*form)()) {
  std::wstring value = ReadCached(entry);
  if (!value.empty()) return value;
  return form();
}

std::wstring PluginFolder(const wchar_t* suffix) {
  const std::wstring webFilter = GetWebFilterInstallPath();
  if (webFilter.empty()) return std::wstring();
  return AddTrailingBackslash(webFilter, true) + suffix;
}

using SHGetFolderPathWFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);

// SHGetFolderPathW resolved from `library` at run time, for `folder` (a CSIDL value with
// its flags), into a zeroed buffer of `capacity` characters; empty when the library,
// the function or the call fails.
std::wstring ShellFolderFrom(const wchar_t* library, int folder, size_t capacity) {
  UniqueModule module(::LoadLibraryW(library));
  if (!module) return std::wstring();
  const auto getFolderPath =
      reinterpret_cast<SHGetFolderPathWFn>(::GetProcAddress(module.get(), "SHGetFolderPathW"));
  if (getFolderPath == nullptr) return std::wstring();
  std::vector<wchar_t> path(capacity, L'\0');
  if (getFolderPath(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path.data()) < 0) return std::wstring();
  path[capacity - 1] = L'\0';
  return std::wstring(path.data());
}

std::wstring CommonAppDataFrom(const wchar_t* library) {
  return ShellFolderFrom(library, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, 521);
}

// A value under HKEY_LOCAL_MACHINE, with its text only when it is stored as text.
RegistryText ReadMachineText(const wchar_t* keyPath, const wchar_t* valueName) {
  RegistryText value;
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, keyPath, valueName, RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return value;
  }
  value.exists = true;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return value;
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, keyPath, valueName, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     &type, text.data(), &size) != ERROR_SUCCESS) {
    return value;
  }
  text.back() = L'\0';
  value.isText = true;
  value.text = text.data();
  return value;
}

// The common application-data folder where the system records it for the shell: the
// value "ProgramData" of the profile list (Windows Vista and later), unless the shell's
// own record says the folder lies elsewhere.
std::wstring ProgramDataFromProfileList() {
  return RecordedCommonAppDataFolder(ReadMachineText(kProfileListKey, kProgramDataValue),
                                     ReadMachineText(kUserShellFoldersKey, kCommonAppDataValue));
}

}  // namespace

std::wstring GetInstallPath() { return CachedOrFormed(g_cache.installPath, &FormInstallPath); }

std::wstring GetAntiVirusInstallPath() {
  return CachedOrFormed(g_cache.antiVirusInstallPath, &FormAntiVirusInstallPath);
}

std::wstring GetWebFilterInstallPath() {
  return CachedOrFormed(g_cache.webFilterInstallPath, &FormWebFilterInstallPath);
}

std::wstring GetHearthPluginFolder() { return PluginFolder(L"Plugins\\Hearth"); }
std::wstring GetMalwarePluginFolder() { return PluginFolder(L"Plugins\\Malware"); }
std::wstring GetIDTheftPluginFolder() { return PluginFolder(L"Plugins\\IDTheft"); }

std::wstring ExistingExpandedFolder(const std::wstring& recorded) {
  if (recorded.empty()) return std::wstring();
  wchar_t expanded[MAX_PATH + 1] = {};
  const DWORD length = ::ExpandEnvironmentStringsW(recorded.c_str(), expanded, MAX_PATH);
  if (length == 0 || length > MAX_PATH || !ExCommon::IsDirectory(expanded)) return std::wstring();
  return expanded;
}

std::wstring RecordedCommonAppDataFolder(const RegistryText& programData, const RegistryText& shellRecord) {
  if (shellRecord.exists &&
      (!shellRecord.isText || ::lstrcmpiW(shellRecord.text.c_str(), kDefaultCommonAppData) != 0)) {
    return std::wstring();
  }
  if (!programData.isText) return std::wstring();
  return ExistingExpandedFolder(programData.text);
}

// The common application-data folder is read where the shell itself finds it, and asked
// of the shell (SHGetFolderPathW, CSIDL_COMMON_APPDATA, current path) whenever that
// record may not give the shell's answer (RecordedCommonAppDataFolder). The shell is
// loaded for that call alone: linked to the service it would bring the shell, the window
// manager and the font engine into the process for one folder name (several megabytes
// and a thread), and make the service depend on a desktop heap. The environment's
// "ProgramData" is no substitute: a service's environment block need not carry the
// machine's value.
std::wstring GetProductDataFolder() {
  std::wstring path = ProgramDataFromProfileList();
  if (path.empty()) path = ShellFolderFrom(L"shell32.dll", CSIDL_COMMON_APPDATA, MAX_PATH + 1);
  if (path.empty()) return std::wstring();
  return AddTrailingBackslash(path, true) + L"VeltraneTng";
}

std::wstring GetLogsFolder() { return CachedOrFormed(g_cache.logsFolder, &FormLogsFolder); }

std::wstring GetStoredDataFolder() {
  return AddTrailingBackslash(GetProductDataFolder(), true) + L"StoredData";
}

std::wstring GetStoredDataLogsFolder() {
  return AddTrailingBackslash(GetStoredDataFolder(), true) + L"Logs";
}

std::wstring GetLanguage() {
  std::wstring language = ReadCached(g_cache.language);
  if (!language.empty()) return language;
  return StoreIfEmpty(g_cache.language, FormLanguage());
}

bool IsSuiteType(const std::wstring& type) {
  Reg key;
  if (!key.Open(HKEY_LOCAL_MACHINE, SharedNames::kRegistryRoot, KEY_READ)) return false;
  std::wstring suiteType;
  // Only a text value names a suite type: a number whose bytes happen to spell one
  // must not switch every plug-in off.
  const bool read = key.GetTextString(kSuiteTypeValue, suiteType);
  key.Close();
  return read && ::lstrcmpiW(suiteType.c_str(), type.c_str()) == 0;
}

// Read from the same record as the product data folder, for the same reason: the
// logger asks for this folder when a full log is archived, and a shell loaded for that
// would leave the window manager (which is never unloaded), a window station and a
// desktop in the service for the rest of its life. The shell is asked (and creates the
// folder) only when the record names no existing folder.
std::wstring GetCommonAppDataFolder() {
  std::wstring folder = ProgramDataFromProfileList();
  if (!folder.empty()) return folder;
  folder = CommonAppDataFrom(L"shell32.dll");
  if (folder.empty()) folder = CommonAppDataFrom(L"SHFolder.dll");
  return folder;
}

void InitLocations() {
  // Each entry is formed only while empty; values that come out empty stay empty and
  // are formed again by the getters on every call.
  if (ReadCached(g_cache.installPath).empty()) StoreIfEmpty(g_cache.installPath, FormInstallPath());
  if (ReadCached(g_cache.antiVirusInstallPath).empty()) {
    StoreIfEmpty(g_cache.antiVirusInstallPath, FormAntiVirusInstallPath());
  }
  if (ReadCached(g_cache.webFilterInstallPath).empty()) {
    StoreIfEmpty(g_cache.webFilterInstallPath, FormWebFilterInstallPath());
  }
  if (ReadCached(g_cache.logsFolder).empty()) StoreIfEmpty(g_cache.logsFolder, FormLogsFolder());
  if (ReadCached(g_cache.language).empty()) StoreIfEmpty(g_cache.language, FormLanguage());
}

}  // namespace ProductLocations
