// The service framework run for real: SentrelTestService.exe (a WinServiceBase service)
// installed, started, controlled and stopped through the service control manager.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestServiceHarness.h"
#include "support/CapturedProcess.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"
#include "support/ServiceCalls.h"

namespace {

using test_support::ControlServiceByName;
using test_support::QueryServiceStatusOf;
using test_support::WaitForServiceState;

// The number after "dwCheckPoint:" in a framework log line.
int CheckPointIn(const std::wstring& line) {
  const size_t at = line.find(L"dwCheckPoint:");
  return at == std::wstring::npos ? -1 : _wtoi(line.c_str() + at + 13);
}

bool StatesEqual(const SERVICE_STATUS_PROCESS& a, const SERVICE_STATUS_PROCESS& b) {
  return a.dwCurrentState == b.dwCurrentState && a.dwCheckPoint == b.dwCheckPoint && a.dwWaitHint == b.dwWaitHint;
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& prefix) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(prefix, 0) == 0) return i;
  }
  return lines.size();
}

}  // namespace

TEST(MachineServiceFramework, SlowStartReportsRisingCheckPointsThenRunning) {
  TestServiceHarness service(L"SentrelTestSlowStart", L"--start-delay-ms 4500");
  ASSERT_TRUE(service.installed());
  ASSERT_EQ(0u, test_support::StartServiceByName(service.name()));

  // What a client of the control manager sees while the start takes its time.
  std::vector<SERVICE_STATUS_PROCESS> seen;
  const ULONGLONG deadline = ::GetTickCount64() + 60000;
  SERVICE_STATUS_PROCESS status = {};
  while (::GetTickCount64() < deadline && QueryServiceStatusOf(service.name(), &status)) {
    if (seen.empty() || !StatesEqual(seen.back(), status)) seen.push_back(status);
    if (status.dwCurrentState != SERVICE_START_PENDING) break;
    ::Sleep(20);
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), seen.back().dwCurrentState);
  EXPECT_EQ(0u, seen.back().dwCheckPoint);
  EXPECT_EQ(3000u, seen.back().dwWaitHint);
  EXPECT_EQ(0x181u, seen.back().dwControlsAccepted);
  DWORD previous = 0;
  size_t pendingSeen = 0;
  for (const auto& s : seen) {
    if (s.dwCurrentState != SERVICE_START_PENDING) continue;
    ++pendingSeen;
    EXPECT_NE(2u, s.dwCheckPoint) << "check point 2 is never reported";
    EXPECT_GE(s.dwCheckPoint, previous);
    if (s.dwCheckPoint >= 1) {
      EXPECT_EQ(3000u, s.dwWaitHint);
    }
    previous = s.dwCheckPoint;
  }
  EXPECT_GE(pendingSeen, 2u);
  EXPECT_GE(previous, 4u) << "the check point rises about once a second while the start takes 4.5 s";

  // The framework's own account: 0 and 1 at once (the line shows the check point after
  // both steps, 2), then 3, 4, 5 ... without a gap, then running.
  const auto first = service.ServiceLogLines(L"SetServiceStatus invoked with 2, gle=0");
  EXPECT_EQ(1u, first.size());
  const auto hint = service.ServiceLogLines(L"SetServiceHintTime invoked with 3000, dwCheckPoint:2, gle=0");
  EXPECT_EQ(1u, hint.size());
  const auto still = service.ServiceLogLines(L"SetServiceStillPending invoked with 2, dwCheckPoint:");
  ASSERT_GE(still.size(), 2u);
  for (size_t i = 0; i < still.size(); ++i) {
    EXPECT_EQ(static_cast<int>(3 + i), CheckPointIn(still[i])) << still[i];
    EXPECT_NE(std::wstring::npos, still[i].find(L"...gle=0")) << still[i];
  }
  EXPECT_EQ(1u, service.ServiceLogLines(L"SetServiceStatus invoked with 4, gle=0").size());
  EXPECT_EQ(1u, service.ServiceLogLines(L"WinServiceBase::OnStart - Service SentrelTestSlowStart is running...").size());

  EXPECT_EQ(0u, ControlServiceByName(service.name(), SERVICE_CONTROL_STOP));
  EXPECT_TRUE(WaitForServiceState(service.name(), SERVICE_STOPPED, 30000));
}

TEST(MachineServiceFramework, AcceptedControlsFollowTheFlagsAndInterrogateReportsRunning) {
  struct Case {
    const wchar_t* args;
    DWORD accepted;
  };
  const Case cases[] = {
      {L"", 0x181},  // canStop, canShutDown: STOP, PRESHUTDOWN and SESSIONCHANGE
      {L"--can-stop 0", 0x180},
      {L"--can-pause 1 --can-shutdown 0 --power-events 1", 0xC3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    TestServiceHarness service(L"SentrelTestControls", c.args);
    ASSERT_TRUE(service.installed());
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_TRUE(service.StartAndWaitRunning(&status)) << status.dwCurrentState;
    EXPECT_EQ(c.accepted, status.dwControlsAccepted);

    SERVICE_STATUS answered = {};
    EXPECT_EQ(0u, ControlServiceByName(service.name(), SERVICE_CONTROL_INTERROGATE, &answered));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), answered.dwCurrentState);
    EXPECT_EQ(1u, service.ServiceLogLines(L"ServiceCtrlHandler :SERVICE_CONTROL_INTERROGATE request, ").size());

    // A control that the handler does not know is logged as unsupported.
    EXPECT_EQ(0u, ControlServiceByName(service.name(), 200));
    EXPECT_EQ(1u, service.ServiceLogLines(L"ServiceCtrlHandler :Unsupported request.").size());

    if (c.accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) {
      EXPECT_EQ(0u, ControlServiceByName(service.name(), SERVICE_CONTROL_PAUSE));
      EXPECT_EQ(0u, ControlServiceByName(service.name(), SERVICE_CONTROL_CONTINUE));
      EXPECT_TRUE(service.Reported("pause"));
      EXPECT_TRUE(service.Reported("continue"));
    } else {
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL),
                ControlServiceByName(service.name(), SERVICE_CONTROL_PAUSE));
    }

    if (c.accepted & SERVICE_ACCEPT_STOP) {
      EXPECT_EQ(0u, ControlServiceByName(service.name(), SERVICE_CONTROL_STOP));
    } else {
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL),
                ControlServiceByName(service.name(), SERVICE_CONTROL_STOP));
      EXPECT_TRUE(service.Inject(SERVICE_CONTROL_STOP));
    }
    EXPECT_TRUE(WaitForServiceState(service.name(), SERVICE_STOPPED, 30000));
    EXPECT_TRUE(service.Reported("stop-end"));
  }
}

// The control manager of this platform may refuse to send shutdown controls on request
// (Wine's answers ERROR_INVALID_PARAMETER); then the control is handed to the service's
// own handler from inside its process, as the system would deliver it at shutdown.
TEST(MachineServiceFramework, ShutdownAndPreshutdownEachEndInStopped) {
  struct Case {
    DWORD control;
    const wchar_t* line;
  };
  const Case cases[] = {
      {SERVICE_CONTROL_SHUTDOWN, L"ServiceCtrlHandler :SERVICE_CONTROL_SHUTDOWN request."},
      {SERVICE_CONTROL_PRESHUTDOWN, L"ServiceCtrlHandler :SERVICE_CONTROL_PRESHUTDOWN request."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    TestServiceHarness service(L"SentrelTestShutdown", L"--stop-delay-ms 500");
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.StartAndWaitRunning());

    const DWORD sent = ControlServiceByName(service.name(), c.control);
    if (sent != 0) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), sent);
      ::testing::Test::RecordProperty("control_" + std::to_string(c.control), "refused by the control manager");
      ASSERT_TRUE(service.Inject(c.control));
    }
    SERVICE_STATUS_PROCESS status = {};
    EXPECT_TRUE(WaitForServiceState(service.name(), SERVICE_STOPPED, 30000, &status)) << status.dwCurrentState;
    // The dispatcher returned and the process ended normally. The last framework line
    // is written after the stopped report, so the log is read once the process is done.
    EXPECT_TRUE(service.WaitReported("exit code=0", 30000));
    EXPECT_EQ(1u, service.ServiceLogLines(c.line).size());
    EXPECT_EQ(1u, service.ServiceLogLines(L"SetServiceStatus invoked with 3, gle=0").size());
    EXPECT_EQ(1u, service.ServiceLogLines(L"WinServiceBase::OnStart - Finally: Service SentrelTestShutdown stopped.").size());
    EXPECT_TRUE(service.Reported("stop-end"));
    EXPECT_TRUE(service.Reported("run-returned ok=1"));
  }
}

TEST(MachineServiceFramework, StopDuringTheStartWaitsForItAndNeverReportsRunning) {
  TestServiceHarness service(L"SentrelTestStopEarly", L"--start-delay-ms 3000");
  ASSERT_TRUE(service.installed());
  ASSERT_EQ(0u, test_support::StartServiceByName(service.name()));
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(QueryServiceStatusOf(service.name(), &status));
  ASSERT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), status.dwCurrentState);

  const DWORD sent = ControlServiceByName(service.name(), SERVICE_CONTROL_STOP);
  if (sent != 0) {
    // A control manager that keeps STOP from a starting service: the service-side
    // handling is the same when the stop comes from inside.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), sent);
    ASSERT_TRUE(service.Inject(SERVICE_CONTROL_STOP));
  }
  EXPECT_TRUE(WaitForServiceState(service.name(), SERVICE_STOPPED, 30000, &status)) << status.dwCurrentState;

  EXPECT_TRUE(service.ServiceLogLines(L"SetServiceStatus invoked with 4,").empty()) << "running was reported";
  EXPECT_EQ(1u, service.ServiceLogLines(L"is stopping, running not reported.").size());
  const auto lines = service.ReportLines();
  EXPECT_LT(IndexOf(lines, "start-end"), IndexOf(lines, "stop-begin")) << "the stop began before the start ended";
  EXPECT_LT(IndexOf(lines, "stop-end"), lines.size());
}

// Run returns once the control manager has the stopped report, and the owner destroys
// the service object then. The framework's service-main thread reports stopped before
// it has left the object (it still logs with it), and a thread can stay descheduled
// right there under load: the test service holds it there for half a second.
TEST(MachineServiceFramework, RunReturnsOnlyOnceTheServiceMainThreadHasEnded) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    TestServiceHarness service(L"SentrelTestHeld", L"--hold-service-main-ms 500");
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.StartAndWaitRunning());
    EXPECT_EQ(0u, ControlServiceByName(service.name(), SERVICE_CONTROL_STOP));
    EXPECT_TRUE(service.WaitReported("exit code=0", 30000));
    EXPECT_TRUE(service.Reported("run-returned ok=1 gle=0 service-main-ended=1"));
    EXPECT_EQ(1u, service.ServiceLogLines(L"WinServiceBase::OnStart - Finally: Service SentrelTestHeld stopped.").size());
  }
}

// The stop-request protocol names its event after the executable of each side: the
// service listens on the event of the service name that its own path maps to, and the
// requester signals the event of the service name that its own path maps to (the name
// it is given counts only when its own path maps to none). Both map through the suite's
// table of known executables, by a substring search of the whole lower-cased path, so a
// folder name counts as well. The test therefore runs both sides from a folder named
// "KeeperSrv.exe.d": the service (registered under a name of its own) and the requester
// ("uninstall <name>") both map to "k.Keeper" and meet on
// "Global\k.Keeper_REQUEST_STOP_SERVICE", while the product's own event is left alone.
// The requester is a second copy under another file name, so that each side writes a
// log file of its own.
TEST(MachineServiceFramework, UninstallMakesANonStoppableServiceStoppableStopsAndRemovesIt) {
  test_support::ScratchFolder place(L"nonstop");
  const std::wstring folder = place / L"KeeperSrv.exe.d";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring program = BuiltProgramPath(L"SentrelTestService.exe");
  const std::wstring serviceCopy = folder + L"\\SentrelTestService.exe";
  const std::wstring requesterCopy = folder + L"\\SentrelTestRequester.exe";
  ASSERT_TRUE(::CopyFileW(program.c_str(), serviceCopy.c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW(program.c_str(), requesterCopy.c_str(), FALSE));

  TestServiceHarness service(L"SentrelTestNonStop", L"--can-stop 0", serviceCopy);
  ASSERT_TRUE(service.installed());
  SERVICE_STATUS_PROCESS status = {};
  ASSERT_TRUE(service.StartAndWaitRunning(&status));
  EXPECT_EQ(0x180u, status.dwControlsAccepted);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL),
            ControlServiceByName(service.name(), SERVICE_CONTROL_STOP));

  const auto run = test_support::RunCaptured(test_support::QuoteArgument(requesterCopy) + L" uninstall " +
                                                 service.name() + L" --report " +
                                                 test_support::QuoteArgument(service.reportPath()),
                                             180000);
  ASSERT_TRUE(run.ended) << run.output;
  EXPECT_EQ(0u, run.exitCode);

  EXPECT_TRUE(test_support::WaitForServiceGone(service.name(), 30000));
  EXPECT_TRUE(service.Reported("stop-end"));
  EXPECT_TRUE(service.WaitReported("exit code=0", 30000));

  // The service's side: it was asked, became stoppable, answered and stopped.
  EXPECT_EQ(1u, service.ServiceLogLines(L"WinServiceBase::OnStart - Service SentrelTestNonStop is Non stoppable.").size());
  EXPECT_EQ(1u, service.ServiceLogLines(L"\t\t\tAllowStopRequestThread signaled , 0").size());
  EXPECT_EQ(1u, service.ServiceLogLines(L"\tallowStopRequestThread - SetServiceStatus invoked with SERVICE_ACCEPT_STOP, gle=0").size());
  EXPECT_EQ(1u, service.ServiceLogLines(L"\tallowStopRequestThread service is now updated with SERVICE_ACCEPT_STOP/Unprotected...").size());
  EXPECT_EQ(1u, service.ServiceLogLines(L"SetNamedEvent allowStopRequestThread - 1").size());
  EXPECT_EQ(1u, service.ServiceLogLines(L"\tallowStopRequestThread terminated.").size());

  // The requester's side: it found the service not stoppable, asked on the shared event,
  // got the answer, stopped the service and removed it.
  const std::wstring log = service.RequesterLogPath();
  const DWORD pid = service.RequesterPid();
  ASSERT_EQ(run.pid, pid);
  EXPECT_EQ(1u, test_support::LogLinesContaining(log, L"WinServiceBase::Uninstall - Service SentrelTestNonStop is Non stoppable.", pid).size());
  EXPECT_EQ(1u, test_support::LogLinesContaining(
                    log, L"RequestServiceStopSupport for k.Keeper, eventName: Global\\k.Keeper_REQUEST_STOP_SERVICE, by: WinServiceBase::Uninstall",
                    pid).size());
  const auto waits = test_support::LogLinesContaining(log, L"RequestServiceStopSupport wait res ", pid);
  ASSERT_FALSE(waits.empty());
  EXPECT_NE(std::wstring::npos, waits.front().find(L"wait res 0"));
  EXPECT_EQ(1u, test_support::LogLinesContaining(log, L"SentrelTestNonStop removed from SCM", pid).size());
}
