#include "support/LogWatch.h"

#include "log/LogLineFormat.h"
#include "log/Logger.h"
#include "plugins/ProductLocations.h"
#include "support/LogFileReader.h"

namespace test_support {

namespace {

// The line's label is the first "<bracketed label> - " after the process and thread ids.
LogWatch::Entry Decode(const std::wstring& line) {
  LogWatch::Entry entry;
  size_t best = std::wstring::npos;
  for (int level = 1; level <= 6; ++level) {
    const std::wstring marker = std::wstring(LogLineFormat::BracketedLabel(level)) + L" - ";
    const size_t at = line.find(marker);
    if (at != std::wstring::npos && at < best) {
      best = at;
      entry.level = level;
      entry.text = line.substr(at + marker.size());
    }
  }
  return entry;
}

std::wstring PidField(DWORD pid) {
  wchar_t field[32];
  _snwprintf(field, 32, L"[P:%5lu]", static_cast<unsigned long>(pid));
  return field;
}

}  // namespace

LogWatch::LogWatch() : LogWatch(Logger::Instance().FilePath(), ::GetCurrentProcessId()) {}

LogWatch::LogWatch(const std::wstring& logPath, DWORD pid) : path_(logPath), pid_(pid) {
  const LogFileContent content = ReadLogFile(logPath);
  volume_ = content.volume;
  fileIndex_ = content.fileIndex;
  baseline_ = content.lines.size();
}

std::vector<LogWatch::Entry> LogWatch::NewEntries() const {
  const LogFileContent content = ReadLogFile(path_);
  const std::vector<std::wstring>& lines = content.lines;
  // Another file than the one watched at first: the log was archived since, and the
  // whole new file came after the watch was made.
  const bool sameFile = content.volume == volume_ && content.fileIndex == fileIndex_;
  const size_t first = sameFile ? baseline_ : 0;
  const std::wstring pidField = PidField(pid_);
  std::vector<Entry> entries;
  for (size_t i = first; i < lines.size(); ++i) {
    if (lines[i].find(pidField) != std::wstring::npos) entries.push_back(Decode(lines[i]));
  }
  return entries;
}

std::vector<std::wstring> LogWatch::NewTexts() const {
  std::vector<std::wstring> texts;
  for (const Entry& entry : NewEntries()) texts.push_back(entry.text);
  return texts;
}

size_t LogWatch::Count(int level, const std::wstring& text) const {
  size_t count = 0;
  for (const Entry& entry : NewEntries()) count += (entry.level == level && entry.text == text) ? 1 : 0;
  return count;
}

size_t LogWatch::Count(const std::wstring& text) const {
  size_t count = 0;
  for (const Entry& entry : NewEntries()) count += entry.text == text ? 1 : 0;
  return count;
}

std::vector<std::wstring> LogWatch::TextsStartingWith(const std::wstring& prefix) const {
  std::vector<std::wstring> texts;
  for (const Entry& entry : NewEntries()) {
    if (entry.text.compare(0, prefix.size(), prefix) == 0) texts.push_back(entry.text);
  }
  return texts;
}

bool LogWatch::WaitFor(const std::wstring& text, DWORD ms) const {
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  for (;;) {
    if (Count(text) > 0) return true;
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(20);
  }
}

std::wstring ServiceLogPath() {
  return ProductLocations::GetLogsFolder() + L"\\SentrelSrv\\SentrelSrv.log";
}

}  // namespace test_support
