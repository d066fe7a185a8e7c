// The service worker's three settings events as another program of the suite sees them:
// setting them, and reading the worker's acceptance lines back from the service's log.
//
// The worker takes the lowest set event first and handles one at a time, logging its
// acceptance line before it asks the plug-in for its status. So once a plug-in's
// acceptance line has been read after its settings were written, the worker will bring
// that plug-in to those settings; and an acceptance line of the identities event read
// after that says the worker has finished with it (Settle).
#pragma once

#include <windows.h>

#include <string>

#include "LogTail.h"

namespace campaign {

enum class SettingsEvent { Hearth = 0, Identities = 1, Malware = 2 };
constexpr int kSettingsEventCount = 3;

// "Global\HEARTH_RELOAD_NEWSETTINGS_EVENT", ...
const wchar_t* SettingsEventName(SettingsEvent event);
// The worker's line when it takes the event.
const wchar_t* AcceptanceLine(SettingsEvent event);
// Opens the named event and sets it; false when it does not exist.
bool SetSettingsEvent(SettingsEvent event);

// Follows the lines of one process of the service in its log from the moment it is made
// (across a move of the full log to an archive) and counts them.
class WorkerLog {
 public:
  explicit WorkerLog(DWORD pid);

  // Reads the lines written since the last call.
  void Poll();
  // Polls until `count` acceptance lines of `event` have been read in all; false after `timeoutMs`.
  bool WaitForAccepted(SettingsEvent event, size_t count, DWORD timeoutMs);
  // Sets the Hearth and malware events, waits for their acceptance, then sets the
  // identities event and waits for its acceptance: on success the worker has handled
  // both plug-ins with the settings they had when this was called. False (and why)
  // when a line did not come within `timeoutMs` in all.
  bool Settle(DWORD timeoutMs, std::string* why);

  size_t accepted(SettingsEvent event) const { return accepted_[static_cast<int>(event)]; }
  size_t lines() const { return lines_; }
  // Lines of level Error or Fatal, and the first of them.
  size_t errors() const { return errors_; }
  const std::wstring& firstError() const { return firstError_; }
  // How many times the log was moved aside while followed.
  unsigned moves() const { return tail_.moves(); }

 private:
  DWORD pid_;
  LogTail tail_;
  size_t accepted_[kSettingsEventCount] = {};
  size_t lines_ = 0;
  size_t errors_ = 0;
  std::wstring firstError_;
};

}  // namespace campaign
