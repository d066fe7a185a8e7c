// What the campaign reads of another process: its handle count, private bytes and
// working set, and which processes of a program are running.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace campaign {

// The number of handles that process `pid` holds; -1 when it cannot be read.
// (GetProcessHandleCount where the system answers it, the system's handle table where it
// answers 0 as Wine does.)
long long ProcessHandleCount(DWORD pid);
// Committed private memory of the process in bytes; -1 when it cannot be read.
// (PrivateUsage where the system fills it, else the committed private regions.)
long long ProcessPrivateBytes(DWORD pid);
// Working set in bytes; -1 when it cannot be read.
long long ProcessWorkingSet(DWORD pid);
// The value of environment variable `name` (any case) in process `pid` as it stands now,
// read from the process's own environment block; false when it cannot be read or the
// variable is not set.
bool ProcessEnvironmentVariable(DWORD pid, const std::wstring& name, std::wstring* value);
// Ids of the running processes whose executable file name is `exeName` (any case).
std::vector<DWORD> ProcessesNamed(const std::wstring& exeName);

// The handle probe read on a helper process before and after it opened a known number
// of handles: a probe that does not see them come (a count that never moves, or the
// handles of another process) must not be believed when it reads a flat count.
struct HandleProbeCalibration {
  long long opened = 0;  // handles the helper opened between the two readings
  long long before = -1;
  long long after = -1;
  std::string failure;  // empty when the probe read the handles added, and no more than a few others

  // e.g. "+64 read for 64 handles opened in a helper (31 -> 95)"
  std::string Describe() const;
};
HandleProbeCalibration CalibrateHandleProbe();

}  // namespace campaign
