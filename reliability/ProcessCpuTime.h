// The processor time that another process has used so far, for telling an idle
// service from one that spins.
#pragma once

#include <windows.h>

namespace campaign {

struct CpuTimeReading {
  long long milliseconds = -1;  // user + kernel time of all its threads; -1 when unreadable
  const char* source = "";      // where the number came from, for the figures
};

// The times of the system's process table (NtQuerySystemInformation,
// SystemProcessInformation), and GetProcessTimes only where the table cannot be read.
// Under Wine GetProcessTimes counts only the threads that have ended (it answers 0 for
// a process whose threads all run), while the table sums the running threads too.
CpuTimeReading ProcessCpuTime(DWORD pid);

}  // namespace campaign
