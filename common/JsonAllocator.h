// The memory allocator of the JSON file loader's RapidJSON documents.
//
// RapidJSON's own allocator answers a failed allocation with a null pointer, which its
// parser then writes through: a file too large for the memory at hand would crash the
// process. This one throws std::bad_alloc instead, which the loader catches like every
// other standard exception, so such a file fails to load with its line. RapidJSON
// releases what it holds from destructors, so nothing leaks on the way out.
#pragma once

#include <rapidjson/allocators.h>
#include <rapidjson/document.h>

#include <cstdlib>
#include <new>

class JsonAllocator {
 public:
  static const bool kNeedFree = true;

  void* Malloc(size_t size) {
    if (size == 0) return nullptr;
    void* block = std::malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  // A failed resize leaves the original block to its owner, which frees it.
  void* Realloc(void* original, size_t originalSize, size_t newSize) {
    (void)originalSize;
    if (newSize == 0) {
      std::free(original);
      return nullptr;
    }
    void* block = std::realloc(original, newSize);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  static void Free(void* block) { std::free(block); }
};

// A UTF-8 document whose values, parse stacks and pools all come from JsonAllocator.
using JsonDocument =
    rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<JsonAllocator>, JsonAllocator>;
