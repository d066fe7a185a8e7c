// Cross-process tests start the test binary itself as the child process.
// A child entry is registered by name; the binary started with "--child=<name>"
// runs that entry instead of the tests and exits with its result.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace test_support {

// args: the arguments after "--child=<name>".
using ChildEntry = int (*)(const std::vector<std::wstring>& args);

struct ChildRegistration {
  ChildRegistration(const wchar_t* name, ChildEntry entry);
};

// Runs a registered child entry when the command line asks for one.
// Returns true (and the entry's exit code) when the process was a child.
bool RunChildIfRequested(int* exitCode);

class ChildProcess {
 public:
  ChildProcess() = default;
  // Starts this test binary as the child `name` with `args`. Check valid().
  static ChildProcess Start(const std::wstring& name, const std::vector<std::wstring>& args = {});
  // Starts any program with a full command line.
  static ChildProcess StartCommandLine(const std::wstring& commandLine);

  bool valid() const { return process_.valid(); }
  HANDLE handle() const { return process_.get(); }
  DWORD pid() const { return pid_; }
  // Waits up to `ms`; true and the exit code when the child ended in time.
  bool Wait(DWORD ms, DWORD* exitCode = nullptr);
  void Kill();

 private:
  UniqueKernelHandle process_;
  DWORD pid_ = 0;
};

// Quotes one command-line argument the way CommandLineToArgvW reads it back.
std::wstring QuoteArgument(const std::wstring& arg);
// Full path of the running executable.
std::wstring SelfPath();
// A name unique to this process and call, for kernel objects, keys and folders.
std::wstring UniqueName(const std::wstring& stem);

}  // namespace test_support

#define SENTREL_CHILD_CONCAT2(a, b) a##b
#define SENTREL_CHILD_CONCAT(a, b) SENTREL_CHILD_CONCAT2(a, b)
// Defines a child entry: SENTREL_CHILD(L"name", args) { ...; return 0; }
#define SENTREL_CHILD(name, argsName)                                                         \
  static int SENTREL_CHILD_CONCAT(ChildEntry_, __LINE__)(const std::vector<std::wstring>&);  \
  static ::test_support::ChildRegistration SENTREL_CHILD_CONCAT(childRegistration_, __LINE__)( \
      name, &SENTREL_CHILD_CONCAT(ChildEntry_, __LINE__));                                    \
  static int SENTREL_CHILD_CONCAT(ChildEntry_, __LINE__)(const std::vector<std::wstring>& argsName)
