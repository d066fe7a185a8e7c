#include "service/WinServiceBase.h"

#include <process.h>

#include <cstdlib>
#include <utility>

#include "common/ExCommon.h"
#include "common/OpenSecurityAttributes.h"
#include "log/Logger.h"
#include "service/CntrlSrv.h"

WinServiceBase* WinServiceBase::s_service = nullptr;
SRWLOCK WinServiceBase::s_serviceLock = SRWLOCK_INIT;

namespace {

// Holds a critical section for the lifetime of a scope.
class LockGuard {
 public:
  explicit LockGuard(CRITICAL_SECTION& lock) : lock_(lock) { ::EnterCriticalSection(&lock_); }
  ~LockGuard() { ::LeaveCriticalSection(&lock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  CRITICAL_SECTION& lock_;
};

// Sets the process-wide service pointer under its lock; `only` (when not null) limits
// the change to a pointer that still names that object.
void SetServicePointer(WinServiceBase** pointer, SRWLOCK* lock, WinServiceBase* value,
                       WinServiceBase* only = nullptr) {
  ::AcquireSRWLockExclusive(lock);
  if (only == nullptr || *pointer == only) *pointer = value;
  ::ReleaseSRWLockExclusive(lock);
}

int GleIfFailed(bool ok) { return ok ? 0 : static_cast<int>(::GetLastError()); }

int LevelFor(bool ok) { return ok ? LogLevel::Always : LogLevel::Error; }

constexpr DWORD kInvalidArgument = 0x80070057;  // E_INVALIDARG
constexpr DWORD kStopRequestThreadWaitMs = 5000;
constexpr int kStoppableChecks = 20;
constexpr DWORD kStoppableCheckPauseMs = 250;
// What the service-main thread still does after its stopped report is to log a line and
// return; this bounds the wait for it should it hang all the same.
constexpr DWORD kServiceMainEndWaitMs = 10000;

}  // namespace

// The reporter's parameters; the reporter frees the block and closes its event copy.
struct WinServiceBase::ReporterBlock {
  WinServiceBase* service;
  HANDLE reporterEvent;  // the thread's own duplicate of the object's reporter event
  DWORD pendingState;
};

WinServiceBase::WinServiceBase(const std::wstring& serviceName, bool canStop, bool canPause,
                               bool canShutDown, bool supportShutdownEvents) {
  Logger::Instance().Log(
      LogLevel::Always,
      L"WinServiceBase::WinServiceBase: srvName:%s, canStop:%d, canPause:%d, canShutDown:%d, "
      L"supportShutdownEvents:%d",
      serviceName.c_str(), canStop ? 1 : 0, canPause ? 1 : 0, canShutDown ? 1 : 0,
      supportShutdownEvents ? 1 : 0);
  ::InitializeCriticalSection(&m_statusLock);
  m_lockInitialised = true;
  ::InitializeCriticalSection(&m_reporterLock);
  ::InitializeCriticalSection(&m_startStopLock);
  m_stopping = false;
  SetServicePointer(&s_service, &s_serviceLock, nullptr);
  m_serviceName = serviceName;
  m_waitHint = 3000;
  m_hStopEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));

  m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_status.dwCurrentState = SERVICE_START_PENDING;
  DWORD accepted = SERVICE_ACCEPT_SESSIONCHANGE;
  if (canStop) accepted |= SERVICE_ACCEPT_STOP;
  if (canPause) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
  if (canShutDown) accepted |= SERVICE_ACCEPT_PRESHUTDOWN;
  if (supportShutdownEvents) accepted |= SERVICE_ACCEPT_POWEREVENT;
  m_status.dwControlsAccepted = accepted;
  m_status.dwWin32ExitCode = 0;
  m_status.dwServiceSpecificExitCode = 0;
  m_status.dwCheckPoint = 0;
  m_status.dwWaitHint = 0;
}

WinServiceBase::~WinServiceBase() {
  // Normally both threads have ended by now; a service object destroyed early must not
  // leave a thread behind that still uses it.
  SetServicePointer(&s_service, &s_serviceLock, nullptr, this);
  m_stopping = true;
  EndStatusReporter();
  EndStopRequestThread(INFINITE);
  ::DeleteCriticalSection(&m_startStopLock);
  ::DeleteCriticalSection(&m_reporterLock);
  if (m_lockInitialised) {
    ::DeleteCriticalSection(&m_statusLock);
    m_lockInitialised = false;
  }
}

bool WinServiceBase::Run(WinServiceBase* service) {
  if (service == nullptr) return false;
  SetServicePointer(&s_service, &s_serviceLock, service);
  SERVICE_TABLE_ENTRYW table[] = {
      {&service->m_serviceName[0], &WinServiceBase::ServiceMain},
      {nullptr, nullptr},
  };
  if (!::StartServiceCtrlDispatcherW(table)) return false;
  service->AwaitServiceMainEnd();
  return true;
}

void WinServiceBase::AwaitServiceMainEnd() {
  // A control that the dispatcher hands over late finds no object; one under way is
  // waited for.
  SetServicePointer(&s_service, &s_serviceLock, nullptr, this);
  UniqueKernelHandle thread;
  {
    LockGuard lock(m_statusLock);
    thread = std::move(m_hServiceMainThread);
  }
  if (!thread) return;
  const DWORD waited = ::WaitForSingleObject(thread.get(), kServiceMainEndWaitMs);
  if (waited != WAIT_OBJECT_0) {
    Logger::Instance().Log(LogLevel::Warn, L"WinServiceBase::Run - Service %s: the service main did not end, dwRes:%d",
                           m_serviceName.c_str(), static_cast<int>(waited));
  }
}

bool WinServiceBase::Install(const std::wstring& executablePath, const std::wstring& serviceName,
                             const std::wstring& description, const std::wstring& displayName,
                             DWORD startType, const std::wstring& account,
                             const std::wstring& password) {
  return CNTRLSRV::InstallService(executablePath, serviceName, displayName, description, startType,
                                  account, password);
}

void WinServiceBase::Uninstall(const std::wstring& serviceName) {
  if (!CNTRLSRV::CanStopService(serviceName)) {
    Logger::Instance().Log(LogLevel::Warn, L"WinServiceBase::Uninstall - Service %s is Non stoppable.",
                           serviceName.c_str());
    ExCommon::RequestServiceStopSupport(serviceName, L"WinServiceBase::Uninstall", 60000);
  }
  CNTRLSRV::StopTheService(serviceName.c_str(), true, 30);
  CNTRLSRV::UninstallService(serviceName);
}

void WINAPI WinServiceBase::ServiceMain(DWORD argc, LPWSTR* argv) {
  ::AcquireSRWLockShared(&s_serviceLock);
  WinServiceBase* self = s_service;
  ::ReleaseSRWLockShared(&s_serviceLock);
  if (self == nullptr) return;
  SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerExW(self->m_serviceName.c_str(), &WinServiceBase::ServiceCtrlHandler, nullptr);
  if (handle == nullptr) {
    const DWORD error = ::GetLastError();
    Logger::Instance().Log(LogLevel::Fatal,
                           L"WinServiceBase::ServiceMain - RegisterServiceCtrlHandlerEx %s Failed , gle = %d",
                           self->m_serviceName.c_str(), static_cast<int>(error));
    std::exit(static_cast<int>(error));
  }
  HANDLE thread = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE,
                    0);
  {
    LockGuard lock(self->m_statusLock);
    self->m_statusHandle = handle;
    self->m_hServiceMainThread.reset(thread);
  }
  self->OnStart(argc, argv);
}

DWORD WINAPI WinServiceBase::ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData,
                                                LPVOID context) {
  Logger& log = Logger::Instance();
  log.Log(LogLevel::Always, L"(**) WinServiceBase::ServiceCtrlHandler : Control = %d, dwEventType:%d",
          static_cast<int>(control), static_cast<int>(eventType));
  ::AcquireSRWLockShared(&s_serviceLock);
  WinServiceBase* self = s_service;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      log.Log(LogLevel::Always, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_STOP request.");
      if (self != nullptr) self->OnStop();
      break;
    case SERVICE_CONTROL_PAUSE:
      log.Log(LogLevel::Always, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_PAUSE request.");
      if (self != nullptr) self->OnServicePause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      log.Log(LogLevel::Always, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_CONTINUE request.");
      if (self != nullptr) self->OnServiceContinue();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      log.Log(LogLevel::Always, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_INTERROGATE request, ");
      // The state as it stands: running once the service runs, the pending state while it
      // starts or stops.
      if (self != nullptr) self->ReportCurrentStatus();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      log.Log(LogLevel::Always, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_SHUTDOWN request.");
      if (self != nullptr) self->OnStop();
      break;
    case SERVICE_CONTROL_POWEREVENT:
      log.Log(LogLevel::Always, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_POWEREVENT request, ");
      if (self != nullptr) self->OnServicePowerEvent(eventType, eventData);
      break;
    case SERVICE_CONTROL_SESSIONCHANGE:
      log.Log(LogLevel::Always, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_SESSIONCHANGE request, ");
      if (self != nullptr) self->OnServiceSessionChange(eventType, eventData);
      break;
    case SERVICE_CONTROL_PRESHUTDOWN:
      log.Log(LogLevel::Always, L"\t(**) ServiceCtrlHandler :SERVICE_CONTROL_PRESHUTDOWN request.");
      if (self != nullptr) self->OnStop();
      break;
    default:
      log.Log(LogLevel::Warn, L"\t(**) ServiceCtrlHandler :Unsupported request.");
      break;
  }
  ::ReleaseSRWLockShared(&s_serviceLock);
  return NO_ERROR;
}

bool WinServiceBase::OnStart(DWORD argc, LPWSTR* argv) {
  Logger& log = Logger::Instance();
  StartStatusReporter(SERVICE_START_PENDING);

  {
    LockGuard lock(m_statusLock);
    if ((m_status.dwControlsAccepted & SERVICE_ACCEPT_STOP) == 0) {
      log.Log(LogLevel::Warn, L"WinServiceBase::OnStart - Service %s is Non stoppable.",
              m_serviceName.c_str());
      const std::wstring eventName = ExCommon::GetStopRequestEventName();
      m_hStopRequestEvent.reset(::CreateEventW(GetOpenSecurityAttributes(), FALSE, FALSE, eventName.c_str()));
      m_hStopRequestThread.reset(reinterpret_cast<HANDLE>(
          _beginthreadex(nullptr, 0, &WinServiceBase::allowStopRequestThread, this, 0, nullptr)));
      // Without a listener the event would only answer requesters with their own signal.
      if (!m_hStopRequestThread) m_hStopRequestEvent.reset();
    }
  }

  bool started = false;
  {
    LockGuard startStop(m_startStopLock);
    if (!m_stopRequested) {
      started = OnServiceStart(argc, argv);
    } else {
      // The stop came first (and has run): starting now would leave the work running.
      log.Log(LogLevel::Warn, L"WinServiceBase::OnStart - Service %s was stopped before its start.",
              m_serviceName.c_str());
    }
  }
  EndStatusReporter(SERVICE_START_PENDING);
  if (!m_stopRequested) {
    SetStatus(SERVICE_RUNNING);
    log.Log(LogLevel::Always, L"WinServiceBase::OnStart - Service %s is running...", m_serviceName.c_str());
  } else {
    // Running would tell a caller that waits for the stop that the stop failed.
    log.Log(LogLevel::Warn, L"WinServiceBase::OnStart - Service %s is stopping, running not reported.",
            m_serviceName.c_str());
  }

  const DWORD waitResult = ::WaitForSingleObject(m_hStopEvent.get(), INFINITE);
  log.Log(LogLevel::Always, L"WinServiceBase::OnStart - Service %s was signaled to stop, dwRes:%d.",
          m_serviceName.c_str(), static_cast<int>(waitResult));

  if (m_hStopRequestThread) {
    log.Log(LogLevel::Always, L"WinServiceBase::StopAllowStopRequestThread - Invoked, service name:%s ",
            m_serviceName.c_str());
    EndStopRequestThread(kStopRequestThreadWaitMs);
  }

  SetStatus(SERVICE_STOPPED);
  log.Log(LogLevel::Always, L"WinServiceBase::OnStart - Finally: Service %s stopped.", m_serviceName.c_str());
  return started;
}

bool WinServiceBase::OnStop() {
  Logger& log = Logger::Instance();
  log.Log(LogLevel::Always, L"\t\t\tWinServiceBase::OnStop - Invoked, service name:%s", m_serviceName.c_str());
  if (m_stopRequested.exchange(true)) {
    // STOP, SHUTDOWN and PRESHUTDOWN may all arrive; the concrete stop runs once.
    log.Log(LogLevel::Warn, L"\t\t\tWinServiceBase::OnStop - Stop already requested, service name:%s",
            m_serviceName.c_str());
    return true;
  }
  StartStatusReporter(SERVICE_STOP_PENDING);
  bool stopped = false;
  {
    LockGuard startStop(m_startStopLock);  // a start under way ends first
    stopped = OnServiceStop();
  }
  m_stopping = true;
  EndStatusReporter(SERVICE_STOP_PENDING);
  const bool released = ::SetEvent(m_hStopEvent.get()) != FALSE;
  return stopped && released;
}

bool WinServiceBase::SetStatus(DWORD state) {
  bool ok = false;
  int gle = 0;
  {
    LockGuard lock(m_statusLock);
    m_status.dwCurrentState = state;
    m_status.dwCheckPoint = 0;
    ok = ReportStatusLocked();
    gle = GleIfFailed(ok);
    if (ok && state == SERVICE_STOPPED) m_stoppedReported = true;
  }
  Logger::Instance().Log(LevelFor(ok), L"SetServiceStatus invoked with %d, gle=%d", static_cast<int>(state), gle);
  return ok;
}

bool WinServiceBase::ReportCurrentStatus() {
  bool ok = false;
  int gle = 0;
  DWORD state = 0;
  {
    LockGuard lock(m_statusLock);
    state = m_status.dwCurrentState;
    ok = ReportStatusLocked();
    gle = GleIfFailed(ok);
  }
  Logger::Instance().Log(LevelFor(ok), L"SetServiceStatus invoked with %d, gle=%d", static_cast<int>(state), gle);
  return ok;
}

bool WinServiceBase::ReportStatusLocked() {
  if (m_stoppedReported) {
    ::SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return false;
  }
  if (m_statusHandle == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::SetServiceStatus(m_statusHandle, &m_status) != FALSE;
}

bool WinServiceBase::StartStatusReporter(DWORD pendingState) {
  LockGuard lock(m_reporterLock);
  // A start that comes after a stop was asked for reports no start pending over it.
  if (pendingState == SERVICE_START_PENDING && m_stopRequested) return false;
  // One reporter at a time: a pending state that follows another (a stop during the
  // start, a second stop) takes over from the reporter that still runs.
  if (m_hReporterThread) {
    ::SetEvent(m_hReporterEvent.get());
    ::WaitForSingleObject(m_hReporterThread.get(), INFINITE);
    m_hReporterThread.reset();
    m_hReporterEvent.reset();
    m_reporterState = 0;
  }

  UniqueKernelHandle reporterEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  HANDLE threadCopy = nullptr;
  if (!reporterEvent || !::DuplicateHandle(::GetCurrentProcess(), reporterEvent.get(), ::GetCurrentProcess(),
                                           &threadCopy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  ReporterBlock* block = new ReporterBlock{this, threadCopy, pendingState};
  UniqueKernelHandle thread(reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, &WinServiceBase::ServiceStatusReporterThread, block, 0, nullptr)));
  if (!thread) {
    ::CloseHandle(threadCopy);
    delete block;
    return false;
  }
  m_hReporterEvent = std::move(reporterEvent);
  m_hReporterThread = std::move(thread);
  m_reporterState = pendingState;
  return true;
}

void WinServiceBase::EndStatusReporter(DWORD pendingState) {
  LockGuard lock(m_reporterLock);
  if (!m_hReporterThread) return;
  if (pendingState != 0 && pendingState != m_reporterState) return;
  ::SetEvent(m_hReporterEvent.get());
  ::WaitForSingleObject(m_hReporterThread.get(), INFINITE);
  m_hReporterThread.reset();
  m_hReporterEvent.reset();
  m_reporterState = 0;
}

unsigned __stdcall WinServiceBase::ServiceStatusReporterThread(void* parameter) {
  Logger& log = Logger::Instance();
  log.Log(LogLevel::Always, L"\tServiceStatusReporterThread started...");
  ReporterBlock* block = static_cast<ReporterBlock*>(parameter);
  if (block == nullptr) return kInvalidArgument;
  WinServiceBase* self = block->service;
  const DWORD pending = block->pendingState;

  self->SetStatus(pending);

  bool ok = false;
  int gle = 0;
  DWORD checkPoint = 0;
  {
    LockGuard lock(self->m_statusLock);
    ++self->m_status.dwCheckPoint;
    self->m_status.dwWaitHint = self->m_waitHint;
    ok = self->ReportStatusLocked();
    gle = GleIfFailed(ok);
    checkPoint = ++self->m_status.dwCheckPoint;
  }
  log.Log(LevelFor(ok), L"SetServiceHintTime invoked with %d, dwCheckPoint:%d, gle=%d",
          static_cast<int>(self->m_waitHint), static_cast<int>(checkPoint), gle);

  while (!self->m_stopping) {
    const DWORD waitResult = ::WaitForSingleObject(block->reporterEvent, 1000);
    if (waitResult == WAIT_OBJECT_0) break;
    if (waitResult == WAIT_FAILED) {
      // A broken event would turn the loop into a busy one; the owner ends the thread
      // through the event only, so there is nothing left to wait for.
      break;
    }
    {
      LockGuard lock(self->m_statusLock);
      checkPoint = ++self->m_status.dwCheckPoint;
      self->m_status.dwCurrentState = pending;
      ok = self->ReportStatusLocked();
      gle = GleIfFailed(ok);
    }
    log.Log(LevelFor(ok), L"SetServiceStillPending invoked with %d, dwCheckPoint:%d...gle=%d",
            static_cast<int>(pending), static_cast<int>(checkPoint), gle);
  }

  ::CloseHandle(block->reporterEvent);
  delete block;
  log.Log(LogLevel::Always, L"\tServiceStatusReporterThread - Terminated.");
  return 0;
}

void WinServiceBase::EndStopRequestThread(DWORD waitMs) {
  if (!m_hStopRequestThread) return;
  {
    LockGuard lock(m_statusLock);
    // Still waiting for a request: wake it; it finds stopping set and ends.
    if (m_hStopRequestEvent) ::SetEvent(m_hStopRequestEvent.get());
  }
  if (::WaitForSingleObject(m_hStopRequestThread.get(), waitMs) != WAIT_OBJECT_0) {
    // Still making the service stoppable: the thread keeps its event (it closes it
    // itself) and the destructor waits for it.
    return;
  }
  LockGuard lock(m_statusLock);
  m_hStopRequestEvent.reset();
  m_hStopRequestThread.reset();
}

unsigned __stdcall WinServiceBase::allowStopRequestThread(void* parameter) {
  Logger& log = Logger::Instance();
  log.Log(LogLevel::Always, L"\tallowStopRequestThread started...");
  WinServiceBase* self = static_cast<WinServiceBase*>(parameter);
  HANDLE requestEvent = nullptr;
  if (self != nullptr) {
    LockGuard lock(self->m_statusLock);
    requestEvent = self->m_hStopRequestEvent.get();
  }
  if (requestEvent == nullptr) {
    log.Log(LogLevel::Error, L"\tAllowStopRequestThread Invalid Arguments.");
    ExCommon::SetNamedEvent(ExCommon::GetStopRequestEventName(), L"ListenerThread");
    return ERROR_BAD_ARGUMENTS;
  }

  // The event stays open while this thread waits: only this thread closes it, or the
  // owner once this thread has ended.
  const DWORD waitResult = ::WaitForSingleObject(requestEvent, INFINITE);
  {
    LockGuard lock(self->m_statusLock);
    self->m_hStopRequestEvent.reset();
  }
  log.Log(LogLevel::Always, L"\t\t\tAllowStopRequestThread signaled , %d", static_cast<int>(waitResult));
  if (self->m_stopping) return 0;

  const std::wstring& name = self->m_serviceName;
  if (CNTRLSRV::IsProtectedService(name)) {
    log.Log(LogLevel::Always, L"\tallowStopRequestThread - This is a protected service.");
    if (!CNTRLSRV::SetAsUnProtectedService(name)) {
      log.Log(LogLevel::Error, L"\tallowStopRequestThread - SetAsUnProtectedService failed ,gle = %d",
              static_cast<int>(::GetLastError()));
    }
  } else {
    log.Log(LogLevel::Always, L"\tallowStopRequestThread - This is not a protected service.");
  }

  bool ok = false;
  int gle = 0;
  {
    LockGuard lock(self->m_statusLock);
    self->m_status.dwControlsAccepted |= SERVICE_ACCEPT_STOP;
    ok = self->ReportStatusLocked();
    gle = GleIfFailed(ok);
  }
  log.Log(LevelFor(ok), L"\tallowStopRequestThread - SetServiceStatus invoked with SERVICE_ACCEPT_STOP, gle=%d", gle);

  for (int check = 0; check < kStoppableChecks && !self->m_stopping; ++check) {
    const bool unprotected = !CNTRLSRV::IsProtectedService(name);
    const bool canStop = CNTRLSRV::CanStopService(name);
    if (unprotected && canStop) {
      log.Log(LogLevel::Always,
              L"\tallowStopRequestThread service is now updated with SERVICE_ACCEPT_STOP/Unprotected...");
      break;
    }
    log.Log(LogLevel::Warn,
            L"\tallowStopRequestThread service is still not ready to stop, bUnprotected:%d, bCanStop:%d, ...",
            unprotected ? 1 : 0, canStop ? 1 : 0);
    ::Sleep(kStoppableCheckPauseMs);
  }

  // Answers the requester, which still holds the event open and waits on it.
  ExCommon::SetNamedEvent(ExCommon::GetStopRequestEventName(), L"allowStopRequestThread");
  log.Log(LogLevel::Always, L"\tallowStopRequestThread terminated.");
  return 0;
}
