// Move-only owners of Windows handles: one template, one small traits type per kind.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <utility>

// Traits: `pointer` is the handle type, IsValid tells a live handle, Close frees it.
template <typename Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::pointer;

  UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit UniqueHandle(pointer handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  pointer get() const noexcept { return handle_; }
  bool valid() const noexcept { return Traits::IsValid(handle_); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  pointer release() noexcept {
    pointer handle = handle_;
    handle_ = Traits::Invalid();
    return handle;
  }

  // Closes the owned handle (keeping the thread's last-error code, so that a failure
  // can still be logged after cleanup) and takes `handle` instead.
  void reset(pointer handle = Traits::Invalid()) noexcept {
    if (Traits::IsValid(handle_)) {
      const DWORD lastError = ::GetLastError();
      Traits::Close(handle_);
      ::SetLastError(lastError);
    }
    handle_ = handle;
  }

  // Closes the owned handle and returns the address for an out-parameter.
  pointer* put() noexcept {
    reset();
    return &handle_;
  }

 private:
  pointer handle_;
};

namespace handle_traits {

// Kernel objects: events, mutexes, mappings, threads, processes, files.
// Both null and INVALID_HANDLE_VALUE mean "no handle".
struct Kernel {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return nullptr; }
  static bool IsValid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

struct RegistryKey {
  using pointer = HKEY;
  static pointer Invalid() noexcept { return nullptr; }
  static bool IsValid(pointer h) noexcept { return h != nullptr; }
  static void Close(pointer h) noexcept { ::RegCloseKey(h); }
};

struct ServiceHandle {
  using pointer = SC_HANDLE;
  static pointer Invalid() noexcept { return nullptr; }
  static bool IsValid(pointer h) noexcept { return h != nullptr; }
  static void Close(pointer h) noexcept { ::CloseServiceHandle(h); }
};

struct Module {
  using pointer = HMODULE;
  static pointer Invalid() noexcept { return nullptr; }
  static bool IsValid(pointer h) noexcept { return h != nullptr; }
  static void Close(pointer h) noexcept { ::FreeLibrary(h); }
};

struct MappedView {
  using pointer = void*;
  static pointer Invalid() noexcept { return nullptr; }
  static bool IsValid(pointer p) noexcept { return p != nullptr; }
  static void Close(pointer p) noexcept { ::UnmapViewOfFile(p); }
};

struct LocalMemory {
  using pointer = void*;
  static pointer Invalid() noexcept { return nullptr; }
  static bool IsValid(pointer p) noexcept { return p != nullptr; }
  static void Close(pointer p) noexcept { ::LocalFree(p); }
};

struct Sid {
  using pointer = PSID;
  static pointer Invalid() noexcept { return nullptr; }
  static bool IsValid(pointer p) noexcept { return p != nullptr; }
  static void Close(pointer p) noexcept { ::FreeSid(p); }
};

}  // namespace handle_traits

using UniqueKernelHandle = UniqueHandle<handle_traits::Kernel>;
using UniqueHKey = UniqueHandle<handle_traits::RegistryKey>;
using UniqueServiceHandle = UniqueHandle<handle_traits::ServiceHandle>;
using UniqueModule = UniqueHandle<handle_traits::Module>;
using UniqueMappedView = UniqueHandle<handle_traits::MappedView>;
using UniqueLocalMemory = UniqueHandle<handle_traits::LocalMemory>;
using UniqueSid = UniqueHandle<handle_traits::Sid>;
