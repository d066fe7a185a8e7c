// Runs a program with its standard output and error on a pipe that the test reads,
// and an empty standard input, and hands back the exit code and what it wrote.
#pragma once

#include <windows.h>

#include <string>

namespace test_support {

struct CapturedRun {
  bool started = false;
  DWORD pid = 0;
  bool ended = false;        // false: still running after the time limit (then killed)
  DWORD exitCode = 0;        // as GetExitCodeProcess gives it
  std::string output;        // standard output and error, as written
};

CapturedRun RunCaptured(const std::wstring& commandLine, DWORD timeoutMs);

}  // namespace test_support
