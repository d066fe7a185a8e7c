#include "ServiceMainHold.h"

#include <process.h>

#include "EventReport.h"

ServiceMainHold::ServiceMainHold(const std::wstring& serviceName, DWORD holdMs)
    : m_serviceName(serviceName), m_holdMs(holdMs) {
  m_hQuit.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_hStopBegun.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

ServiceMainHold::~ServiceMainHold() {
  if (!m_hWatcher) return;
  ::SetEvent(m_hQuit.get());
  ::WaitForSingleObject(m_hWatcher.get(), INFINITE);
}

void ServiceMainHold::SetServiceMainThread() {
  if (m_hServiceMain) return;
  HANDLE self = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return;
  }
  m_hServiceMain.reset(self);
  if (m_holdMs == 0) return;
  m_hWatcher.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ServiceMainHold::Watcher, this, 0, nullptr)));
}

void ServiceMainHold::StopBegun() {
  if (m_hStopBegun) ::SetEvent(m_hStopBegun.get());
}

bool ServiceMainHold::ServiceMainEnded() const {
  return m_hServiceMain && ::WaitForSingleObject(m_hServiceMain.get(), 0) == WAIT_OBJECT_0;
}

unsigned __stdcall ServiceMainHold::Watcher(void* parameter) {
  ServiceMainHold* self = static_cast<ServiceMainHold*>(parameter);
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(
      manager ? ::OpenServiceW(manager.get(), self->m_serviceName.c_str(), SERVICE_QUERY_STATUS) : nullptr);
  if (!service) return 1;
  const HANDLE begun[] = {self->m_hQuit.get(), self->m_hStopBegun.get()};
  if (::WaitForMultipleObjects(2, begun, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return 0;
  // Polls as fast as the control manager answers: the moment between the stopped
  // report and the end of the service-main thread is short.
  for (;;) {
    if (::WaitForSingleObject(self->m_hQuit.get(), 0) == WAIT_OBJECT_0) return 0;
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.get(), &status)) return 1;
    if (status.dwCurrentState != SERVICE_STOPPED) continue;
    if (::SuspendThread(self->m_hServiceMain.get()) == static_cast<DWORD>(-1)) return 1;
    // Nothing that may allocate while the thread is held: it may hold the heap's lock.
    const bool running = !self->ServiceMainEnded();
    ::WaitForSingleObject(self->m_hQuit.get(), self->m_holdMs);
    ::ResumeThread(self->m_hServiceMain.get());
    EventReport::Line(std::string("held service-main running=") + (running ? "1" : "0"));
    return 0;
  }
}
