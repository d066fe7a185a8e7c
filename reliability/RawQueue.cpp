#include "RawQueue.h"

#include <cstring>

namespace campaign {

RawQueue::RawQueue(const std::wstring& queueName, unsigned long long mappingSize) : size_(mappingSize) {
  mapping_.reset(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, (L"Global\\" + queueName).c_str()));
  if (mapping_) {
    view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(size_)));
  }
  mutex_.reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, (L"Global\\Mutex_" + queueName).c_str()));
  event_.reset(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (L"Global\\Event_" + queueName).c_str()));
}

bool RawQueue::Lock(DWORD ms) const {
  const DWORD waited = ::WaitForSingleObject(mutex_.get(), ms);
  return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

void RawQueue::Unlock() const { ::ReleaseMutex(mutex_.get()); }

void RawQueue::Announce() const { ::SetEvent(event_.get()); }

QueueLayout::QueueHeader RawQueue::Header() const {
  // Volatile reads: another process changes these bytes.
  const volatile unsigned char* header = bytes();
  unsigned char copy[16];
  for (int i = 0; i < 16; ++i) copy[i] = header[i];
  return QueueLayout::ReadHeader(copy);
}

}  // namespace campaign
