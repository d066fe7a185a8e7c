// A small block of memory shared by name between the campaign and its helper processes:
// a plain struct of counters and flags, zeroed when the campaign creates it. Helpers
// update it as they go, so the campaign can read how far a helper got even after it
// killed the helper.
#pragma once

#include <windows.h>

#include <string>

#include "common/UniqueHandle.h"

namespace campaign {

template <typename T>
class SharedBlock {
 public:
  SharedBlock() = default;

  // The campaign's side: a new block, all zeros.
  static SharedBlock Create(const std::wstring& name) {
    SharedBlock block;
    block.mapping_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                              static_cast<DWORD>(sizeof(T)), name.c_str()));
    block.Map();
    return block;
  }
  // A helper's side: the block the campaign created.
  static SharedBlock Open(const std::wstring& name) {
    SharedBlock block;
    block.mapping_.reset(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str()));
    block.Map();
    return block;
  }

  bool valid() const { return view_.valid(); }
  T* get() const { return static_cast<T*>(view_.get()); }
  T* operator->() const { return get(); }

 private:
  void Map() {
    if (mapping_) view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(T)));
  }

  UniqueKernelHandle mapping_;
  UniqueMappedView view_;
};

}  // namespace campaign
