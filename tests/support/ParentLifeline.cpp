#include "support/ParentLifeline.h"

#include <cwchar>
#include <string>

#include "common/UniqueHandle.h"

namespace test_support {
namespace {

const wchar_t kLifelineVariable[] = L"SENTREL_HELPER_PARENT_PID";

// Owns the parent's handle for the life of the process: the thread waits on it and
// ends the process when it is signalled.
DWORD WINAPI WatchParent(void* parent) {
  ::WaitForSingleObject(static_cast<HANDLE>(parent), INFINITE);
  ::TerminateProcess(::GetCurrentProcess(), kParentEndedExitCode);
  return 0;
}

}  // namespace

void HandLifelineToChildren() {
  ::SetEnvironmentVariableW(kLifelineVariable, std::to_wstring(::GetCurrentProcessId()).c_str());
}

void FollowParentLifeline() {
  wchar_t text[32] = {};
  const DWORD length = ::GetEnvironmentVariableW(kLifelineVariable, text, ARRAYSIZE(text));
  if (length == 0 || length >= ARRAYSIZE(text)) return;
  const DWORD parentPid = static_cast<DWORD>(std::wcstoul(text, nullptr, 10));
  if (parentPid == 0 || parentPid == ::GetCurrentProcessId()) return;
  UniqueKernelHandle parent(::OpenProcess(SYNCHRONIZE, FALSE, parentPid));
  if (!parent) {
    // No such process: the parent is gone. Any other failure leaves the helper without
    // a lifeline rather than ending it.
    if (::GetLastError() == ERROR_INVALID_PARAMETER) ::TerminateProcess(::GetCurrentProcess(), kParentEndedExitCode);
    return;
  }
  // A parent that ended before this point and whose pid went to another process at once
  // is not told apart: the helper then lives on as it would without the lifeline.
  UniqueKernelHandle watcher(
      ::CreateThread(nullptr, 64 * 1024, &WatchParent, parent.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (watcher) parent.release();  // the watching thread keeps it for the life of the process
}

}  // namespace test_support
