#include "TestServiceHarness.h"

#include "common/TextConversion.h"
#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"
#include "support/ServiceCalls.h"

std::wstring BuiltProgramPath(const std::wstring& relative) {
  std::wstring self = test_support::SelfPath();
  self.resize(self.find_last_of(L'\\') + 1);
  const std::wstring joined = self + relative;
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD length = ::GetFullPathNameW(joined.c_str(), MAX_PATH * 2, full, nullptr);
  return length > 0 && length < MAX_PATH * 2 ? std::wstring(full) : joined;
}

TestServiceHarness::TestServiceHarness(const std::wstring& serviceName, const std::wstring& extraArgs,
                                       const std::wstring& executable, const std::wstring& mode)
    : folder_(L"svc"), guard_(serviceName), executable_(executable) {
  if (executable_.empty()) executable_ = BuiltProgramPath(L"SentrelTestService.exe");
  reportPath_ = folder_ / L"report.txt";
  injectPrefix_ = L"Global\\" + test_support::UniqueName(L"SentrelTestInject");
  const std::wstring imagePath = test_support::QuoteArgument(executable_) + L" " + mode + L" " + serviceName + L" " +
                                 extraArgs + L" --report " + test_support::QuoteArgument(reportPath_) +
                                 L" --inject " + injectPrefix_;
  installed_ = guard_.clean() && test_support::CreateTestService(serviceName, imagePath);
}

bool TestServiceHarness::StartAndWaitRunning(SERVICE_STATUS_PROCESS* status) {
  if (test_support::StartServiceByName(name()) != 0) return false;
  return test_support::WaitForServiceState(name(), SERVICE_RUNNING, 60000, status);
}

bool TestServiceHarness::Inject(DWORD control) const {
  const std::wstring eventName = injectPrefix_ + L"_" + std::to_wstring(control);
  UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
  return event && ::SetEvent(event.get());
}

std::vector<std::string> TestServiceHarness::ReportLines() const {
  const std::string bytes = test_support::ReadBytes(reportPath_);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(bytes.substr(start, end - start));
  return lines;
}

bool TestServiceHarness::Reported(const std::string& line) const {
  for (const auto& reported : ReportLines()) {
    if (reported == line || reported.rfind(line + " ", 0) == 0) return true;
  }
  return false;
}

namespace {
// The value of "key=" in a report line (up to the next blank, or the line's end for the
// last field "log=").
std::string Field(const std::string& line, const std::string& key, bool toEnd = false) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return std::string();
  const size_t begin = at + key.size() + 2;
  return toEnd ? line.substr(begin) : line.substr(begin, line.find(' ', begin) - begin);
}
}  // namespace

bool TestServiceHarness::WaitReported(const std::string& line, DWORD timeoutMs) const {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (!Reported(line)) {
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(50);
  }
  return true;
}

DWORD TestServiceHarness::PidOf(const std::string& what) const {
  for (const auto& line : ReportLines()) {
    if (line.rfind(what + " ", 0) == 0) return std::stoul(Field(line, "pid"));
  }
  return 0;
}

std::wstring TestServiceHarness::LogPathOf(const std::string& what) const {
  for (const auto& line : ReportLines()) {
    if (line.rfind(what + " ", 0) == 0) return AnsiToWide(Field(line, "log", true));
  }
  return std::wstring();
}

std::vector<std::wstring> TestServiceHarness::ServiceLogLines(const std::wstring& needle) const {
  return test_support::LogLinesContaining(ServiceLogPath(), needle, ServicePid());
}
