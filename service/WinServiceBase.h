// The base of a Windows service that runs in a process of its own.
//
// A concrete service derives from WinServiceBase, implements the six OnService*
// operations and hands one object to Run, which makes the calling thread the control
// dispatcher. The framework owns the status record: it reports start pending with
// rising check points from a reporter thread while OnServiceStart runs, then running,
// routes each control to the concrete class, reports stop pending while OnServiceStop
// runs, and finally stopped. A service created with canStop false accepts no STOP
// control; another process may ask it through its named stop-request event to become
// stoppable (see allowStopRequestThread), so that it can be stopped and removed.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "common/UniqueHandle.h"

class WinServiceBase {
 public:
  // The controls accepted are STOP (canStop), PAUSE_CONTINUE (canPause), PRESHUTDOWN
  // (canShutDown), POWEREVENT (supportShutdownEvents) and always SESSIONCHANGE.
  WinServiceBase(const std::wstring& serviceName, bool canStop, bool canPause, bool canShutDown,
                 bool supportShutdownEvents);
  // Ends any status reporter and stop-request thread that still runs and closes the
  // framework's handles. Virtual, so that deleting through this type is sound too.
  virtual ~WinServiceBase();
  WinServiceBase(const WinServiceBase&) = delete;
  WinServiceBase& operator=(const WinServiceBase&) = delete;

  // The concrete service, in this slot order. Only the results of OnServiceStart and
  // OnServiceStop are used by the framework.
  // On the service-main thread while start pending is reported.
  virtual bool OnServiceStart(DWORD argc, LPWSTR* argv) = 0;
  // On the thread that handles the stop control, while stop pending is reported.
  virtual bool OnServiceStop() = 0;
  virtual bool OnServicePause() = 0;
  virtual bool OnServiceContinue() = 0;
  virtual bool OnServicePowerEvent(DWORD eventType, LPVOID eventData) = 0;
  virtual bool OnServiceSessionChange(DWORD eventType, LPVOID eventData) = 0;

  // Makes `service` the process's one service and runs the control dispatcher on the
  // calling thread. Returns when the service has stopped (true), or at once with false
  // (GetLastError tells why) when the dispatcher could not be started, for instance
  // because the process was not started by the service control manager. After a true
  // return no thread of the framework uses the object any more (the service-main
  // thread has ended, the control handler no longer reaches it), so the owner may
  // destroy it at once.
  static bool Run(WinServiceBase* service);

  // Creates the service (CNTRLSRV::InstallService). Note the order: the description
  // comes before the display name here.
  static bool Install(const std::wstring& executablePath, const std::wstring& serviceName,
                      const std::wstring& description, const std::wstring& displayName,
                      DWORD startType, const std::wstring& account, const std::wstring& password);
  // Asks a non-stoppable service to become stoppable, stops it (30 s at most) and
  // deletes it.
  static void Uninstall(const std::wstring& serviceName);

  // The dispatcher's service-main callback and the control handler. The handler may
  // also be called directly (in-process) with any control; it always returns 0.
  static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
  static DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                         LPVOID context);

  // Runs the service from start pending to stopped; OnServiceStart's result. When a
  // stop came during the start, running is not reported: the stop's pending state stays;
  // when it came before, OnServiceStart is not called (false).
  bool OnStart(DWORD argc, LPWSTR* argv);
  // Reports stop pending, runs OnServiceStop (after OnServiceStart has returned, when a
  // start is under way) and releases OnStart; true when OnServiceStop succeeded and
  // OnStart was released. Only the first call stops; later calls are logged and return
  // true.
  bool OnStop();
  // Reports `state` with check point 0.
  bool SetStatus(DWORD state);
  // Reports the status record as it stands (the answer to INTERROGATE).
  bool ReportCurrentStatus();
  // Starts the reporter thread for a pending state (ending a reporter that still runs);
  // false when it could not, and for start pending once a stop was asked for.
  bool StartStatusReporter(DWORD pendingState);

  const std::wstring& ServiceName() const { return m_serviceName; }

 private:
  struct ReporterBlock;

  static unsigned __stdcall ServiceStatusReporterThread(void* parameter);
  static unsigned __stdcall allowStopRequestThread(void* parameter);

  // Tells the current reporter to end, waits for it and forgets it; with a pending state,
  // only a reporter of that state (a stop may have taken over from the start's).
  void EndStatusReporter(DWORD pendingState = 0);
  // SetServiceStatus with the record as it stands; the status lock is held. Nothing is
  // reported once stopped was (the handle is not to be used after that) or before the
  // handler was registered; both fail with a last-error code.
  bool ReportStatusLocked();
  // Ends the stop-request thread after the stop: wakes it, waits up to `waitMs`.
  void EndStopRequestThread(DWORD waitMs);
  // After the dispatcher has returned: unhooks the object from the control handler and
  // waits for the service-main thread, which reports stopped before it has left OnStart.
  void AwaitServiceMainEnd();

  std::atomic<bool> m_stopping{false};
  // Set when OnStop begins: the first stop wins, and the start no longer reports running.
  std::atomic<bool> m_stopRequested{false};
  std::wstring m_serviceName;
  DWORD m_waitHint = 3000;
  UniqueKernelHandle m_hStopEvent;
  // Guarded by the status lock: the thread that waits on it also closes it.
  UniqueKernelHandle m_hStopRequestEvent;
  UniqueKernelHandle m_hStopRequestThread;
  // Guarded by the reporter lock.
  UniqueKernelHandle m_hReporterEvent;
  UniqueKernelHandle m_hReporterThread;
  DWORD m_reporterState = 0;
  SERVICE_STATUS m_status = {};
  SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
  // The thread that runs ServiceMain (guarded by the status lock).
  UniqueKernelHandle m_hServiceMainThread;
  CRITICAL_SECTION m_statusLock;
  bool m_lockInitialised = false;
  // Serialises starting and ending reporters between the service-main thread and the
  // thread that handles controls. Never taken by a reporter, so waiting for one under
  // it cannot deadlock.
  CRITICAL_SECTION m_reporterLock;
  // Held around OnServiceStart and OnServiceStop, so that the concrete service never
  // starts and stops at the same time.
  CRITICAL_SECTION m_startStopLock;
  // Set (under the status lock) once stopped was reported.
  bool m_stoppedReported = false;

  static WinServiceBase* s_service;
  // Taken shared by the control handler while it uses s_service, exclusively by the
  // destructor to unhook the object: a control handled on another thread (the control
  // manager may run the handler beside the thread that returns from Run) never reaches
  // a destroyed object.
  static SRWLOCK s_serviceLock;
};
