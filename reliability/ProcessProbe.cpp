#include "ProcessProbe.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "ChildSignals.h"
#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"

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

constexpr long long kCalibrationHandles = 64;
// Handles the helper may gain or lose besides the ones it opens (none are expected: it
// holds its signals from the start and waits on them meanwhile).
constexpr long long kCalibrationSlack = 4;
constexpr DWORD kCalibrationWaitMs = 30000;

// Where the environment block's address lies: the process parameters' address in the
// process environment block, and the environment's in the process parameters.
#ifdef _WIN64
constexpr size_t kParametersInPeb = 0x20;
constexpr size_t kEnvironmentInParameters = 0x80;
#else
constexpr size_t kParametersInPeb = 0x10;
constexpr size_t kEnvironmentInParameters = 0x48;
#endif
constexpr SIZE_T kMaxEnvironmentBytes = 1 << 20;
struct BasicProcessInformation {
  LONG_PTR exitStatus;
  void* peb;
  ULONG_PTR affinityMask;
  LONG_PTR basePriority;
  ULONG_PTR processId;
  ULONG_PTR parentProcessId;
};
using QueryInformationProcess = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

bool ReadPointer(HANDLE process, const void* at, const void** value) {
  SIZE_T read = 0;
  return ::ReadProcessMemory(process, at, value, sizeof(*value), &read) && read == sizeof(*value) &&
         *value != nullptr;
}

std::wstring CalibrationSignal(const std::wstring& stem, const wchar_t* what) { return stem + L"_" + what; }
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

}  // namespace campaign

// args: handle count, signal stem. Raises <stem>_ready, waits for <stem>_open, opens that
// many event handles, raises <stem>_opened and holds them until <stem>_end.
SENTREL_CHILD(L"handle-probe-target", args) {
  using campaign::CalibrationSignal;
  if (args.size() != 2) return 2;
  const long long count = _wcstoi64(args[0].c_str(), nullptr, 10);
  const std::wstring& stem = args[1];
  // Every signal is opened first, so that the count moves only with the handles opened.
  UniqueKernelHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, CalibrationSignal(stem, L"ready").c_str()));
  UniqueKernelHandle open(::OpenEventW(SYNCHRONIZE, FALSE, CalibrationSignal(stem, L"open").c_str()));
  UniqueKernelHandle opened(::OpenEventW(EVENT_MODIFY_STATE, FALSE, CalibrationSignal(stem, L"opened").c_str()));
  UniqueKernelHandle end(::OpenEventW(SYNCHRONIZE, FALSE, CalibrationSignal(stem, L"end").c_str()));
  if (!ready || !open || !opened || !end) return 3;
  std::vector<UniqueKernelHandle> held(static_cast<size_t>(count));
  ::SetEvent(ready.get());
  if (::WaitForSingleObject(open.get(), campaign::kCalibrationWaitMs) != WAIT_OBJECT_0) return 4;
  for (UniqueKernelHandle& handle : held) {
    handle.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!handle) return 5;
  }
  ::SetEvent(opened.get());
  ::WaitForSingleObject(end.get(), campaign::kCalibrationWaitMs);
  return 0;
}

namespace campaign {

std::string HandleProbeCalibration::Describe() const {
  const long long moved = after - before;
  return std::string(moved >= 0 ? "+" : "") + std::to_string(moved) + " read for " + std::to_string(opened) +
         " handles opened in a helper (" + std::to_string(before) + " -> " + std::to_string(after) + ")";
}

HandleProbeCalibration CalibrateHandleProbe() {
  HandleProbeCalibration calibration;
  const std::wstring stem = test_support::UniqueName(L"HandleProbe");
  UniqueKernelHandle ready = CreateSignal(CalibrationSignal(stem, L"ready"));
  UniqueKernelHandle open = CreateSignal(CalibrationSignal(stem, L"open"));
  UniqueKernelHandle opened = CreateSignal(CalibrationSignal(stem, L"opened"));
  UniqueKernelHandle end = CreateSignal(CalibrationSignal(stem, L"end"));
  if (!ready || !open || !opened || !end) {
    calibration.failure = "the handle probe's calibration signals could not be made";
    return calibration;
  }
  test_support::ChildProcess helper =
      test_support::ChildProcess::Start(L"handle-probe-target", {std::to_wstring(kCalibrationHandles), stem});
  if (!helper.valid() || ::WaitForSingleObject(ready.get(), kCalibrationWaitMs) != WAIT_OBJECT_0) {
    calibration.failure = "the handle probe's helper did not get ready";
  } else {
    calibration.before = ProcessHandleCount(helper.pid());
    ::SetEvent(open.get());
    if (::WaitForSingleObject(opened.get(), kCalibrationWaitMs) != WAIT_OBJECT_0) {
      calibration.failure = "the handle probe's helper did not open its handles";
    } else {
      calibration.opened = kCalibrationHandles;
      calibration.after = ProcessHandleCount(helper.pid());
    }
  }
  ::SetEvent(end.get());
  if (helper.valid() && !helper.Wait(kCalibrationWaitMs)) helper.Kill();
  if (!calibration.failure.empty()) return calibration;
  const long long moved = calibration.after - calibration.before;
  if (calibration.before < 0 || calibration.after < 0) {
    calibration.failure = "the handle probe cannot read the helper's handles";
  } else if (moved < kCalibrationHandles || moved > kCalibrationHandles + kCalibrationSlack) {
    calibration.failure = "the handle probe does not see handles being added: " + calibration.Describe();
  }
  return calibration;
}

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

bool ProcessEnvironmentVariable(DWORD pid, const std::wstring& name, std::wstring* value) {
  const auto query = reinterpret_cast<QueryInformationProcess>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  BasicProcessInformation basic = {};
  if (query == nullptr || !process ||
      query(process.get(), 0 /* ProcessBasicInformation */, &basic, sizeof(basic), nullptr) != 0) {
    return false;
  }
  const void* parameters = nullptr;
  const void* environment = nullptr;
  if (!ReadPointer(process.get(), static_cast<const unsigned char*>(basic.peb) + kParametersInPeb, &parameters) ||
      !ReadPointer(process.get(), static_cast<const unsigned char*>(parameters) + kEnvironmentInParameters,
                   &environment)) {
    return false;
  }
  // The block lies in one allocation: read up to the end of its region.
  MEMORY_BASIC_INFORMATION region = {};
  if (::VirtualQueryEx(process.get(), environment, &region, sizeof(region)) != sizeof(region)) return false;
  const SIZE_T available = static_cast<SIZE_T>(static_cast<const unsigned char*>(region.BaseAddress) +
                                               region.RegionSize - static_cast<const unsigned char*>(environment));
  std::vector<wchar_t> block(std::min(available, kMaxEnvironmentBytes) / sizeof(wchar_t));
  SIZE_T read = 0;
  if (block.empty() ||
      !::ReadProcessMemory(process.get(), environment, block.data(), block.size() * sizeof(wchar_t), &read)) {
    return false;
  }
  block.resize(read / sizeof(wchar_t));
  const std::wstring prefix = name + L"=";
  for (size_t at = 0; at < block.size() && block[at] != L'\0';) {
    size_t end = at;
    while (end < block.size() && block[end] != L'\0') ++end;
    if (end - at >= prefix.size() && ::_wcsnicmp(&block[at], prefix.c_str(), prefix.size()) == 0) {
      value->assign(&block[at] + prefix.size(), end - at - prefix.size());
      return true;
    }
    at = end + 1;
  }
  return false;
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
