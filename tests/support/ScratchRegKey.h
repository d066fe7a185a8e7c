// Registry helpers for tests: a throwaway key per test, and a guard that saves a fixed
// machine-wide value and puts it back afterwards. Both use the raw registry API, so
// that they do not depend on the wrapper under test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test_support {

// Creates <root>\SOFTWARE\VeltraneTest\<unique name> and deletes its whole subtree
// when destroyed. HKEY_CURRENT_USER by default, so that tests run in parallel.
class ScratchRegKey {
 public:
  explicit ScratchRegKey(HKEY root = HKEY_CURRENT_USER);
  ~ScratchRegKey();
  ScratchRegKey(const ScratchRegKey&) = delete;
  ScratchRegKey& operator=(const ScratchRegKey&) = delete;

  bool valid() const { return created_; }
  HKEY root() const { return root_; }
  // Path of the key below the root.
  const std::wstring& path() const { return path_; }

  // Raw access for checks: writes a value of any type and bytes; reads type and bytes.
  bool WriteRaw(const std::wstring& subKey, const std::wstring& name, DWORD type,
                const void* data, DWORD size) const;
  bool ReadRaw(const std::wstring& subKey, const std::wstring& name, DWORD* type,
               std::vector<unsigned char>* data) const;
  bool KeyExists(const std::wstring& subKey) const;

 private:
  std::wstring Full(const std::wstring& subKey) const;

  HKEY root_;
  std::wstring path_;
  bool created_ = false;
};

// Saves one value (or its absence) under HKEY_LOCAL_MACHINE and restores it when
// destroyed; Set and Remove change it meanwhile (creating the key when needed).
class MachineValueGuard {
 public:
  MachineValueGuard(const std::wstring& keyPath, const std::wstring& valueName);
  ~MachineValueGuard();
  MachineValueGuard(const MachineValueGuard&) = delete;
  MachineValueGuard& operator=(const MachineValueGuard&) = delete;

  bool SetString(const std::wstring& text) const;
  bool Remove() const;

 private:
  std::wstring keyPath_;
  std::wstring valueName_;
  bool existed_ = false;
  DWORD type_ = 0;
  std::vector<unsigned char> data_;
};

}  // namespace test_support
