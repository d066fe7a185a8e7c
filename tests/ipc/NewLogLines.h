// Counts this process's log lines that contain a text and were written after the
// counter was made. The log file lives on across runs and process ids come back, so
// tests compare against a baseline instead of counting every matching line.
#pragma once

#include <windows.h>

#include <string>

#include "support/LogFileReader.h"

class NewLogLines {
 public:
  explicit NewLogLines(std::wstring needle)
      : needle_(std::move(needle)), baseline_(test_support::OwnLogLinesContaining(needle_).size()) {}
  size_t count() const { return test_support::OwnLogLinesContaining(needle_).size() - baseline_; }
  // Polls until at least `n` new lines are there; false after about `ms`.
  bool WaitForCount(size_t n, DWORD ms) const {
    for (DWORD waited = 0;; waited += 50) {
      if (count() >= n) return true;
      if (waited >= ms) return false;
      ::Sleep(50);
    }
  }

 private:
  std::wstring needle_;
  size_t baseline_;
};
