// SentrelSrv.exe /debug run as a real child process: the filter core runs with the
// sample plug-ins until a line of input, and the run ends with exit code 0.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "ipc/CollectingChannel.h"
#include "ipc/SharedNames.h"
#include "support/ChildProcess.h"
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
