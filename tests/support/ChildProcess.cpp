#include "support/ChildProcess.h"

#include <shellapi.h>

#include <map>

#include "support/ParentLifeline.h"

namespace test_support {
namespace {

std::map<std::wstring, ChildEntry>& Registry() {
  static std::map<std::wstring, ChildEntry> entries;
  return entries;
}

const wchar_t kChildSwitch[] = L"--child=";

}  // namespace

ChildRegistration::ChildRegistration(const wchar_t* name, ChildEntry entry) {
  Registry()[name] = entry;
}

bool RunChildIfRequested(int* exitCode) {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr) return false;
  bool isChild = false;
  if (argc >= 2 && wcsncmp(argv[1], kChildSwitch, wcslen(kChildSwitch)) == 0) {
    isChild = true;
    FollowParentLifeline();
    const std::wstring name = argv[1] + wcslen(kChildSwitch);
    std::vector<std::wstring> args(argv + 2, argv + argc);
    auto found = Registry().find(name);
    *exitCode = found == Registry().end() ? 121 : found->second(args);
  }
  ::LocalFree(argv);
  return isChild;
}

std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
    else out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

std::wstring SelfPath() {
  wchar_t path[MAX_PATH * 2] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  return path;
}

std::wstring UniqueName(const std::wstring& stem) {
  static LONG counter = 0;
  return stem + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
         std::to_wstring(::InterlockedIncrement(&counter)) + L"_" + std::to_wstring(::GetTickCount());
}

ChildProcess ChildProcess::Start(const std::wstring& name, const std::vector<std::wstring>& args) {
  std::wstring commandLine = QuoteArgument(SelfPath()) + L" " + kChildSwitch + name;
  for (const auto& arg : args) commandLine += L" " + QuoteArgument(arg);
  return StartCommandLine(commandLine);
}

ChildProcess ChildProcess::StartCommandLine(const std::wstring& commandLine) {
  ChildProcess child;
  std::wstring writable = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (::CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info)) {
    ::CloseHandle(info.hThread);
    child.process_.reset(info.hProcess);
    child.pid_ = info.dwProcessId;
  }
  return child;
}

bool ChildProcess::Wait(DWORD ms, DWORD* exitCode) {
  if (!valid() || ::WaitForSingleObject(process_.get(), ms) != WAIT_OBJECT_0) return false;
  if (exitCode != nullptr) ::GetExitCodeProcess(process_.get(), exitCode);
  return true;
}

void ChildProcess::Kill() {
  if (valid()) {
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), 5000);
  }
}

}  // namespace test_support
