// The lines that this process writes to its own log (Logger::Instance()) from the
// moment a watch is made, decoded into level and message text. The log file outlives
// the test and process ids come back, so lines from before the watch are left out.
#pragma once

#include <string>
#include <vector>

namespace test_support {

class LogWatch {
 public:
  struct Entry {
    int level = 0;       // 1..6, 0 when the line carries no known label
    std::wstring text;   // the message, as the caller logged it
  };

  LogWatch();

  std::vector<Entry> NewEntries() const;
  // How many new lines carry exactly `text` at `level`.
  size_t Count(int level, const std::wstring& text) const;
  // How many new lines carry exactly `text`, whatever their level.
  size_t Count(const std::wstring& text) const;
  // The new messages that start with `prefix`, in order.
  std::vector<std::wstring> TextsStartingWith(const std::wstring& prefix) const;

 private:
  size_t baseline_;
};

}  // namespace test_support
