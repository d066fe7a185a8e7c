// The service installation and control operations against the real control manager.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestServiceHarness.h"
#include "service/CntrlSrv.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"
#include "support/ServiceCalls.h"
#include "support/ServiceGuard.h"

using test_support::ReadServiceConfig;
using test_support::ServiceConfig;

TEST(MachineServiceControl, InstallCreatesTheDescribedServiceAndRefusesADuplicate) {
  test_support::ServiceGuard guard(L"SentrelTestInstall");
  ASSERT_TRUE(guard.clean());
  const std::wstring program = BuiltProgramPath(L"SentrelTestService.exe");
  ASSERT_TRUE(CNTRLSRV::InstallService(program, guard.name(), L"Sentrel test display", L"Sentrel test description",
                                       SERVICE_DEMAND_START, L".\\LocalSystem", L""));
  const ServiceConfig config = ReadServiceConfig(guard.name());
  ASSERT_TRUE(config.read);
  EXPECT_EQ(L"\"" + program + L"\"", config.binaryPath);
  EXPECT_EQ(L"Sentrel test display", config.displayName);
  EXPECT_EQ(L"Sentrel test description", config.description);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.serviceType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config.startType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
  EXPECT_EQ(1u, test_support::ThisRunLogLinesContaining(L"Service SentrelTestInstall installed successfully").size());

  EXPECT_FALSE(CNTRLSRV::InstallService(program, guard.name(), L"other", L"other", SERVICE_DEMAND_START,
                                        L".\\LocalSystem", L""));
  EXPECT_EQ(1u, test_support::ThisRunLogLinesContaining(L"CreateService failed. GLE = 1073").size());
  EXPECT_EQ(L"Sentrel test display", ReadServiceConfig(guard.name()).displayName);

  // A stopped service is deleted without a stop.
  EXPECT_TRUE(CNTRLSRV::UninstallService(guard.name()));
  EXPECT_TRUE(test_support::WaitForServiceGone(guard.name(), 10000));
  EXPECT_EQ(1u, test_support::ThisRunLogLinesContaining(L"SentrelTestInstall removed from SCM").size());
}

TEST(MachineServiceControl, StopTheServiceOnAServiceThatIsNotRunningReturnsTrueAtOnce) {
  TestServiceHarness service(L"SentrelTestStopped", L"");
  ASSERT_TRUE(service.installed());
  EXPECT_TRUE(CNTRLSRV::StopTheService(service.name().c_str(), true, 30));
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(test_support::QueryServiceStatusOf(service.name(), &status));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);

  EXPECT_FALSE(CNTRLSRV::StopTheService(nullptr, true, 30));
  EXPECT_EQ(1u, test_support::ThisRunLogLinesContaining(L"CNTRLSRV::StopTheService : NULL Service name.").size());
  EXPECT_FALSE(CNTRLSRV::StopTheService(L"SentrelTestNeverInstalled", true, 30));
  EXPECT_EQ(1u, test_support::ThisRunLogLinesContaining(
                    L"CNTRLSRV::StopTheService : Failed to OpenService, SrvName = SentrelTestNeverInstalled , GLE = 1060")
                    .size());
}

TEST(MachineServiceControl, StopTheServiceWaitsForTheStop) {
  TestServiceHarness service(L"SentrelTestStopWait", L"--stop-delay-ms 1500");
  ASSERT_TRUE(service.installed());
  ASSERT_TRUE(service.StartAndWaitRunning());
  EXPECT_TRUE(CNTRLSRV::StopTheService(service.name().c_str(), true, 30));
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(test_support::QueryServiceStatusOf(service.name(), &status));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
  EXPECT_TRUE(service.Reported("stop-end"));
}

// A service that stays stop pending does not hold the uninstall for ever: the wait ends
// after CNTRLSRV::kUninstallStopWaitSeconds and the service is deleted all the same (the
// deletion takes effect once it has stopped). The service here answers STOP with stop
// pending and stops only 40 s later.
TEST(MachineServiceControl, UninstallStopsWaitingForAServiceThatStaysStopPendingAndDeletesIt) {
  TestServiceHarness service(L"SentrelTestStopPending", L"--stop-delay-ms 40000", std::wstring(), L"stuck");
  ASSERT_TRUE(service.installed());
  ASSERT_TRUE(service.StartAndWaitRunning());

  EXPECT_TRUE(CNTRLSRV::UninstallService(service.name()));
  EXPECT_TRUE(service.Reported("stuck-stop-pending"));
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(test_support::QueryServiceStatusOf(service.name(), &status)) << "deleted before it stopped";
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), status.dwCurrentState);
  EXPECT_EQ(1u, test_support::ThisRunLogLinesContaining(L"SentrelTestStopPending failed to stop.").size());
  EXPECT_EQ(1u, test_support::ThisRunLogLinesContaining(
                    L"UninstallService: SentrelTestStopPending still stop pending after 30 seconds, deleting it all the same.")
                    .size());
  EXPECT_EQ(1u, test_support::ThisRunLogLinesContaining(L"SentrelTestStopPending removed from SCM").size());

  EXPECT_TRUE(test_support::WaitForServiceGone(service.name(), 60000)) << "still known after it stopped";
  EXPECT_TRUE(service.Reported("stuck-stopped"));
}

TEST(MachineServiceControl, ProtectionQueriesOnAnUnprotectedService) {
  TestServiceHarness service(L"SentrelTestProtection", L"");
  ASSERT_TRUE(service.installed());
  EXPECT_FALSE(CNTRLSRV::IsProtectedService(service.name()));
  EXPECT_FALSE(CNTRLSRV::CanStopService(service.name())) << "a stopped service accepts nothing";
  ASSERT_TRUE(service.StartAndWaitRunning());
  EXPECT_TRUE(CNTRLSRV::CanStopService(service.name()));
  EXPECT_FALSE(CNTRLSRV::CanStopService(L"SentrelTestNeverInstalled"));

  EXPECT_FALSE(CNTRLSRV::SetAsUnProtectedService(L"SentrelTestNeverInstalled"));
  EXPECT_EQ(1u, test_support::ThisRunLogLinesContaining(
                    L"SetAsUnProtectedService SentrelTestNeverInstalled, iRet:-3, gle=1060").size());
  // Wine keeps no launch protection: there the change fails (-4) with its error code.
  const bool removed = CNTRLSRV::SetAsUnProtectedService(service.name());
  const auto lines = test_support::ThisRunLogLinesContaining(L"SetAsUnProtectedService SentrelTestProtection, iRet:");
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::wstring::npos, lines[0].find(removed ? L"iRet:1, gle=0" : L"iRet:-4, gle="));
}

// The bare service that the service benchmarks measure beside SentrelSrv.exe.
TEST(MachineServiceControl, ReferenceServiceRunsAndStopsThroughTheControlManager) {
  const std::wstring program = BuiltProgramPath(L"..\\bench\\ReferenceService.exe");
  if (::GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "benchmarks not built";
  test_support::ServiceGuard guard(L"SentrelTestReference");
  ASSERT_TRUE(guard.clean());
  ASSERT_TRUE(test_support::CreateTestService(guard.name(), test_support::QuoteArgument(program) + L" " + guard.name()));
  ASSERT_EQ(0u, test_support::StartServiceByName(guard.name()));
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(test_support::WaitForServiceState(guard.name(), SERVICE_RUNNING, 30000, &status));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN), status.dwControlsAccepted);
  EXPECT_TRUE(CNTRLSRV::StopTheService(guard.name().c_str(), true, 30));
}
