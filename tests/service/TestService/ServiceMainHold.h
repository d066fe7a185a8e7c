// Holds the service-main thread still for a while at the moment the control manager
// shows the service stopped: the framework may report stopped before its service-main
// thread has left the service object, and under load that thread can stay descheduled
// right there. Holding it makes that moment last, so that a test can tell whether Run
// returns (and the owner destroys the object) while the thread still runs.
#pragma once

#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"

class ServiceMainHold {
 public:
  // Nothing is held when `holdMs` is 0 (the thread is still told apart).
  ServiceMainHold(const std::wstring& serviceName, DWORD holdMs);
  // Ends the watcher (resuming the thread if it still holds it).
  ~ServiceMainHold();
  ServiceMainHold(const ServiceMainHold&) = delete;
  ServiceMainHold& operator=(const ServiceMainHold&) = delete;

  // Called on the service-main thread (from OnServiceStart): the thread to watch.
  void SetServiceMainThread();
  // Called when the stop begins: the watcher starts looking for the stopped report.
  void StopBegun();
  // Whether the service-main thread has ended (false when it was never set).
  bool ServiceMainEnded() const;

 private:
  static unsigned __stdcall Watcher(void* parameter);

  std::wstring m_serviceName;
  DWORD m_holdMs;
  UniqueKernelHandle m_hServiceMain;
  UniqueKernelHandle m_hQuit;
  UniqueKernelHandle m_hStopBegun;
  UniqueKernelHandle m_hWatcher;
};
