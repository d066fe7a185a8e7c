// The process-wide UTF-16 log writer.
#pragma once

#include <windows.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"

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
  // Formats and writes one line without a level filter.
  void WriteLine(int level, const wchar_t* text);

  // True when a message of `level` would be written.
  bool IsLevelEnabled(int level) const;
  // Full path of the log file; empty when logging is off for lack of a folder.
  std::wstring FilePath() const;

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
  // Hands the full file to the archiver (when archiving is on) and reopens the path.
  // Called with the lock held.
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
  // Opens filePath_ for appending; an invalid handle on failure.
  HANDLE OpenFile() const;
  void WriteHeader();

  void Lock() const;
  void Unlock() const;

  bool archiveOnRotate_ = true;
  // Serialises the size check, rotation, seek and write of one line between the threads
  // of this process. The owner may take it again (Open writes the header through Log
  // while holding it): a slim lock plus the owning thread and its depth.
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  mutable std::atomic<DWORD> lockOwner_{0};
  mutable int lockDepth_ = 0;
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
  // Set while Rotate hands the closed file to the archiver; lines logged meanwhile by the
  // rotating thread wait in heldLines_ (each after its mark slot) for the new file.
  bool rotating_ = false;
  std::vector<std::wstring> heldLines_;
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
