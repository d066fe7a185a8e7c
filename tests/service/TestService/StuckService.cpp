#include "StuckService.h"

#include "EventReport.h"
#include "common/UniqueHandle.h"

namespace {

std::wstring g_name;
DWORD g_stopDelayMs = 0;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
UniqueKernelHandle g_stopRequested;

void Report(DWORD state, DWORD accepted, DWORD waitHint) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = accepted;
  status.dwWaitHint = waitHint;
  ::SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    EventReport::Line("stuck-stop-pending");
    Report(SERVICE_STOP_PENDING, 0, g_stopDelayMs + 10000);
    ::SetEvent(g_stopRequested.get());
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_statusHandle = ::RegisterServiceCtrlHandlerExW(g_name.c_str(), &Handler, nullptr);
  if (g_statusHandle == nullptr) return;
  Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0);
  ::WaitForSingleObject(g_stopRequested.get(), INFINITE);
  ::Sleep(g_stopDelayMs);
  EventReport::Line("stuck-stopped");
  Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

bool RunStuckService(const std::wstring& serviceName, DWORD stopDelayMs) {
  g_name = serviceName;
  g_stopDelayMs = stopDelayMs;
  g_stopRequested.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  SERVICE_TABLE_ENTRYW table[] = {{&g_name[0], &ServiceMain}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) != FALSE;
}
