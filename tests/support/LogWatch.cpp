#include "support/LogWatch.h"

#include "log/LogLineFormat.h"
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

}  // namespace

LogWatch::LogWatch() : baseline_(OwnLogLinesContaining(L"").size()) {}

std::vector<LogWatch::Entry> LogWatch::NewEntries() const {
  const std::vector<std::wstring> lines = OwnLogLinesContaining(L"");
  std::vector<Entry> entries;
  for (size_t i = baseline_; i < lines.size(); ++i) entries.push_back(Decode(lines[i]));
  return entries;
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

}  // namespace test_support
