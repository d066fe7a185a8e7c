// The service framework's control handler driven in-process, for the controls that a
// control manager does not send on request (pause without the flag, power and session
// events, shutdown): which operation each control reaches, and the line it logs.
//
// Run makes the object the process's service; its dispatcher call fails here, as the
// test is not started by the control manager. Under Wine that call would take over the
// control pipe of a service that the control manager is starting at the same moment, so
// these tests run alone, with the other machine-wide tests.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "service/WinServiceBase.h"
#include "support/LogFileReader.h"

namespace {

class RecordingService : public WinServiceBase {
 public:
  RecordingService() : WinServiceBase(L"SentrelTestInProcess", true, false, true, false) {}
  std::vector<std::string> calls;
  bool OnServiceStart(DWORD, LPWSTR*) override { return Record("start"); }
  bool OnServiceStop() override { return Record("stop"); }
  bool OnServicePause() override { return Record("pause"); }
  bool OnServiceContinue() override { return Record("continue"); }
  bool OnServicePowerEvent(DWORD type, LPVOID) override { return Record("power " + std::to_string(type)); }
  bool OnServiceSessionChange(DWORD type, LPVOID) override { return Record("session " + std::to_string(type)); }

 private:
  bool Record(const std::string& call) {
    calls.push_back(call);
    return true;
  }
};

size_t CountLines(const std::wstring& needle) { return test_support::ThisRunLogLinesContaining(needle).size(); }

}  // namespace

TEST(MachineWinServiceBaseHandler, RoutesEachControlToItsOperation) {
  struct Case {
    DWORD control;
    DWORD eventType;
    std::vector<std::string> calls;
    const wchar_t* line;
  };
  const Case cases[] = {
      {SERVICE_CONTROL_STOP, 0, {"stop"}, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_STOP request."},
      {SERVICE_CONTROL_PAUSE, 0, {"pause"}, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_PAUSE request."},
      {SERVICE_CONTROL_CONTINUE, 0, {"continue"}, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_CONTINUE request."},
      {SERVICE_CONTROL_INTERROGATE, 0, {}, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_INTERROGATE request, "},
      {SERVICE_CONTROL_SHUTDOWN, 0, {"stop"}, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_SHUTDOWN request."},
      {SERVICE_CONTROL_POWEREVENT, 7, {"power 7"}, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_POWEREVENT request, "},
      {SERVICE_CONTROL_SESSIONCHANGE, 5, {"session 5"},
       L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_SESSIONCHANGE request, "},
      {SERVICE_CONTROL_PRESHUTDOWN, 0, {"stop"}, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_PRESHUTDOWN request."},
      {200, 0, {}, L"\t(**) ServiceCtrlHandler :Unsupported request."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    RecordingService service;
    // Not started by a control manager: the dispatcher fails, the object stays the
    // process's service for the handler.
    EXPECT_FALSE(WinServiceBase::Run(&service));
    const size_t before = CountLines(c.line);
    const std::wstring header = L"(**) WinServiceBase::ServiceCtrlHandler : Control = " + std::to_wstring(c.control) +
                                L", dwEventType:" + std::to_wstring(c.eventType);
    const size_t headersBefore = CountLines(header);
    EXPECT_EQ(0u, WinServiceBase::ServiceCtrlHandler(c.control, c.eventType, nullptr, nullptr));
    EXPECT_EQ(c.calls, service.calls);
    EXPECT_EQ(before + 1, CountLines(c.line));
    EXPECT_EQ(headersBefore + 1, CountLines(header));
  }
}

TEST(MachineWinServiceBaseHandler, StopsOnceWhateverStopControlsFollowAndAStartAfterTheStopStartsNothing) {
  const wchar_t kAgain[] = L"\t\t\tWinServiceBase::OnStop - Stop already requested, service name:SentrelTestInProcess";
  const wchar_t kNoStart[] = L"WinServiceBase::OnStart - Service SentrelTestInProcess was stopped before its start.";
  const wchar_t kReporter[] = L"\tServiceStatusReporterThread started...";
  const size_t againBefore = CountLines(kAgain), noStartBefore = CountLines(kNoStart), reportersBefore = CountLines(kReporter);
  RecordingService service;
  EXPECT_FALSE(WinServiceBase::Run(&service));
  EXPECT_TRUE(service.OnStop());
  WinServiceBase::ServiceCtrlHandler(SERVICE_CONTROL_PRESHUTDOWN, 0, nullptr, nullptr);
  WinServiceBase::ServiceCtrlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
  EXPECT_EQ(std::vector<std::string>{"stop"}, service.calls);
  EXPECT_EQ(againBefore + 2, CountLines(kAgain));

  // The stop has released the service's wait already: the start returns at once.
  EXPECT_FALSE(service.OnStart(0, nullptr));
  EXPECT_EQ(std::vector<std::string>{"stop"}, service.calls);
  EXPECT_EQ(noStartBefore + 1, CountLines(kNoStart));
  EXPECT_EQ(reportersBefore + 1, CountLines(kReporter)) << "start pending reported after the stop";
}
