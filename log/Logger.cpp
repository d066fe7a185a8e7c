#include "log/Logger.h"

#include <cstdarg>
#include <cwctype>
#include <vector>

#include "common/ExCommon.h"
#include "common/TextConversion.h"
#include "log/LogArchiver.h"
#include "log/LogFileName.h"
#include "log/LogLineFormat.h"
#include "log/LoggerConfig.h"
#include "plugins/ProductLocations.h"

namespace {

// Opening states of the process logger (Logger::Instance()).
enum OpenState : int { kNotOpened = 0, kOpening = 1, kOpened = 2 };
std::atomic<int> g_instanceState{kNotOpened};
std::atomic<DWORD> g_openingThread{0};

const wchar_t kUnderscores[] =
    L"__________________________________________________________________________________________________";
const wchar_t kDashes[] = L"------------------------------------------------------------";
static_assert(sizeof(kUnderscores) / sizeof(wchar_t) == 99, "98 underscores");
static_assert(sizeof(kDashes) / sizeof(wchar_t) == 61, "60 dashes");

// The base name without extension and the extension (with its dot) of a path.
void SplitImagePath(const std::wstring& path, std::wstring* baseName, std::wstring* extension) {
  const size_t slash = path.find_last_of(L"\\/");
  std::wstring fileName = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t dot = fileName.find_last_of(L'.');
  if (dot == std::wstring::npos) {
    *baseName = fileName;
    extension->clear();
  } else {
    *baseName = fileName.substr(0, dot);
    *extension = fileName.substr(dot);
  }
}

std::wstring ModulePath(HMODULE module) {
  wchar_t path[520] = {};
  const DWORD length = ::GetModuleFileNameW(module, path, 520);
  if (length == 0 || length >= 520) return std::wstring();
  return std::wstring(path, length);
}

bool IsExistingDirectory(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Makes sure the whole folder tree exists; an existing directory is accepted as it is.
bool EnsureFolderTree(const std::wstring& folder) {
  if (!folder.empty() && IsExistingDirectory(folder)) return true;
  std::vector<std::wstring> prefixes;
  if (!LogFileName::FolderPrefixes(folder, &prefixes)) return false;
  for (const auto& prefix : prefixes) {
    if (IsExistingDirectory(prefix)) continue;
    if (!::CreateDirectoryW(prefix.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
  }
  return true;
}

// Reads one DWORD value; false when the key or value is missing or the value is not a
// 4-byte REG_DWORD.
bool QueryDword(const std::wstring& keyPath, const wchar_t* valueName, DWORD* value) {
  UniqueHKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return false;
  }
  BYTE data[16] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof(data);
  const LONG status = ::RegQueryValueExW(key.get(), valueName, nullptr, &type, data, &size);
  const LoggerConfig::RawValue raw{status, type, size, data};
  return LoggerConfig::ReadDword(raw, value);
}

// Creates the key when needed and writes one DWORD value; failures are ignored.
void WriteDword(const std::wstring& keyPath, const wchar_t* valueName, DWORD value) {
  UniqueHKey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return;
  }
  ::RegSetValueExW(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof(value));
}

// The local time, as GetLocalTime gives it. The conversion from UTC is done once per
// UTC second and thread; lines within that second only fill in the milliseconds.
// Time-zone and daylight-saving changes fall on whole seconds.
void LocalTimeNow(SYSTEMTIME* now) {
  struct Cache {
    ULONGLONG utcSecond;
    SYSTEMTIME local;
  };
  thread_local Cache cache = {~0ULL, {}};
  FILETIME utc;
  ::GetSystemTimeAsFileTime(&utc);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
  const ULONGLONG second = ticks / 10000000ULL;
  if (second != cache.utcSecond) {
    FILETIME local;
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &cache.local)) {
      ::GetLocalTime(now);
      return;
    }
    cache.utcSecond = second;
  }
  *now = cache.local;
  now->wMilliseconds = static_cast<WORD>(ticks / 10000ULL % 1000ULL);
}

std::wstring FormatLocal(bool date, const SYSTEMTIME& time, const wchar_t* picture) {
  wchar_t text[64] = {};
  const int length = date ? ::GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &time, picture, text, 64)
                          : ::GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &time, picture, text, 64);
  return length > 0 ? std::wstring(text) : std::wstring();
}

}  // namespace

Logger& Logger::Instance() {
  // The object is built once (thread-safe static); the file is opened by the first
  // caller. A log call made on that same thread while it opens (the archiver or a
  // utility reporting a failure) gets the object back and is dropped, since the file
  // is not enabled yet; other threads wait for the open to finish.
  static Logger instance{ProcessLogger{}};
  if (g_instanceState.load(std::memory_order_acquire) == kOpened) return instance;

  int expected = kNotOpened;
  if (g_instanceState.compare_exchange_strong(expected, kOpening, std::memory_order_acq_rel)) {
    g_openingThread.store(::GetCurrentThreadId());
    // The open is finished on every way out, so that no other thread waits for ever. A
    // file found full is moved aside during the open, but its compression tool starts
    // only once the open is finished: the other threads wait for the open, and a slow
    // start must not keep them from logging.
    struct Opened {
      Logger& logger;
      ~Opened() {
        g_instanceState.store(kOpened, std::memory_order_release);
        logger.StartHeldArchives();
      }
    } opened{instance};
    instance.holdArchiveStarts_.store(true);
    instance.Open(instance.exeName_, true);
    return instance;
  }
  if (g_openingThread.load() == ::GetCurrentThreadId()) return instance;
  while (g_instanceState.load(std::memory_order_acquire) != kOpened) ::Sleep(1);
  return instance;
}

Logger::Logger(ProcessLogger) { Construct(); }

Logger::Logger(const std::wstring& name, const std::wstring& logsFolder) {
  Construct();
  logsFolderOverride_ = logsFolder;
  Open(name, true);
}

Logger::~Logger() {
  enabled_.store(false);
  alive_.store(false);
  if (Lock()) {
    file_.reset();
    Unlock();
  }
}

void Logger::Construct() {
  try {
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&g_instanceState), &self);
    std::wstring extension;
    SplitImagePath(ModulePath(self), &imageName_, &extension);
    isDll_ = ExCommon::EqualsNoCase(extension, L".dll");

    exePath_ = ModulePath(nullptr);
    SplitImagePath(exePath_, &exeName_, &extension);
    alive_.store(true);
  } catch (...) {
    // Without its names the logger stays off.
  }
}

// Holds the lock from a successful Lock() to the end of a scope, whatever way it ends.
class Logger::LockHold {
 public:
  explicit LockHold(Logger& logger) : logger_(logger), held_(logger.Lock()) {}
  ~LockHold() {
    if (held_) logger_.Unlock();
  }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;
  bool held() const { return held_; }

 private:
  Logger& logger_;
  bool held_;
};

bool Logger::Lock() {
  const DWORD self = ::GetCurrentThreadId();
  // Only this thread ever stores its own id, and only while it holds the lock.
  if (lockOwner_.load(std::memory_order_relaxed) == self) {
    ++lockDepth_;
    return true;
  }
  if (!::TryAcquireSRWLockExclusive(&lock_) && !AcquireContended()) return false;
  lockOwner_.store(self, std::memory_order_relaxed);
  lockDepth_ = 1;
  return true;
}

bool Logger::AcquireContended() {
  // The holder keeps the lock for one seek and one write. Waiting for that by polling,
  // first with processor pauses and then by yielding the processor, is much cheaper than
  // a sleep and wake-up in the kernel.
  constexpr int kPauseRounds = 64;
  constexpr int kYieldRounds = 256;
  for (int attempt = 0; attempt < kPauseRounds + kYieldRounds; ++attempt) {
    if (attempt < kPauseRounds) {
      for (int pause = 0; pause < 16; ++pause) YieldProcessor();
    } else {
      ::SwitchToThread();
    }
    if (::TryAcquireSRWLockExclusive(&lock_)) return true;
  }
  // A long hold (a rotation's rename and reopen) ends in a bounded sleep on a condition
  // variable. The waiter counts itself first and tries the lock with the wait gate held;
  // Unlock passes through the gate before it wakes a waiter, so a release that follows a
  // failed try always finds the waiter asleep and wakes it.
  const ULONGLONG deadline = ::GetTickCount64() + kLockWaitMs;
  bool acquired = false;
  lockWaiters_.fetch_add(1);
  ::AcquireSRWLockExclusive(&waitGate_);
  for (;;) {
    if (::TryAcquireSRWLockExclusive(&lock_)) {
      acquired = true;
      break;
    }
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) break;
    ::SleepConditionVariableSRW(&lockReleased_, &waitGate_, static_cast<DWORD>(deadline - now), 0);
  }
  ::ReleaseSRWLockExclusive(&waitGate_);
  lockWaiters_.fetch_sub(1);
  return acquired;
}

void Logger::Unlock() {
  if (--lockDepth_ > 0) return;
  // The compression tool is started only once no thread waits on this lock for it.
  std::vector<ArchiveJob> starts;
  if (!holdArchiveStarts_.load()) starts.swap(pendingArchives_);
  lockOwner_.store(0, std::memory_order_relaxed);
  ::ReleaseSRWLockExclusive(&lock_);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (lockWaiters_.load() > 0) {
    ::AcquireSRWLockExclusive(&waitGate_);
    ::ReleaseSRWLockExclusive(&waitGate_);
    ::WakeConditionVariable(&lockReleased_);
  }
  for (const ArchiveJob& job : starts) {
    try {
      StartArchiveTool(job, 0);
    } catch (...) {
      // The moved file stays beside the log, unpacked.
    }
  }
}

void Logger::StartHeldArchives() {
  holdArchiveStarts_.store(false);
  // Its release starts what was held; should the lock be busy, the next release does.
  LockHold hold(*this);
}

HANDLE Logger::OpenFile() const {
  if (filePath_.empty()) return INVALID_HANDLE_VALUE;
  return ::CreateFileW(filePath_.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void Logger::Open(const std::wstring& name, bool writeHeader) {
  LockHold hold(*this);
  if (!hold.held() || opened_) return;
  opened_ = true;
  try {
    ChooseLocation(name);
    if (threshold_.load() != 0) {
      file_.reset(OpenFile());
      enabled_.store(file_.valid());
    }

    if (file_.valid()) {
      LARGE_INTEGER size = {};
      if (::GetFileSizeEx(file_.get(), &size)) {
        curSize_ = size.QuadPart > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size.QuadPart);
        if (maxSize_ <= curSize_) Rotate();
      }
    }
    if (writeHeader) WriteHeader();
  } catch (...) {
    // The open ends here with what it reached: an open file stays in use.
  }
}

void Logger::WriteHeader() {
  if (!enabled_.load()) return;
  if (isDll_) {
    Log(LogLevel::Debug, L"Logger Started in dll: Module Name[%s]", imageName_.c_str());
    Log(LogLevel::Debug, L"%s", kDashes);
    return;
  }
  std::vector<wchar_t> userName(32767, L'\0');
  std::vector<wchar_t> computerName(32767, L'\0');
  DWORD userLength = 32767;
  DWORD computerLength = 32767;
  if (!::GetUserNameW(userName.data(), &userLength)) userName[0] = L'\0';
  if (!::GetComputerNameW(computerName.data(), &computerLength)) computerName[0] = L'\0';
  const std::wstring version = ExCommon::GetFileVersionString(exePath_);

  Log(LogLevel::Always, L"%s", kUnderscores);
  Log(LogLevel::Always,
      L"Logger Started: Machine Name[%s], User Name[%s], Module Name[%s], Version[%s]",
      computerName.data(), userName.data(), exeName_.c_str(), version.c_str());
  Log(LogLevel::Always, L"%s", kUnderscores);
}

void Logger::ChooseLocation(const std::wstring& givenName) {
  const bool hasName = !givenName.empty();
  const std::wstring name = hasName ? givenName : std::wstring(L"Unknown");
  const std::wstring logsFolder =
      logsFolderOverride_.empty() ? ProductLocations::GetLogsFolder() : logsFolderOverride_;

  std::wstring baseFolder;
  if (LogFileName::IsPackageModule(exeName_)) {
    archiveOnRotate_ = false;
    if (logsFolderOverride_.empty()) {
      ExCommon::EnsureStoredDataFolder();
      baseFolder = ProductLocations::GetStoredDataLogsFolder();
    } else {
      baseFolder = logsFolderOverride_;
    }
  } else {
    if (LogFileName::IsBootstrapModule(exeName_)) archiveOnRotate_ = false;
    baseFolder = logsFolder;
  }
  baseFolder = AddTrailingBackslash(baseFolder);
  // A failure here shows in the tree walk below.
  EnsureFolderTree(baseFolder);

  const std::wstring folder = baseFolder + name + L"\\";
  if (EnsureFolderTree(folder)) {
    folderPath_ = folder;
    LogFileName::NameInputs inputs;
    inputs.exeName = exeName_;
    inputs.processId = ::GetCurrentProcessId();
    if (ExCommon::EqualsNoCase(exeName_, L"Hub.Events")) inputs.sessionId = ExCommon::GeCurrentSessionId();
    if (LogFileName::IsTimestampedModule(exeName_)) {
      SYSTEMTIME now = {};
      ::GetLocalTime(&now);
      inputs.timeText = FormatLocal(false, now, L"HH-mm-ss");
      inputs.dateText = FormatLocal(true, now, L"dd-MM-yy");
    }
    filePath_ = folder + LogFileName::BuildFileName(name, inputs);
  } else {
    filePath_.clear();
  }

  threshold_.store(LoggerConfig::kDefaultThreshold);
  maxSize_ = LoggerConfig::kDefaultMaxSize;
  if (hasName) ReadConfig(name);
}

void Logger::ReadConfig(const std::wstring& name) {
  if (name.empty()) return;
  const std::wstring keyPath = std::wstring(LoggerConfig::KeyPrefix()) + name;

  // A missing or unusable value (another type, another size) gives the default, which
  // is written back so that the key always shows the settings in force.
  DWORD value = 0;
  if (QueryDword(keyPath, L"level", &value)) {
    threshold_.store(LoggerConfig::ThresholdFromValue(value));
  } else {
    WriteDword(keyPath, L"level", static_cast<DWORD>(threshold_.load()));
  }

  if (QueryDword(keyPath, L"max_size_mb", &value)) {
    maxSize_ = LoggerConfig::MaxSizeFromMegabytes(value);
  } else {
    WriteDword(keyPath, L"max_size_mb", LoggerConfig::MegabytesFromMaxSize(maxSize_));
  }
}

bool Logger::IsOverLimit(ULONGLONG endPosition) {
  curSize_ = endPosition > MAXDWORD ? MAXDWORD : static_cast<DWORD>(endPosition);
  return maxSize_ <= curSize_;
}

void Logger::Rotate() {
  if (!enabled_.load() || !file_.valid()) return;
  file_.reset();
  // Only the rename happens here; the tool is started by Unlock, after the lock is
  // released, so that a slow start keeps no other thread from logging.
  if (archiveOnRotate_) {
    try {
      ArchiveJob job;
      if (MoveLogAside(filePath_, L"", &job)) pendingArchives_.push_back(std::move(job));
    } catch (...) {
      // Whether or not the file was moved, the reopen below goes on.
    }
  }
  file_.reset(OpenFile());
  if (!file_.valid()) enabled_.store(false);
}

bool Logger::SeekToEnd(LONGLONG* end) {
  LARGE_INTEGER position = {};
  LARGE_INTEGER zero = {};
  if (!::SetFilePointerEx(file_.get(), zero, &position, FILE_END)) return false;
  *end = position.QuadPart;
  return true;
}

bool Logger::WriteMarkedLine(const wchar_t* marked, int length, LONGLONG end) {
  // An empty file gets the mark in the same single write as its first line.
  const wchar_t* data = end == 0 ? marked : marked + 1;
  const DWORD bytes = static_cast<DWORD>((end == 0 ? length + 1 : length) * sizeof(wchar_t));
  DWORD written = 0;
  return ::WriteFile(file_.get(), data, bytes, &written, nullptr) != FALSE;
}

void Logger::Log(int level, const wchar_t* format, ...) {
  if (format == nullptr || !IsLevelEnabled(level)) return;
  wchar_t message[LogLineFormat::kMessageCapacity];
  va_list args;
  va_start(args, format);
  const int length = LogLineFormat::FormatMessageText(message, LogLineFormat::kMessageCapacity, format, args);
  va_end(args);
  if (length < 0) return;
  WriteLine(level, message);
}

void Logger::Log(int level, const char* format, ...) {
  if (format == nullptr || !IsLevelEnabled(level)) return;
  char message[LogLineFormat::kMessageCapacity];
  va_list args;
  va_start(args, format);
  const int length = LogLineFormat::FormatMessageText(message, LogLineFormat::kMessageCapacity, format, args);
  va_end(args);
  if (length < 0) return;

  constexpr int kWideCapacity = 6400;
  wchar_t wide[kWideCapacity] = {};
  if (length > 0) {
    const int wideLength = ::MultiByteToWideChar(CP_ACP, 0, message, length, wide, kWideCapacity - 1);
    if (wideLength <= 0) return;
    wide[wideLength] = L'\0';
  }
  WriteLine(level, wide);
}

void Logger::WriteLine(int level, const wchar_t* text) {
  if (text == nullptr || !alive_.load(std::memory_order_relaxed)) return;

  SYSTEMTIME now;
  LocalTimeNow(&now);

  // One slot in front of the line for the byte order mark, so that the first line of a
  // file goes out with its mark in the same single write.
  wchar_t buffer[1 + LogLineFormat::kLineCapacity];
  buffer[0] = static_cast<wchar_t>(0xFEFF);
  const int length = LogLineFormat::ComposeLine(buffer + 1, LogLineFormat::kLineCapacity, now,
                                                ::GetCurrentProcessId(), ::GetCurrentThreadId(), level, text);
  if (length < 0) return;

  try {
    LockHold hold(*this);
    if (!hold.held()) {
      // Another thread kept the lock for more than a second: this line is lost, and the
      // next line that gets through says how many were.
      droppedLines_.fetch_add(1);
      return;
    }
    const unsigned dropped = droppedLines_.exchange(0);
    if (dropped != 0) AppendDroppedReport(now, dropped);
    AppendLine(buffer, length);
  } catch (...) {
    // A line that meets a failure inside is dropped; the lock is released all the same.
  }
}

void Logger::AppendDroppedReport(const SYSTEMTIME& now, unsigned dropped) {
  wchar_t message[128];
  _snwprintf(message, 128, L"Logger::WriteLine: %u line(s) dropped, the log was busy for more than %lu ms", dropped,
             static_cast<unsigned long>(kLockWaitMs));
  message[127] = L'\0';
  wchar_t marked[1 + LogLineFormat::kLineCapacity];
  marked[0] = static_cast<wchar_t>(0xFEFF);
  const int length = LogLineFormat::ComposeLine(marked + 1, LogLineFormat::kLineCapacity, now, ::GetCurrentProcessId(),
                                                ::GetCurrentThreadId(), LogLevel::Warn, message);
  if (length >= 0) AppendLine(marked, length);
}

void Logger::AppendLine(const wchar_t* marked, int length) {
  if (!file_.valid()) return;
  // The end position is the file size: it serves the limit check and tells whether
  // the file is empty and needs its mark.
  LONGLONG end = 0;
  bool positioned = SeekToEnd(&end);
  if (positioned && IsOverLimit(static_cast<ULONGLONG>(end))) {
    Rotate();
    positioned = file_.valid() && SeekToEnd(&end);
  }
  if (positioned) WriteMarkedLine(marked, length, end);
}

bool Logger::IsLevelEnabled(int level) const {
  return enabled_.load(std::memory_order_relaxed) && level != 0 &&
         level >= threshold_.load(std::memory_order_relaxed);
}

std::wstring Logger::FilePath() const {
  // Set once by Open, which a caller sees finished (Instance() and the constructor
  // return after it).
  return filePath_;
}

LogStream::~LogStream() {
  try {
    const std::wstring text = stream_.str();
    Logger::Instance().WriteLine(level_, text.c_str());
  } catch (...) {
    // A message that cannot be composed is dropped.
  }
}
