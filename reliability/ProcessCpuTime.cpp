#include "ProcessCpuTime.h"

#include <vector>

#include "common/UniqueHandle.h"

namespace campaign {
namespace {

// The head of one entry of the system's process table, as ntdll lays it out.
struct ProcessEntryHead {
  ULONG nextEntryOffset;
  ULONG numberOfThreads;
  LARGE_INTEGER workingSetPrivateSize;
  ULONG hardFaultCount;
  ULONG numberOfThreadsHighWatermark;
  ULONGLONG cycleTime;
  LARGE_INTEGER createTime;
  LARGE_INTEGER userTime;
  LARGE_INTEGER kernelTime;
  USHORT nameLength;
  USHORT nameMaximumLength;
  PWSTR nameBuffer;
  LONG basePriority;
  HANDLE uniqueProcessId;
};
constexpr ULONG kSystemProcessInformation = 5;
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

long long Milliseconds(ULONGLONG hundredNanoseconds) { return static_cast<long long>(hundredNanoseconds / 10000); }

long long FromProcessTable(DWORD pid) {
  const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(256 * 1024);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const LONG status = query(kSystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status != 0) {
      buffer.resize(buffer.size() * 2 > needed + 65536 ? buffer.size() * 2 : needed + 65536);
      continue;
    }
    for (size_t offset = 0; offset + sizeof(ProcessEntryHead) <= buffer.size();) {
      const auto* entry = reinterpret_cast<const ProcessEntryHead*>(buffer.data() + offset);
      if (static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->uniqueProcessId)) == pid) {
        return Milliseconds(static_cast<ULONGLONG>(entry->userTime.QuadPart) +
                            static_cast<ULONGLONG>(entry->kernelTime.QuadPart));
      }
      if (entry->nextEntryOffset == 0) break;
      offset += entry->nextEntryOffset;
    }
    return -1;
  }
  return -1;
}

ULONGLONG Ticks(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

CpuTimeReading ProcessCpuTime(DWORD pid) {
  CpuTimeReading reading;
  reading.milliseconds = FromProcessTable(pid);
  if (reading.milliseconds >= 0) {
    reading.source = "system process table";
    return reading;
  }
  UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  FILETIME created = {}, exited = {}, kernel = {}, user = {};
  if (process && ::GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) {
    reading.milliseconds = Milliseconds(Ticks(kernel) + Ticks(user));
    reading.source = "GetProcessTimes";
    return reading;
  }
  reading.source = "unreadable";
  return reading;
}

}  // namespace campaign
