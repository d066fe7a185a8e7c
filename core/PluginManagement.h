// The worker's decisions for one started plug-in (Hearth or Malware): ask whether it is
// available and what its protection status is, then start and notify it, or notify and
// stop it.
#pragma once

namespace SentrelCore {

// The host operations and the log lines of one managed plug-in.
struct ManagedPlugin {
  bool (*isAvailable)();
  unsigned char (*getProtectionStatus)();
  bool (*start)();
  void (*notifyChanges)();
  bool (*stop)();
  const wchar_t* manageLine;  // "-- Manage ... --"
  const wchar_t* onLine;      // "-- Start ... ON --"
  const wchar_t* offLine;     // "-- Stop ... OFF --"
};

const ManagedPlugin& MalwarePlugin();
const ManagedPlugin& HearthPlugin();

// Nothing when the plug-in is not available; otherwise start and notify it when its
// protection is on, notify and stop it when it is off. Results are not looked at: the
// host logs its own failures and the next event tries again.
void Manage(const ManagedPlugin& plugin);

}  // namespace SentrelCore
