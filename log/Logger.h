// The process-wide UTF-16 log writer.
#pragma once

#include <windows.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "log/LogArchiver.h"

struct LogLevel {
  enum Value : int { None = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Fatal = 5, Always = 6 };
};

class Logger {
 public:
  // The logger of this process, built and opened on first use.
  static Logger& Instance();

  // A logger of its own for the module `name`: its file is
  // "<Logs>\<name>\<name>.log" and its settings are read from
  // "SOFTWARE\Veltrane\Logger\<name>". `logsFolder` replaces the suite's Logs folder
  // when it is not empty. Used by tests and by modules that keep a second log.
  explicit Logger(const std::wstring& name, const std::wstring& logsFolder = std::wstring());
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // printf-style; a wide %s takes a wide string (Microsoft rules).
  void Log(int level, const wchar_t* format, ...);
  // printf-style over narrow text in the ANSI code page.
  void Log(int level, const char* format, ...);
  // Formats and writes one line without a level filter. A line that waits more than
  // kLockWaitMs for another thread is dropped; the next line that gets through is then
  // preceded by the warning line "Logger::WriteLine: <n> line(s) dropped, the log was
  // busy for more than 1000 ms".
  void WriteLine(int level, const wchar_t* text);

  // True when a message of `level` would be written.
  bool IsLevelEnabled(int level) const;
  // Full path of the log file; empty when logging is off for lack of a folder.
  std::wstring FilePath() const;

  // The longest wait of a line for the lock of another thread; the line is dropped then.
  static constexpr DWORD kLockWaitMs = 1000;

  // True while the file is open and logging is on.
  bool IsEnabled() const { return enabled_.load(std::memory_order_relaxed); }
  // The lowest level written; 0 when logging is off.
  int Threshold() const { return threshold_.load(std::memory_order_relaxed); }
  // The size limit of one file in bytes.
  DWORD MaxSize() const { return maxSize_; }

 private:
  struct ProcessLogger {};
  explicit Logger(ProcessLogger);

  void Construct();
  // Opens the file of `name` (once) and writes the header when `writeHeader` is true.
  void Open(const std::wstring& name, bool writeHeader);
  // Sets the folder, the file path, the threshold and the size limit for `name`.
  void ChooseLocation(const std::wstring& name);
  // Reads "level" and "max_size_mb", writing the defaults back where they are unusable.
  void ReadConfig(const std::wstring& name);
  // Moves the full file aside for the archiver (when archiving is on) and reopens the
  // path; the compression tool is started once the lock is released. Lock held.
  void Rotate();
  // Takes the file size (the end position that the seek of this line found) into
  // curSize_; true when the limit is reached. Lock held.
  bool IsOverLimit(ULONGLONG endPosition);
  // Moves to the end of the open file; *end is the file size. Lock held.
  bool SeekToEnd(LONGLONG* end);
  // Writes one finished line of `length` characters that follows a byte order mark at
  // marked[0]: with the mark when `end` is 0 (an empty file), without it otherwise.
  // Lock held.
  bool WriteMarkedLine(const wchar_t* marked, int length, LONGLONG end);
  // The size check, rotation, seek and write of one composed line. Lock held.
  void AppendLine(const wchar_t* marked, int length);
  // Appends the warning "Logger::WriteLine: <n> line(s) dropped, the log was busy for
  // more than 1000 ms" in front of the first line that gets the lock after lines were
  // dropped for want of it. Lock held.
  void AppendDroppedReport(const SYSTEMTIME& now, unsigned dropped);
  // Opens filePath_ for appending; an invalid handle on failure.
  HANDLE OpenFile() const;
  void WriteHeader();

  // Takes the line lock: at once when this thread holds it already, otherwise waiting at
  // most kLockWaitMs. False when the wait ran out.
  bool Lock();
  // Lock's wait when another thread holds the lock: a short spin, then a bounded sleep.
  bool AcquireContended();
  // Releases one level of the lock; the last level starts the compression tool for every
  // file that a rotation moved aside meanwhile, unless the starts are held.
  void Unlock();
  // Lets tool starts go again and starts those that were held (the first open of the
  // process logger holds them until it has finished, so that no thread waiting for that
  // open waits for a tool start too).
  void StartHeldArchives();
  class LockHold;

  bool archiveOnRotate_ = true;
  // Serialises the size check, rotation, seek and write of one line between the threads
  // of this process. The owner may take it again (Open writes the header through Log
  // while holding it): a slim lock plus the owning thread and its depth. Threads that
  // wait longer than a short spin sleep on lockReleased_ (behind waitGate_), which Unlock
  // signals while any thread waits, so that a wait can end after kLockWaitMs.
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::atomic<DWORD> lockOwner_{0};
  int lockDepth_ = 0;
  std::atomic<int> lockWaiters_{0};
  SRWLOCK waitGate_ = SRWLOCK_INIT;
  CONDITION_VARIABLE lockReleased_ = CONDITION_VARIABLE_INIT;
  // Lines dropped because the lock was not had in time, not yet reported in the file.
  std::atomic<unsigned> droppedLines_{0};
  // Files moved aside under the lock whose compression tool is still to be started.
  std::vector<ArchiveJob> pendingArchives_;
  // While true, Unlock leaves pendingArchives_ for StartHeldArchives.
  std::atomic<bool> holdArchiveStarts_{false};
  UniqueKernelHandle file_;
  std::atomic<bool> enabled_{false};
  std::atomic<bool> alive_{false};
  std::wstring filePath_;
  std::wstring folderPath_;
  bool isDll_ = false;
  std::wstring imageName_;
  std::wstring exeName_;
  std::atomic<int> threshold_{0};
  DWORD maxSize_ = 10485760;
  DWORD curSize_ = 0;
  std::wstring exePath_;
  std::wstring logsFolderOverride_;
  bool opened_ = false;
};

// Composes one message from several values; written as one line when it ends.
// The caller checks Logger::Instance().IsLevelEnabled(level) first.
class LogStream {
 public:
  explicit LogStream(int level) : level_(level) {}
  ~LogStream();
  LogStream(const LogStream&) = delete;
  LogStream& operator=(const LogStream&) = delete;

  template <typename T>
  LogStream& operator<<(const T& value) {
    stream_ << value;
    return *this;
  }

 private:
  int level_;
  std::wostringstream stream_;
};
