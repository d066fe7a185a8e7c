// Hands controls to the service's own control handler from inside the process: one
// named event per control ("<prefix>_<code>"); a thread waits on them and calls
// WinServiceBase::ServiceCtrlHandler with the control whose event was set. Lets a test
// deliver controls that the control manager does not send on request (shutdown).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/UniqueHandle.h"

class ControlInjector {
 public:
  // Nothing is created for an empty prefix.
  explicit ControlInjector(const std::wstring& prefix);
  // Ends the thread.
  ~ControlInjector();
  ControlInjector(const ControlInjector&) = delete;
  ControlInjector& operator=(const ControlInjector&) = delete;

 private:
  static unsigned __stdcall Thread(void* parameter);

  std::vector<UniqueKernelHandle> m_events;  // one per injectable control, then the quit event
  std::vector<DWORD> m_controls;
  UniqueKernelHandle m_hThread;
};
