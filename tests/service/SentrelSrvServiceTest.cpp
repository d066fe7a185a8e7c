// SentrelSrv.exe installed with /RegServer and run by the service control manager with
// the sample plug-ins: start, announcement, a settings change, interrogation and stop.
// Controls that Wine's control manager refuses to send (SHUTDOWN, PRESHUTDOWN) are
// handed to the service class's handler inside a process of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "TestServiceHarness.h"
#include "common/UniqueHandle.h"
#include "ipc/CollectingChannel.h"
#include "ipc/SharedNames.h"
#include "log/Logger.h"
#include "service/WindowsServiceImp.h"
#include "support/CapturedProcess.h"
#include "support/ChildProcess.h"
#include "support/LogWatch.h"
#include "support/SamplePluginInstall.h"
#include "support/ScratchRegKey.h"
#include "support/ServiceCalls.h"
#include "support/ServiceGuard.h"

namespace {

using test_support::LogWatch;
using test_support::SamplePlugin;

const wchar_t kServiceName[] = L"SentrelSrv";
const wchar_t kWorkerCompleted[] = L"SentrelCore::WorkerThreadFunc - worker thread completed";

long long WatchdogFlag() {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Veltrane", L"WatchDog_SentrelSrv", RRF_RT_REG_DWORD, nullptr,
                     &value, &size) != ERROR_SUCCESS) {
    return -1;
  }
  return value;
}

size_t OnNotifyChangesCount(const test_support::SamplePluginInstall& install, SamplePlugin plugin) {
  size_t count = 0;
  for (const std::string& call : install.JournalCalls(plugin)) count += call == "OnNotifyChanges" ? 1 : 0;
  return count;
}

void Signal(const std::wstring& name) {
  UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
  if (event) ::SetEvent(event.get());
}

template <typename Condition>
bool Eventually(Condition done, DWORD ms) {
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  for (;;) {
    if (done()) return true;
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(20);
  }
}

}  // namespace

// args: the control to hand to the handler. Runs the service class as the service road
// does, without a control manager, and stops it with that control once its core works.
SENTREL_CHILD(L"service-imp-control", args) {
  const DWORD control = static_cast<DWORD>(std::stoul(args.at(0)));
  LogWatch log;
  WindowsServiceImp* service = new WindowsServiceImp();
  // Not started by a control manager: the dispatcher call fails and the object stays
  // the process's service for the handler.
  if (WinServiceBase::Run(service)) return 2;
  std::thread serviceMain([service] { service->OnStart(0, nullptr); });
  const bool started = log.WaitFor(L"WinServiceBase::OnStart - Service SentrelSrv is running...", 30000);
  WinServiceBase::ServiceCtrlHandler(control, 0, nullptr, nullptr);
  serviceMain.join();
  delete service;
  return started ? 0 : 3;
}

TEST(MachineSentrelSrvService, RunsTheCoreUnderTheControlManagerUntilStopped) {
  test_support::SamplePluginInstall install;
  ASSERT_TRUE(install.valid());
  ASSERT_TRUE(install.InstallAll());
  test_support::MachineValueGuard watchdog(L"SOFTWARE\\Veltrane", L"WatchDog_SentrelSrv");
  CollectingChannel controlCentre;
  ASSERT_TRUE(controlCentre.Create(SMIPCTNG::kServer, SharedNames::kControlCenterHighQueue,
                                   SharedNames::kControlCenterQueueSize));
  test_support::ServiceGuard guard(kServiceName);
  ASSERT_TRUE(guard.clean());
  const auto install_run =
      test_support::RunCaptured(test_support::QuoteArgument(BuiltProgramPath(L"..\\SentrelSrv.exe")) + L" /RegServer",
                                180000);
  ASSERT_EQ(0u, install_run.exitCode) << install_run.output;

  LogWatch log(test_support::ServiceLogPath());
  ASSERT_EQ(0u, test_support::StartServiceByName(kServiceName));
  // How fast it gets there is the service benchmark's figure, not this test's.
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(test_support::WaitForServiceState(kServiceName, SERVICE_RUNNING, 60000, &status));
  EXPECT_EQ(0x181u, status.dwControlsAccepted);
  log.Follow(status.dwProcessId);
  EXPECT_EQ(1, WatchdogFlag());
  ASSERT_TRUE(controlCentre.WaitForItems(1, 30000)) << "the status packet arrives";

  // A settings change reaches the running plug-in.
  ASSERT_TRUE(Eventually([&] { return OnNotifyChangesCount(install, SamplePlugin::Hearth) == 1; }, 30000));
  Signal(SharedNames::kHearthReloadSettingsEvent);
  EXPECT_TRUE(Eventually([&] { return OnNotifyChangesCount(install, SamplePlugin::Hearth) == 2; }, 30000));

  SERVICE_STATUS interrogated = {};
  EXPECT_EQ(0u, test_support::ControlServiceByName(kServiceName, SERVICE_CONTROL_INTERROGATE, &interrogated));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), interrogated.dwCurrentState);

  EXPECT_EQ(0u, test_support::ControlServiceByName(kServiceName, SERVICE_CONTROL_STOP));
  EXPECT_TRUE(test_support::WaitForServiceState(kServiceName, SERVICE_STOPPED, 30000));
  EXPECT_TRUE(log.WaitFor(kWorkerCompleted, 10000)) << "the worker's end path ran";
  EXPECT_TRUE(log.WaitFor(L"Main - Service stopped.", 10000));
  EXPECT_EQ(0, WatchdogFlag());
  const std::vector<std::string> calls = install.JournalCalls(SamplePlugin::Malware);
  EXPECT_NE(calls.end(), std::find(calls.begin(), calls.end(), "Stop"));
}

TEST(MachineSentrelSrvService, ShutdownAndPreshutdownStopTheCore) {
  test_support::MachineValueGuard webFilter(L"SOFTWARE\\Veltrane\\WebFilter", L"InstallPath");
  test_support::MachineValueGuard watchdog(L"SOFTWARE\\Veltrane", L"WatchDog_SentrelSrv");
  ASSERT_TRUE(webFilter.Remove());
  for (const DWORD control : {static_cast<DWORD>(SERVICE_CONTROL_PRESHUTDOWN),
                              static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN)}) {
    SCOPED_TRACE(control);
    LogWatch log(Logger::Instance().FilePath());
    test_support::ChildProcess child =
        test_support::ChildProcess::Start(L"service-imp-control", {std::to_wstring(control)});
    ASSERT_TRUE(child.valid());
    log.Follow(child.pid());
    DWORD exitCode = 99;
    ASSERT_TRUE(child.Wait(60000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ(1u, log.Count(L"SentrelCore::WorkerThreadFunc - worker thread: Shutown event has been accepted."));
    EXPECT_EQ(1u, log.Count(kWorkerCompleted));
    EXPECT_EQ(1u, log.Count(L"WinServiceBase::OnStart - Finally: Service SentrelSrv stopped."));
    EXPECT_EQ(0, WatchdogFlag());
  }
}
