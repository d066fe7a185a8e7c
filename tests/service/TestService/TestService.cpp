#include "TestService.h"

#include <string>

#include "EventReport.h"

namespace {
std::string ThreadField() { return " thread=" + std::to_string(::GetCurrentThreadId()); }
}  // namespace

TestService::TestService(const TestServiceOptions& options)
    : WinServiceBase(options.serviceName, options.canStop, options.canPause, options.canShutDown,
                     options.supportShutdownEvents),
      m_startDelayMs(options.startDelayMs),
      m_stopDelayMs(options.stopDelayMs),
      m_hold(options.serviceName, options.holdServiceMainMs) {}

bool TestService::OnServiceStart(DWORD argc, LPWSTR* argv) {
  EventReport::Line("start-begin" + ThreadField() + " argc=" + std::to_string(argc));
  m_hold.SetServiceMainThread();
  ::Sleep(m_startDelayMs);
  EventReport::Line("start-end");
  return true;
}

bool TestService::OnServiceStop() {
  EventReport::Line("stop-begin" + ThreadField());
  m_hold.StopBegun();
  ::Sleep(m_stopDelayMs);
  EventReport::Line("stop-end");
  return true;
}

bool TestService::OnServicePause() {
  EventReport::Line("pause" + ThreadField());
  return true;
}

bool TestService::OnServiceContinue() {
  EventReport::Line("continue" + ThreadField());
  return true;
}

bool TestService::OnServicePowerEvent(DWORD eventType, LPVOID) {
  EventReport::Line("power type=" + std::to_string(eventType));
  return true;
}

bool TestService::OnServiceSessionChange(DWORD eventType, LPVOID) {
  EventReport::Line("session type=" + std::to_string(eventType));
  return true;
}
