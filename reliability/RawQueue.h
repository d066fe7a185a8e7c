// A queue's shared objects opened by name, as any local process can open them: the
// mapping (read and write), the queue's mutex and the new-data event. The campaign uses
// it to put bytes into a queue behind the back of its writers: a torn item, hostile
// contents.
#pragma once

#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"
#include "ipc/QueueLayout.h"

namespace campaign {

class RawQueue {
 public:
  // Opens "Global\<queueName>" (a view of `mappingSize` bytes), "Global\Mutex_<queueName>"
  // and "Global\Event_<queueName>". The queue's server must exist.
  RawQueue(const std::wstring& queueName, unsigned long long mappingSize);

  bool valid() const { return view_.valid() && mutex_.valid() && event_.valid(); }
  unsigned char* bytes() const { return static_cast<unsigned char*>(view_.get()); }
  unsigned long long size() const { return size_; }

  // Takes the queue's mutex as a writer does (an abandoned mutex is taken too); false
  // when it was not had within `ms`.
  bool Lock(DWORD ms) const;
  void Unlock() const;
  // Sets the new-data event, as a writer does after its append.
  void Announce() const;
  // The header as it is now, read without the mutex (for watching the server only).
  QueueLayout::QueueHeader Header() const;

 private:
  unsigned long long size_;
  UniqueKernelHandle mapping_;
  UniqueMappedView view_;
  UniqueKernelHandle mutex_;
  UniqueKernelHandle event_;
};

}  // namespace campaign
