// SentrelSrv.exe /debug run as a real child process: the filter core runs with the
// sample plug-ins until a line of input, and the run ends with exit code 0.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "ipc/CollectingChannel.h"
#include "ipc/SharedNames.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"
#include "support/LogWatch.h"
#include "support/SamplePluginInstall.h"
#include "support/ScratchFiles.h"
#include "support/ScratchRegKey.h"

namespace {

using test_support::LogWatch;
using test_support::MachineValueGuard;
using test_support::SamplePlugin;
using test_support::SamplePluginInstall;
using test_support::SamplePluginSettings;
using test_support::ScratchFolder;

std::wstring ServiceExePath() {
  std::wstring self = test_support::SelfPath();
  return self.substr(0, self.find_last_of(L'\\') + 1) + L"..\\SentrelSrv.exe";
}

// SentrelSrv.exe /debug with its standard input on a pipe that the test writes and its
// output in a file.
class ConsoleRun {
 public:
  explicit ConsoleRun(const std::wstring& outputPath) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!::CreatePipe(&read, &write, &inherit, 0)) return;
    UniqueKernelHandle childInput(read);
    input_.reset(write);
    ::SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
    UniqueKernelHandle output(::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output) return;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput.get();
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    std::wstring commandLine = test_support::QuoteArgument(ServiceExePath()) + L" /debug";
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &info)) {
      return;
    }
    ::CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    pid_ = info.dwProcessId;
  }
  ~ConsoleRun() {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(process_.get(), 1);
      ::WaitForSingleObject(process_.get(), 10000);
    }
  }

  bool valid() const { return process_.valid(); }
  DWORD pid() const { return pid_; }
  void EnterLine() {
    DWORD written = 0;
    ::WriteFile(input_.get(), "\n", 1, &written, nullptr);
  }
  // True and the exit code (GetExitCodeProcess) when the run ended within `ms`.
  bool Wait(DWORD ms, DWORD* exitCode) {
    if (::WaitForSingleObject(process_.get(), ms) != WAIT_OBJECT_0) return false;
    return ::GetExitCodeProcess(process_.get(), exitCode) != FALSE;
  }

 private:
  UniqueKernelHandle input_;
  UniqueKernelHandle process_;
  DWORD pid_ = 0;
};

bool InOrder(const std::vector<std::wstring>& texts, const std::vector<std::wstring>& expected) {
  size_t at = 0;
  for (const std::wstring& text : expected) {
    while (at < texts.size() && texts[at] != text) ++at;
    if (at == texts.size()) return false;
    ++at;
  }
  return true;
}

size_t CountOf(const std::vector<std::wstring>& texts, const std::wstring& text) {
  size_t count = 0;
  for (const std::wstring& entry : texts) count += entry == text ? 1 : 0;
  return count;
}

// The modules loaded in process `pid`, lower case.
std::vector<std::wstring> ModulesOf(DWORD pid) {
  std::vector<std::wstring> modules;
  UniqueKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
  if (!snapshot) return modules;
  MODULEENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Module32FirstW(snapshot.get(), &entry); more; more = ::Module32NextW(snapshot.get(), &entry)) {
    std::wstring name = entry.szModule;
    for (wchar_t& c : name) c = static_cast<wchar_t>(::towlower(c));
    modules.push_back(name);
  }
  return modules;
}

// Appends UTF-16 lines to the log at `path` (made with its byte order mark when missing)
// until it holds at least `size` bytes.
bool FillLog(const std::wstring& path, unsigned long long size) {
  UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER current = {};
  if (!file || !::GetFileSizeEx(file.get(), &current)) return false;
  std::wstring text = current.QuadPart == 0 ? std::wstring(1, L'\xFEFF') : std::wstring();
  const std::wstring line = L"padding that fills the log to its size limit\r\n";
  while (static_cast<unsigned long long>(current.QuadPart) + text.size() * 2 < size) text += line;
  LARGE_INTEGER end = {};
  DWORD written = 0;
  return ::SetFilePointerEx(file.get(), end, nullptr, FILE_END) &&
         ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size() * 2), &written, nullptr) &&
         written == text.size() * 2;
}

const wchar_t kTimedOut[] = L"StartDebugMode: waiting for worker thread to exit: timed-out";
const wchar_t kExited[] = L"StartDebugMode: worker thread exited";

class MachineConsoleRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(install_.valid());
    ASSERT_TRUE(install_.InstallAll());
  }

  SamplePluginInstall install_;
  MachineValueGuard watchdog_{L"SOFTWARE\\Veltrane", L"WatchDog_SentrelSrv"};
  ScratchFolder scratch_{L"ConsoleRun"};
};

}  // namespace

TEST_F(MachineConsoleRun, ALineOfInputStopsTheCoreAndTheRunEndsWithZero) {
  CollectingChannel controlCentre;
  ASSERT_TRUE(controlCentre.Create(SMIPCTNG::kServer, SharedNames::kControlCenterHighQueue,
                                   SharedNames::kControlCenterQueueSize));
  LogWatch log(test_support::ServiceLogPath());
  ConsoleRun run(scratch_ / L"output.txt");
  ASSERT_TRUE(run.valid());
  log.Follow(run.pid());
  ASSERT_TRUE(controlCentre.WaitForItems(1, 30000)) << "the status packet arrives";
  run.EnterLine();
  DWORD exitCode = 99;
  ASSERT_TRUE(run.Wait(60000, &exitCode));
  EXPECT_EQ(0u, exitCode);

  const std::vector<std::wstring> texts = log.NewTexts();
  EXPECT_TRUE(InOrder(texts, {L"SentrelSrv run with debug flag", L"SentrelCore::Start- invoked",
                              L"SentrelCore::WorkerThreadFunc - worker thread started",
                              L"-- Start MalwarePlugin ON --", L"-- Start Hearth ON --", L"SentrelCore::Stop - invoked",
                              L"SentrelCore::WorkerThreadFunc - worker thread: Shutown event has been accepted.",
                              L"SentrelCore::WorkerThreadFunc - worker thread completed", kExited}));
  EXPECT_EQ(0u, CountOf(texts, kTimedOut));
  EXPECT_NE(std::string::npos,
            test_support::ReadBytes(scratch_ / L"output.txt").find("Press any key to exit the application"));
  const std::vector<std::string> calls = install_.JournalCalls(SamplePlugin::Malware);
  EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "Stop")) << "the end path stopped the plug-in";
}

TEST_F(MachineConsoleRun, AWorkerHeldInAHungPluginStopIsWaitedForInPasses) {
  SamplePluginSettings hangs;
  hangs.stopHangs = true;
  ASSERT_TRUE(install_.WriteSettings(SamplePlugin::Malware, hangs));
  LogWatch log(test_support::ServiceLogPath());
  ConsoleRun run(scratch_ / L"output.txt");
  ASSERT_TRUE(run.valid());
  log.Follow(run.pid());
  ASSERT_TRUE(log.WaitFor(L"-- Start Hearth ON --", 30000));
  run.EnterLine();
  // The worker never ends: the run waits in passes of a second, saying so each time.
  const ULONGLONG deadline = ::GetTickCount64() + 30000;
  while (CountOf(log.NewTexts(), kTimedOut) < 2 && ::GetTickCount64() < deadline) ::Sleep(100);
  const std::vector<std::wstring> texts = log.NewTexts();
  EXPECT_GE(CountOf(texts, kTimedOut), 2u);
  EXPECT_EQ(0u, CountOf(texts, kExited));
  EXPECT_TRUE(InOrder(texts, {L"SentrelCore::Stop - invoked",
                              L"ExFilterDriver:Malware:StopPlugin : Will attempt to Stop Malware Plugin...",
                              kTimedOut, kTimedOut}));
}

// A log found full by the run's first line is moved aside and its compression tool
// started; finding the tool must not bring the shell, the window manager and the font
// engine into the process for the rest of its life.
TEST_F(MachineConsoleRun, ALogFullAtTheFirstLineIsArchivedWithoutLoadingTheShell) {
  const wchar_t loggerKey[] = L"SOFTWARE\\Veltrane\\Logger\\SentrelSrv";
  MachineValueGuard limit(loggerKey, L"max_size_mb");
  const DWORD oneMegabyte = 1;
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, loggerKey, L"max_size_mb", REG_DWORD, &oneMegabyte,
                                             sizeof(oneMegabyte)));
  const std::wstring logPath = test_support::ServiceLogPath();
  ASSERT_TRUE(FillLog(logPath, 1ULL << 20));
  const test_support::LogFileContent full = test_support::ReadLogFile(logPath);

  LogWatch log(logPath);
  ConsoleRun run(scratch_ / L"output.txt");
  ASSERT_TRUE(run.valid());
  log.Follow(run.pid());
  ASSERT_TRUE(log.WaitFor(L"SentrelCore::WorkerThreadFunc - worker thread started", 30000));
  const test_support::LogFileContent fresh = test_support::ReadLogFile(logPath);
  EXPECT_NE(full.fileIndex, fresh.fileIndex) << "the full log was moved aside";
  const std::vector<std::wstring> modules = ModulesOf(run.pid());
  ASSERT_FALSE(modules.empty());
  for (const wchar_t* shellPart : {L"shell32.dll", L"user32.dll", L"gdi32.dll"}) {
    EXPECT_TRUE(std::find(modules.begin(), modules.end(), shellPart) == modules.end()) << shellPart << " is loaded";
  }
  run.EnterLine();
  DWORD exitCode = 99;
  EXPECT_TRUE(run.Wait(60000, &exitCode));
  EXPECT_EQ(0u, exitCode);
}
