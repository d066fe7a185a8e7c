#include "ProcessProbe.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

#include "common/UniqueHandle.h"

namespace campaign {
namespace {

// The system's handle table (SystemExtendedHandleInformation), as ntdll returns it.
struct HandleEntry {
  void* object;
  ULONG_PTR processId;
  ULONG_PTR handle;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

long long HandlesInSystemTable(DWORD pid) {
  const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(1 << 20);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const LONG status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                              &needed);
    if (status == 0) {
      const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
      const size_t room = (buffer.size() - offsetof(HandleTable, entries)) / sizeof(HandleEntry);
      long long count = 0;
      for (ULONG_PTR i = 0; i < table->count && i < room; ++i) count += table->entries[i].processId == pid ? 1 : 0;
      return count;
    }
    buffer.resize(std::max<size_t>(buffer.size() * 2, static_cast<size_t>(needed) + 65536));
  }
  return -1;
}

}  // namespace

long long ProcessHandleCount(DWORD pid) {
  UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  DWORD count = 0;
  if (process && ::GetProcessHandleCount(process.get(), &count) && count != 0) return count;
  return HandlesInSystemTable(pid);
}

long long ProcessPrivateBytes(DWORD pid) {
  UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process) return -1;
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (::GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters)) &&
      counters.PrivateUsage != 0) {
    return static_cast<long long>(counters.PrivateUsage);
  }
  long long total = 0;
  MEMORY_BASIC_INFORMATION region = {};
  for (const unsigned char* address = nullptr;
       ::VirtualQueryEx(process.get(), address, &region, sizeof(region)) == sizeof(region);
       address = static_cast<const unsigned char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += static_cast<long long>(region.RegionSize);
    if (region.RegionSize == 0) break;
  }
  return total;
}

long long ProcessWorkingSet(DWORD pid) {
  UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  PROCESS_MEMORY_COUNTERS counters = {};
  if (!process || !::GetProcessMemoryInfo(process.get(), &counters, sizeof(counters))) return -1;
  return static_cast<long long>(counters.WorkingSetSize);
}

std::vector<DWORD> ProcessesNamed(const std::wstring& exeName) {
  std::vector<DWORD> pids;
  UniqueKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return pids;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (::lstrcmpiW(entry.szExeFile, exeName.c_str()) == 0) pids.push_back(entry.th32ProcessID);
  }
  return pids;
}

}  // namespace campaign
