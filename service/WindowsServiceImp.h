// The service SentrelSrv: the service framework bound to the filter core.
#pragma once

#include <windows.h>

#include "service/WinServiceBase.h"

class WindowsServiceImp : public WinServiceBase {
 public:
  // "SentrelSrv": stoppable, not pausable, stops on pre-shutdown, no power events.
  WindowsServiceImp();

  // Starts the filter core.
  bool OnServiceStart(DWORD argc, LPWSTR* argv) override;
  // Stops the filter core and waits at most 5000 ms for its worker; true when there was
  // no worker or it ended in time.
  bool OnServiceStop() override;
  bool OnServicePause() override;
  bool OnServiceContinue() override;
  bool OnServicePowerEvent(DWORD eventType, LPVOID eventData) override;
  bool OnServiceSessionChange(DWORD eventType, LPVOID eventData) override;
};
