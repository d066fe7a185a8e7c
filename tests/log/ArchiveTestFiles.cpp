#include "ArchiveTestFiles.h"

#include <tlhelp32.h>

#include "common/ExCommon.h"
#include "common/UniqueHandle.h"
#include "plugins/ProductLocations.h"
#include "support/ChildProcess.h"
#include "tools/Compactor/GzipStream.h"

namespace archive_test {

namespace {
std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

}  // namespace


ScratchLoggerKey::ScratchLoggerKey(const std::wstring& name, DWORD level, DWORD maxSizeMb)
    : keyPath_(L"SOFTWARE\\Veltrane\\Logger\\" + name) {
  UniqueHKey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  ::RegSetValueExW(key.get(), L"level", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                   sizeof(level));
  ::RegSetValueExW(key.get(), L"max_size_mb", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&maxSizeMb), sizeof(maxSizeMb));
}

ScratchLoggerKey::~ScratchLoggerKey() { ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath_.c_str()); }

std::wstring InstalledCompactorPath() {
  std::wstring folder = ProductLocations::GetCommonAppDataFolder();
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder + L"Veltrane\\Consumer\\KAL\\9\\Compactor.exe";
}

CompactorMovedAway::CompactorMovedAway() : tool_(InstalledCompactorPath()) {
  moved_ = EnsureCompactorInstalled() &&
           ::MoveFileExW(tool_.c_str(), (tool_ + L".away").c_str(), MOVEFILE_REPLACE_EXISTING);
}

CompactorMovedAway::~CompactorMovedAway() {
  if (moved_) ::MoveFileExW((tool_ + L".away").c_str(), tool_.c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool EnsureCompactorInstalled() {
  const std::wstring installed = InstalledCompactorPath();
  if (ExCommon::IsFile(installed)) return true;
  // <build>\tests\tests_log.exe -> <build>\tools\Compactor.exe
  const std::wstring built = Folder(Folder(test_support::SelfPath())) + L"\\tools\\Compactor.exe";
  ExCommon::CreateFolderPath(Folder(installed));
  ::CopyFileW(built.c_str(), installed.c_str(), TRUE);
  return ExCommon::IsFile(installed);
}

namespace {
size_t RunningCompactorChildren() {
  UniqueKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  size_t count = 0;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == ::GetCurrentProcessId() &&
        ExCommon::EqualsNoCase(entry.szExeFile, L"Compactor.exe")) {
      ++count;
    }
  }
  return count;
}
}  // namespace

bool WaitForCompactors(const std::wstring& folder, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    bool temporaryLeft = false;
    for (const auto& name : FilesIn(folder)) temporaryLeft |= EndsWith(name, L".tmp");
    if (!temporaryLeft && RunningCompactorChildren() == 0) return true;
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(50);
  }
}


bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}


test_support::LogFileContent ReadArchive(const std::wstring& path) {
  std::string plain;
  if (!Gzip::DecompressBytes(ReadBytes(path), &plain)) return test_support::LogFileContent();
  return test_support::DecodeLogBytes(plain);
}

LogFolderContent ReadLogFolder(const std::wstring& folder, const std::wstring& liveName) {
  LogFolderContent content;
  for (const auto& name : FilesIn(folder)) {
    const std::wstring path = folder + L"\\" + name;
    if (ExCommon::EqualsNoCase(name, liveName)) {
      content.live = test_support::ReadLogFile(path);
    } else if (EndsWith(name, L".gz")) {
      content.archiveNames.push_back(name);
      content.archives.push_back(ReadArchive(path));
      if (!content.archives.back().exists) ++content.badArchives;
    } else if (EndsWith(name, L".log")) {
      content.leftovers.push_back(test_support::ReadLogFile(path));
    } else {
      content.otherNames.push_back(name);
    }
  }
  return content;
}

}  // namespace archive_test
