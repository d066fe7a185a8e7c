// A service built on WinServiceBase whose start and stop take the times it is given and
// that reports every call of the framework to its event report.
#pragma once

#include "ServiceMainHold.h"
#include "TestServiceOptions.h"
#include "service/WinServiceBase.h"

class TestService : public WinServiceBase {
 public:
  explicit TestService(const TestServiceOptions& options);

  bool OnServiceStart(DWORD argc, LPWSTR* argv) override;
  bool OnServiceStop() override;
  bool OnServicePause() override;
  bool OnServiceContinue() override;
  bool OnServicePowerEvent(DWORD eventType, LPVOID eventData) override;
  bool OnServiceSessionChange(DWORD eventType, LPVOID eventData) override;

  // Whether the service-main thread (the one that called OnServiceStart) has ended.
  bool ServiceMainEnded() const { return m_hold.ServiceMainEnded(); }

 private:
  DWORD m_startDelayMs;
  DWORD m_stopDelayMs;
  ServiceMainHold m_hold;
};
