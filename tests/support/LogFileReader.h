// Reads a UTF-16LE log file back for tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test_support {

struct LogFileContent {
  bool exists = false;
  bool hasBom = false;        // the file starts with FF FE
  size_t bomCount = 0;        // how many U+FEFF characters the whole text holds
  std::wstring text;          // the text after the leading BOM
  std::vector<std::wstring> lines;  // split at CR LF, without the CR LF
  bool endsWithCrLf = false;
  // The file read (volume serial and file index, 0 when unknown): a log that was full
  // is archived and started afresh as another file.
  DWORD volume = 0;
  unsigned long long fileIndex = 0;
};

// Opens the file shared for read, write and delete (the logger keeps it open).
LogFileContent ReadLogFile(const std::wstring& path);
LogFileContent DecodeLogBytes(const std::string& bytes);

// The lines of the log file `path` that contain `needle` and were written by the latest
// process with id `pid` (after the last logger header of that id).
std::vector<std::wstring> LogLinesContaining(const std::wstring& path, const std::wstring& needle,
                                             DWORD pid);
// The same for this process's own log and this process.
std::vector<std::wstring> ThisRunLogLinesContaining(const std::wstring& needle);

// The lines of this process's own log (Logger::Instance()) that were written by
// process `pid` and contain `needle`.
std::vector<std::wstring> OwnLogLinesContaining(const std::wstring& needle,
                                                DWORD pid = ::GetCurrentProcessId());

// What a log line of `level` holds for `message`: the bracketed level label, " - " and
// the message, so that a search for it checks the level as well as the text.
std::wstring LoggedText(int level, const std::wstring& message);
// How many of `lines` contain `needle`.
size_t CountContaining(const std::vector<std::wstring>& lines, const std::wstring& needle);

}  // namespace test_support
