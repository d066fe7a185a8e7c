#include "common/ExCommon.h"

#include <aclapi.h>

#include <cstdlib>
#include <cwctype>
#include <sstream>

#include "common/OpenSecurityAttributes.h"
#include "common/Reg.h"
#include "common/TextConversion.h"
#include "common/UniqueHandle.h"
#include "common/W32SecAttr.h"
#include "ipc/SharedNames.h"
#include "log/Logger.h"
#include "plugins/ProductLocations.h"

namespace ExCommon {

namespace {

struct KnownService {
  const wchar_t* executableName;
  const wchar_t* serviceName;
};

// Searched in this order; the first executable name found in the path wins.
const KnownService kKnownServices[] = {
    {L"ZENTMGR.exe", L"ZENTMGR"},       {L"ZENTMGR10.exe", L"ZENTMGR"},
    {L"ZENT.exe", L"ZENT"},             {L"SentrelSrv.exe", L"SentrelSrv"},
    {L"KeeperSrv.exe", L"k.Keeper"},
};

constexpr wchar_t kWatchDogPrefix[] = L"WatchDog_";

}  // namespace

DWORD GeCurrentSessionId() {
  DWORD sessionId = 0xFFFFFFFF;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &sessionId)) {
    const DWORD error = ::GetLastError();
    sessionId = 0xFFFFFFFF;
    Logger::Instance().Log(LogLevel::Error, L"ExCommon::GeCurrentSessionId failed, gle:%d",
                           static_cast<int>(error));
  }
  return sessionId;
}

std::wstring GetModulePath() {
  // Long enough for any path the loader reports; GetModuleFileNameW truncates beyond it.
  wchar_t path[520] = {};
  ::GetModuleFileNameW(nullptr, path, 520);
  path[519] = L'\0';  // a truncated path is not always terminated
  return std::wstring(path);
}

std::wstring ReadMachineString(const std::wstring& keyPath, const std::wstring& valueName) {
  Reg key;
  std::wstring value;
  if (key.Open(HKEY_LOCAL_MACHINE, keyPath.c_str(), KEY_READ)) {
    // A setting of another type than text (a number, bytes) reads as missing: its bytes
    // are no path or name of the suite's.
    if (!key.GetTextString(valueName.c_str(), value)) value.clear();
    key.Close();
  }
  return value;
}

std::wstring ServiceNameForPath(const std::wstring& executablePath) {
  const std::wstring lowerPath = ToLower(executablePath);
  for (const KnownService& known : kKnownServices) {
    if (lowerPath.find(ToLower(known.executableName)) != std::wstring::npos) {
      return known.serviceName;
    }
  }
  return std::wstring();
}

std::wstring ProcessPathToServiceName() {
  const std::wstring lowerPath = ToLower(GetModulePath());
  const std::wstring serviceName = ServiceNameForPath(lowerPath);
  if (serviceName.empty()) {
    Logger::Instance().Log(LogLevel::Warn, L"ProcessPathToServiceName - Not a known service: %s",
                           lowerPath.c_str());
  }
  return serviceName;
}

std::wstring StopRequestEventNameFor(const std::wstring& serviceName) {
  std::wstring name = SharedNames::kStopRequestEventTemplate;
  ReplaceAll(name, L"{0}", serviceName);
  return name;
}

std::wstring GetStopRequestEventName() { return StopRequestEventNameFor(ProcessPathToServiceName()); }

void RequestServiceStopSupport(const std::wstring& serviceName, const std::wstring& requesterName,
                               DWORD timeoutMs) {
  Logger& log = Logger::Instance();
  std::wstring service = ProcessPathToServiceName();
  std::wstring eventName;
  if (!service.empty()) {
    eventName = StopRequestEventNameFor(service);
  } else {
    log.Log(LogLevel::Warn, L"RequestServiceStopSupport : Recovering using %s...",
            serviceName.c_str());
    service = serviceName;
    eventName = StopRequestEventNameFor(service);
  }
  log.Log(LogLevel::Warn, L"RequestServiceStopSupport for %s, eventName: %s, by: %s",
          service.c_str(), eventName.c_str(), requesterName.c_str());

  // Auto-reset, not signalled; opens the event when the service already created it.
  UniqueKernelHandle event(
      ::CreateEventW(GetOpenSecurityAttributes(), FALSE, FALSE, eventName.c_str()));

  if (SetNamedEvent(eventName, requesterName)) {
    log.Log(LogLevel::Warn, L"RequestServiceStopSupport waiting...");
    // A null handle makes the wait fail at once (WAIT_FAILED).
    const DWORD waitResult = ::WaitForSingleObject(event.get(), timeoutMs);
    log.Log(LogLevel::Warn, L"RequestServiceStopSupport wait res %d", static_cast<int>(waitResult));
  } else {
    log.Log(LogLevel::Warn, L"RequestServiceStopSupport no listener..");
  }
}

bool SetNamedEvent(const std::wstring& eventName, const std::wstring& requesterName) {
  bool signalled = false;
  UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
  if (event) signalled = ::SetEvent(event.get()) != FALSE;
  Logger::Instance().Log(signalled ? LogLevel::Always : LogLevel::Warn, L"SetNamedEvent %s - %d",
                         requesterName.c_str(), signalled ? 1 : 0);
  return signalled;
}

void SetWatchDogFlag(const std::wstring& serviceName, DWORD value) {
  Reg key;
  if (key.Open(HKEY_LOCAL_MACHINE, SharedNames::kRegistryRoot, KEY_ALL_ACCESS)) {
    const std::wstring valueName = kWatchDogPrefix + serviceName;
    key.SetValue(valueName.c_str(), value);
    key.Close();
  }
}

std::wstring BuildPrependedPath(const std::vector<std::wstring>& folders,
                                const std::wstring& currentPath) {
  std::wstring path;
  for (size_t i = 0; i < folders.size(); ++i) {
    if (i != 0) path += L';';
    path += folders[i];
  }
  path += L';';
  path += currentPath;
  return path;
}

bool PrependToPath(const std::vector<std::wstring>& folders) {
  if (folders.empty()) return true;

  std::wstring currentPath;
  DWORD needed = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
  while (needed != 0) {
    std::vector<wchar_t> buffer(needed, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(L"PATH", buffer.data(), needed);
    if (length < needed) {
      currentPath.assign(buffer.data(), length);
      break;
    }
    needed = length;  // another thread made PATH longer meanwhile: read it again, whole
  }

  const std::wstring newPath = BuildPrependedPath(folders, currentPath);
  if (::SetEnvironmentVariableW(L"PATH", newPath.c_str())) return true;

  const DWORD error = ::GetLastError();
  if (Logger::Instance().IsLevelEnabled(LogLevel::Fatal)) {
    LogStream(LogLevel::Fatal) << L"SetEnvironmentVariable failed, gle:" << error << L", size:"
                               << newPath.size() << L", Path:" << newPath;
  }
  return false;
}

std::wstring EnsureStoredDataFolder() {
  const std::wstring folder = ProductLocations::GetStoredDataFolder();
  if (IsDirectory(folder)) return folder;

  CreateFolderPath(folder);
  W32SecAttr access;
  if (access.Create(GENERIC_ALL, FILE_ALL_ACCESS, SET_ACCESS,
                    SUB_CONTAINERS_AND_OBJECTS_INHERIT)) {
    ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION, nullptr, nullptr, access.acl, nullptr);
  }
  return folder;
}

std::wstring GetFileVersionString(const std::wstring& filePath) {
  if (filePath.empty()) return std::wstring();
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(filePath.c_str(), &handle);
  if (size == 0) return std::wstring();
  std::vector<unsigned char> data(size, 0);
  if (!::GetFileVersionInfoW(filePath.c_str(), 0, size, data.data())) return std::wstring();
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) ||
      info == nullptr || infoSize < sizeof(VS_FIXEDFILEINFO)) {
    return std::wstring();
  }
  return ToDecimal(HIWORD(info->dwFileVersionMS)) + L"." + ToDecimal(LOWORD(info->dwFileVersionMS)) +
         L"." + ToDecimal(HIWORD(info->dwFileVersionLS)) + L"." +
         ToDecimal(LOWORD(info->dwFileVersionLS));
}

std::wstring GetTempFolder() {
  // The run-time library's copy of the environment, as the suite's other programs see it.
  const wchar_t* value = _wgetenv(L"TEMP");
  return value != nullptr ? std::wstring(value) : std::wstring();
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  return ToLower(a) == ToLower(b);
}

std::wstring ToLower(const std::wstring& text) {
  std::wstring lower(text);
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  return lower;
}

std::wstring ToDecimal(unsigned long value) {
  std::wostringstream stream;
  stream << value;
  return stream.str();
}

void ReplaceAll(std::wstring& text, const std::wstring& what, const std::wstring& replacement) {
  if (what == replacement || what.empty()) return;
  size_t pos = 0;
  while ((pos = text.find(what, pos)) != std::wstring::npos) {
    text.replace(pos, what.size(), replacement);
    pos += replacement.size();  // inserted text is never searched again
  }
}

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CopyFileOver(const std::wstring& source, const std::wstring& target) {
  if (target.empty() || !IsFile(source)) return false;
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    ::SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  return ::CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
}

void CreateFolderPath(const std::wstring& path) {
  const std::wstring full = AddTrailingBackslash(path, true);
  for (size_t i = 0; i < full.size(); ++i) {
    if (full[i] == L'\\' || full[i] == L'/') {
      ::CreateDirectoryW(full.substr(0, i + 1).c_str(), nullptr);
    }
  }
  if (!::CreateDirectoryW(full.c_str(), nullptr) && ::GetLastError() == ERROR_ALREADY_EXISTS) {
    const DWORD attributes = ::GetFileAttributesW(full.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      ::SetFileAttributesW(full.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
  }
}

}  // namespace ExCommon
