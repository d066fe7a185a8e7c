// SentrelSrv.exe run as a process: installing and removing itself as a service, the
// usage line, and the service road started from a console. Exit codes are read with
// GetExitCodeProcess (the whole 32-bit value).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestServiceHarness.h"
#include "support/CapturedProcess.h"
#include "support/ChildProcess.h"
#include "support/ServiceCalls.h"
#include "support/ServiceGuard.h"

namespace {

const wchar_t kServiceName[] = L"SentrelSrv";
const char kUsageLine[] = "Usage: SentrelSrv.exe {/RegServer | /UnregServer | /Debug}";

std::wstring SentrelSrvPath() { return BuiltProgramPath(L"..\\SentrelSrv.exe"); }

test_support::CapturedRun RunSentrelSrv(const std::wstring& arguments) {
  std::wstring commandLine = test_support::QuoteArgument(SentrelSrvPath());
  if (!arguments.empty()) commandLine += L" " + arguments;
  return test_support::RunCaptured(commandLine, 180000);
}

void ExpectInstalledAsTheProduct() {
  const test_support::ServiceConfig config = test_support::ReadServiceConfig(kServiceName);
  ASSERT_TRUE(config.read);
  EXPECT_EQ(L"\"" + SentrelSrvPath() + L"\"", config.binaryPath);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.serviceType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
  EXPECT_EQ(L".\\LocalSystem", config.account);
  EXPECT_EQ(L"Veltrane Network Scanner", config.displayName);
  EXPECT_EQ(L"Intercepts and inspects network traffic for malwares and confidential lost.", config.description);
}

}  // namespace

TEST(MachineSentrelSrvInstall, RegServerInstallsAndUnregServerStopsAndRemoves) {
  test_support::ServiceGuard guard(kServiceName);
  ASSERT_TRUE(guard.clean());

  const auto install = RunSentrelSrv(L"/RegServer");
  ASSERT_TRUE(install.ended);
  EXPECT_EQ(0u, install.exitCode) << install.output;
  ExpectInstalledAsTheProduct();

  ASSERT_EQ(0u, test_support::StartServiceByName(kServiceName));
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(test_support::WaitForServiceState(kServiceName, SERVICE_RUNNING, 60000, &status));
  EXPECT_EQ(0x181u, status.dwControlsAccepted);
  UniqueKernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
  ASSERT_TRUE(process.valid());

  const auto remove = RunSentrelSrv(L"/UnregServer");
  ASSERT_TRUE(remove.ended);
  EXPECT_EQ(0u, remove.exitCode) << remove.output;
  EXPECT_TRUE(test_support::WaitForServiceGone(kServiceName, 30000));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(process.get(), 30000))
      << "the service process still runs";
}

TEST(MachineSentrelSrvInstall, LowerCaseSwitchesInstallAndRemove) {
  test_support::ServiceGuard guard(kServiceName);
  ASSERT_TRUE(guard.clean());
  const auto install = RunSentrelSrv(L"/regserver");
  EXPECT_EQ(0u, install.exitCode) << install.output;
  ExpectInstalledAsTheProduct();
  const auto remove = RunSentrelSrv(L"/unregserver");
  EXPECT_EQ(0u, remove.exitCode) << remove.output;
  EXPECT_TRUE(remove.output.empty()) << "a stopped service is removed without progress output: " << remove.output;
  EXPECT_TRUE(test_support::WaitForServiceGone(kServiceName, 30000));
}

TEST(MachineSentrelSrvInstall, UnknownSwitchPrintsTheUsageLineAndInstallsNothing) {
  test_support::ServiceGuard guard(kServiceName);
  ASSERT_TRUE(guard.clean());
  for (const wchar_t* argument : {L"/RegServer2", L"/x"}) {
    const auto run = RunSentrelSrv(argument);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(1u, run.exitCode) << argument;
    EXPECT_EQ(std::string(kUsageLine) + "\r\n", run.output) << argument;
  }
  EXPECT_FALSE(test_support::ServiceExists(kServiceName));
}

// Machine-wide: under Wine a dispatcher call from a process that the control manager did
// not start may take the control pipe of a service that is being started meanwhile.
TEST(MachineSentrelSrvServiceRoad, StartedFromAConsoleItCannotReachTheControlManager) {
  for (const wchar_t* argument : {L"", L"debug"}) {
    const auto run = RunSentrelSrv(argument);
    ASSERT_TRUE(run.ended) << argument;
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), run.exitCode) << argument;
    EXPECT_EQ("The service failed to run. GLE = 1063\r\n", run.output) << argument;
  }
}
