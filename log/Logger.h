// The process-wide UTF-16 log writer.
#pragma once

#include <windows.h>

#include <sstream>
#include <string>

struct LogLevel {
  enum Value : int { None = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Fatal = 5, Always = 6 };
};

class Logger {
 public:
  // The logger of this process, built and opened on first use.
  static Logger& Instance();

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

  // (The logger's state and internal steps are declared by its implementation.)
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
