// Ctrl+C for a benchmark that changes the machine (installs services, sets registry
// values): the interrupt is taken over, so that the benchmark stops measuring and puts
// everything back through its usual clean-up, instead of ending with its services
// installed. Closing the console waits (a bounded time) for that clean-up.
#pragma once

#include <windows.h>

namespace bench {

namespace interrupt_detail {
inline HANDLE& InterruptedEvent() {
  static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}
inline HANDLE& CleanedUpEvent() {
  static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}
inline BOOL WINAPI OnConsoleControl(DWORD type) {
  ::SetEvent(InterruptedEvent());
  // The process ends when the handler returns from these: let the clean-up finish.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    ::WaitForSingleObject(CleanedUpEvent(), 20000);
  }
  return TRUE;
}
}  // namespace interrupt_detail

// Takes over Ctrl+C, Ctrl+Break and the console's close for this process.
inline void HandleInterrupts() {
  interrupt_detail::InterruptedEvent();
  interrupt_detail::CleanedUpEvent();
  ::SetConsoleCtrlHandler(&interrupt_detail::OnConsoleControl, TRUE);
}

inline bool Interrupted() { return ::WaitForSingleObject(interrupt_detail::InterruptedEvent(), 0) == WAIT_OBJECT_0; }

// Sleeps `ms`; false when interrupted meanwhile.
inline bool SleepUnlessInterrupted(DWORD ms) {
  return ::WaitForSingleObject(interrupt_detail::InterruptedEvent(), ms) != WAIT_OBJECT_0;
}

// Tells a console close that the clean-up is done.
inline void CleanedUp() { ::SetEvent(interrupt_detail::CleanedUpEvent()); }

}  // namespace bench
