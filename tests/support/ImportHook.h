// Replaces a function that the test program imports from a system DLL, for the life of
// the object: every call the program's own code makes through its import table (the
// code under test included) goes to the replacement. Lets a test make a system call
// stall or fail at a chosen moment while the real code path runs around it.
#pragma once

#include <windows.h>

namespace test_support {

class ImportHook {
 public:
  // dll: the imported module's name as the import table spells it, compared without
  // case ("kernel32.dll"); function: the imported name.
  ImportHook(const char* dll, const char* function, void* replacement);
  ~ImportHook();
  ImportHook(const ImportHook&) = delete;
  ImportHook& operator=(const ImportHook&) = delete;

  // False when the program does not import the function by that name.
  bool installed() const { return slot_ != nullptr; }
  // The address the import table held before: call it to reach the real function.
  void* original() const { return original_; }

 private:
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

}  // namespace test_support
