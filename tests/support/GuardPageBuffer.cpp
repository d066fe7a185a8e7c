#include "support/GuardPageBuffer.h"

#include <windows.h>

namespace test_support {

GuardPageBuffer::GuardPageBuffer(size_t size) : size_(size) {
  SYSTEM_INFO info = {};
  ::GetSystemInfo(&info);
  const size_t page = info.dwPageSize;
  const size_t dataPages = (size + page - 1) / page;
  const size_t total = (dataPages + 1) * page;
  base_ = ::VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (base_ == nullptr) return;
  unsigned char* guard = static_cast<unsigned char*>(base_) + dataPages * page;
  DWORD previous = 0;
  if (!::VirtualProtect(guard, page, PAGE_NOACCESS, &previous)) {
    ::VirtualFree(base_, 0, MEM_RELEASE);
    base_ = nullptr;
    return;
  }
  data_ = guard - size;
}

GuardPageBuffer::~GuardPageBuffer() {
  if (base_ != nullptr) ::VirtualFree(base_, 0, MEM_RELEASE);
}

}  // namespace test_support
