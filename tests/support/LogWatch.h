// The log lines written from the moment a watch is made, decoded into level and
// message text: by default this process's lines in its own log (Logger::Instance()),
// or the lines of another process in any log of the suite (a child started from this
// test program, SentrelSrv.exe). Log files outlive the test and process ids come back,
// so lines from before the watch are left out. A log that was full is archived and
// started afresh, often by the very process watched as it starts: every line of a
// file other than the one watched at first is new. A log that was full is archived and
// started afresh (often by the very process watched, as it starts): every line of a
// file other than the one watched at first is new.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test_support {

class LogWatch {
 public:
  struct Entry {
    int level = 0;       // 1..6, 0 when the line carries no known label
    std::wstring text;   // the message, as the caller logged it
  };

  // This process's lines in its own log.
  LogWatch();
  // The lines of process `pid` (set it later with Follow) in the log file `logPath`.
  explicit LogWatch(const std::wstring& logPath, DWORD pid = 0);

  // Watches the lines of process `pid` from now on (lines it wrote since the watch
  // was made count too).
  void Follow(DWORD pid) { pid_ = pid; }

  std::vector<Entry> NewEntries() const;
  // The new messages, in order.
  std::vector<std::wstring> NewTexts() const;
  // How many new lines carry exactly `text` at `level`.
  size_t Count(int level, const std::wstring& text) const;
  // How many new lines carry exactly `text`, whatever their level.
  size_t Count(const std::wstring& text) const;
  // The new messages that start with `prefix`, in order.
  std::vector<std::wstring> TextsStartingWith(const std::wstring& prefix) const;
  // Waits up to `ms` for a new line that carries exactly `text`; true when it came.
  bool WaitFor(const std::wstring& text, DWORD ms) const;

 private:
  std::wstring path_;
  DWORD pid_;
  // The file at path_ when the watch was made (volume serial and file index; all 0
  // when there was none) and how many lines it held then.
  unsigned long long fileIndex_ = 0;
  DWORD volume_ = 0;
  size_t baseline_ = 0;
};

// Where SentrelSrv.exe writes its log: <Logs>\SentrelSrv\SentrelSrv.log.
std::wstring ServiceLogPath();

}  // namespace test_support
