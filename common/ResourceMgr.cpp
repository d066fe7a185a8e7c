#include "common/ResourceMgr.h"

#include <cstdlib>
#include <ctime>
#include <exception>
#include <vector>

#include "common/ExCommon.h"
#include "common/OpenSecurityAttributes.h"
#include "common/TextConversion.h"
#include "ipc/SharedNames.h"
#include "log/Logger.h"
#include "plugins/ProductLocations.h"

namespace {

constexpr DWORD kMutexWaitMs = 5000;
constexpr DWORD kCopyRetryDelayMs = 1000;
// Fresh names one copy attempt tries while the names it forms are taken.
constexpr int kCopyNameTries = 16;
constexpr DWORD kCopyBlockSize = 64 * 1024;

std::wstring NewTempCopyName() {
  return ResourceMgr::TempCopyName(ExCommon::GetTempFolder(),
                                   static_cast<long long>(std::time(nullptr)), std::rand());
}

// Copies `source` into a file created new under `target`. The temporary folder is
// shared with every local account and the name is predictable, so an existing file or
// link of that name is never opened, followed or overwritten: *nameTaken is set and
// nothing is written. (Without FILE_FLAG_OPEN_REPARSE_POINT, CREATE_NEW follows a
// symbolic link that points nowhere and creates its target.) *made tells whether a file
// of that name was created here and is still there; one created but not filled is
// deleted at once. The Windows error code, or 0.
DWORD CopyToNewFile(const std::wstring& source, const std::wstring& target, bool* made,
                    bool* nameTaken) {
  *made = false;
  *nameTaken = false;
  UniqueKernelHandle in(::CreateFileW(source.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in) return ::GetLastError();

  UniqueKernelHandle out(
      ::CreateFileW(target.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!out) {
    const DWORD error = ::GetLastError();
    *nameTaken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
                 ::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
    return error;
  }
  *made = true;

  DWORD error = 0;
  std::vector<char> block(kCopyBlockSize);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(in.get(), block.data(), kCopyBlockSize, &read, nullptr)) {
      error = ::GetLastError();
      break;
    }
    if (read == 0) break;
    DWORD written = 0;
    if (!::WriteFile(out.get(), block.data(), read, &written, nullptr) || written != read) {
      error = ::GetLastError();
      if (error == 0) error = ERROR_WRITE_FAULT;
      break;
    }
  }
  if (error != 0) {
    FILE_DISPOSITION_INFO dispose = {TRUE};  // delete when the handle closes
    if (::SetFileInformationByHandle(out.get(), FileDispositionInfo, &dispose, sizeof(dispose))) {
      *made = false;
    } else {
      out.reset();
      if (::DeleteFileW(target.c_str())) *made = false;
    }
  }
  return error;
}

// Releases the mutex on the way out when the wait gave ownership.
class HeldMutex {
 public:
  HeldMutex(HANDLE mutex, DWORD waitResult)
      : mutex_(waitResult == WAIT_OBJECT_0 || waitResult == WAIT_ABANDONED ? mutex : nullptr) {}
  ~HeldMutex() {
    if (mutex_ != nullptr) {
      const DWORD lastError = ::GetLastError();
      ::ReleaseMutex(mutex_);
      ::SetLastError(lastError);
    }
  }
  HeldMutex(const HeldMutex&) = delete;
  HeldMutex& operator=(const HeldMutex&) = delete;

 private:
  HANDLE mutex_;
};

void LogException(const wchar_t* operation, const std::exception& e) noexcept {
  const DWORD lastError = ::GetLastError();
  try {
    Logger::Instance().Log(LogLevel::Error, L"ResourceMgr - %s - exception caught: %s (GLE = %d)",
                           operation, AnsiToWide(e.what()).c_str(), static_cast<int>(lastError));
  } catch (...) {
    // Nothing more can be said without memory.
  }
}

}  // namespace

class ResourceMgr::Lock {
 public:
  explicit Lock(CRITICAL_SECTION& section) : section_(section) {
    ::EnterCriticalSection(&section_);
  }
  ~Lock() { ::LeaveCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  CRITICAL_SECTION& section_;
};

ResourceMgr& ResourceMgr::Instance() {
  static ResourceMgr instance(SharedNames::kResourceManagerMutex);
  return instance;
}

ResourceMgr::ResourceMgr(const std::wstring& mutexName)
    // Not initially owned; an existing mutex of that name is opened. Null when neither
    // works: every wait then fails at once and the copies go ahead without it.
    : mutex_(::CreateMutexW(GetOpenSecurityAttributes(), FALSE, mutexName.c_str())) {
  ::InitializeCriticalSection(&lock_);
}

ResourceMgr::~ResourceMgr() { ::DeleteCriticalSection(&lock_); }

std::wstring ResourceMgr::WebFilterResourcePath(const std::wstring& installFolder,
                                                const std::wstring& language) {
  const std::wstring folder = AddTrailingBackslash(installFolder);
  if (language.empty()) return folder + L"resource.json";
  return folder + language + L"\\resource.json";
}

std::wstring ResourceMgr::TempCopyName(const std::wstring& tempFolder, long long seconds,
                                       int number) {
  return tempFolder + L"\\ResourceMgr." + std::to_wstring(seconds) + std::to_wstring(number) +
         L".tmp";
}

bool ResourceMgr::AddWebFilterResource() {
  Logger::Instance().Log(LogLevel::Always, L"ResourceMgr::AddWebFilterResource - invoked");
  std::wstring path;
  try {
    path = WebFilterResourcePath(ProductLocations::GetWebFilterInstallPath(),
                                 ProductLocations::GetLanguage());
  } catch (const std::exception& e) {
    LogException(L"AddWebFilterResource", e);
    return false;
  }
  return Load(path);
}

bool ResourceMgr::Load(const std::wstring& path) {
  TempCopy copy;
  bool result = false;
  try {
    Lock lock(lock_);
    result = LoadLocked(path, &copy);
  } catch (const std::exception& e) {
    LogException(L"Load", e);
    result = false;
  }

  // Outside the lock. Only a file that this call created is removed, with DeleteFileW
  // rather than the shell's Win32DeleteFile, which only adds a change notice (nobody
  // watches a private temporary file) and would load the shell into the service.
  if (copy.made && ExCommon::IsFile(copy.name) && !::DeleteFileW(copy.name.c_str())) {
    const DWORD error = ::GetLastError();
    Logger::Instance().Log(LogLevel::Error,
                           L"ResourceMgr - Load - failed to delete file %s . Error=%ld",
                           copy.name.c_str(), static_cast<long>(error));
  }
  return result;
}

bool ResourceMgr::LoadLocked(const std::wstring& path, TempCopy* copy) {
  Logger& log = Logger::Instance();
  const std::wstring lowerPath = ExCommon::ToLower(path);
  const auto processed = processedFiles_.find(lowerPath);
  if (processed != processedFiles_.end() && processed->second) {
    log.Log(LogLevel::Warn, L"ResourceMgr::Load - File already proceedded: %s", path.c_str());
    return true;
  }
  if (!ExCommon::IsFile(path)) {
    log.Log(LogLevel::Warn, L"ResourceMgr::Load - File does not exist : %s", path.c_str());
    return false;
  }

  copy->name = NewTempCopyName();
  DWORD waitResult = WAIT_FAILED;
  DWORD error = CopyUnderMutex(path, copy, &waitResult);
  if (error != 0) {
    log.Log(LogLevel::Warn,
            L"ResourceMgr - Load - Failed to copy file %s into %s . Error=%ld, dwLockRes = %d",
            path.c_str(), copy->name.c_str(), static_cast<long>(error),
            static_cast<int>(waitResult));
    ::Sleep(kCopyRetryDelayMs);
    error = CopyUnderMutex(path, copy, &waitResult);
    if (error != 0) {
      log.Log(LogLevel::Error,
              L"ResourceMgr - Load Retry - Failed to copy file %s into %s . Error=%ld",
              path.c_str(), copy->name.c_str(), static_cast<long>(error));
      return false;
    }
  }

  if (!JsonHelper::Load(copy->name, resources_, true, false)) {
    log.Log(LogLevel::Error, L"ResourceMgr - Failed to load %s", path.c_str());
    return false;
  }
  processedFiles_[lowerPath] = true;
  return true;
}

DWORD ResourceMgr::CopyUnderMutex(const std::wstring& source, TempCopy* copy, DWORD* waitResult) {
  // A mutex held elsewhere for too long delays the copy, it does not stop it.
  *waitResult = ::WaitForSingleObject(mutex_.get(), kMutexWaitMs);
  HeldMutex held(mutex_.get(), *waitResult);

  bool nameTaken = false;
  DWORD error = CopyToNewFile(source, copy->name, &copy->made, &nameTaken);
  for (int tries = 1; nameTaken && tries < kCopyNameTries; ++tries) {
    Logger::Instance().Log(LogLevel::Warn, L"ResourceMgr - Load - temporary name taken: %s",
                           copy->name.c_str());
    copy->name = NewTempCopyName();
    error = CopyToNewFile(source, copy->name, &copy->made, &nameTaken);
  }
  return error;
}

bool ResourceMgr::DeInit() {
  Logger::Instance().Log(LogLevel::Always, L"ResourceMgr::DeInit - invoked");
  Lock lock(lock_);
  resources_.clear();
  processedFiles_.clear();
  return true;
}

ResourceMgr::ResourceTable ResourceMgr::Resources() const {
  Lock lock(lock_);
  try {
    return resources_;
  } catch (const std::exception&) {
    return ResourceTable();
  }
}
