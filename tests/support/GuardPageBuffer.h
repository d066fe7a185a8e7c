// A buffer whose last byte lies right before an inaccessible page, so that a read
// or write one byte past its end faults at once instead of passing unnoticed.
#pragma once

#include <cstddef>

namespace test_support {

class GuardPageBuffer {
 public:
  explicit GuardPageBuffer(size_t size);
  ~GuardPageBuffer();
  GuardPageBuffer(const GuardPageBuffer&) = delete;
  GuardPageBuffer& operator=(const GuardPageBuffer&) = delete;

  bool valid() const { return data_ != nullptr; }
  unsigned char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  void* base_ = nullptr;
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace test_support
