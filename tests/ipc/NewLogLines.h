// Counts this process's log lines that contain a text and were written after the
// counter was made. The log file lives on across runs and process ids come back, so
// tests compare against a baseline instead of counting every matching line.
#pragma once

#include <string>

#include "support/LogFileReader.h"

class NewLogLines {
 public:
  explicit NewLogLines(std::wstring needle)
      : needle_(std::move(needle)), baseline_(test_support::OwnLogLinesContaining(needle_).size()) {}
  size_t count() const { return test_support::OwnLogLinesContaining(needle_).size() - baseline_; }

 private:
  std::wstring needle_;
  size_t baseline_;
};
