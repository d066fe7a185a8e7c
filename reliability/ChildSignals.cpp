#include "ChildSignals.h"

namespace campaign {

UniqueKernelHandle CreateSignal(const std::wstring& name) {
  return UniqueKernelHandle(::CreateEventW(nullptr, FALSE, FALSE, name.c_str()));
}

void RaiseSignal(const std::wstring& name) {
  UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
  if (event) ::SetEvent(event.get());
}

bool WaitSignal(const std::wstring& name, DWORD ms) {
  UniqueKernelHandle event(::OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
  return event && ::WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0;
}

}  // namespace campaign
