// ReferenceService.exe: the smallest service that the control manager can run, the
// yardstick for the service's own start, stop and memory figures. It reports running
// at once when started and stopped at once on STOP, SHUTDOWN or PRESHUTDOWN; nothing
// else (no logging, no threads of its own). The service name is its first argument
// (an own-process service may be registered under any name).
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_stopEvent = nullptr;

void Report(DWORD state) {
  g_status.dwCurrentState = state;
  g_status.dwCheckPoint = 0;
  g_status.dwWaitHint = 0;
  ::SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      ::SetEvent(g_stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  g_statusHandle = ::RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", &Handler, nullptr);
  if (g_statusHandle == nullptr) return;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN;
  Report(SERVICE_RUNNING);
  ::WaitForSingleObject(g_stopEvent, INFINITE);
  Report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t defaultName[] = L"SentrelReferenceService";
  wchar_t* name = argc > 1 ? argv[1] : defaultName;
  g_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
  const BOOL ran = ::StartServiceCtrlDispatcherW(table);
  ::CloseHandle(g_stopEvent);
  return ran ? 0 : 995;
}
