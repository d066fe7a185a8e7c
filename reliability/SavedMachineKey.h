// Saves a whole key under HKEY_LOCAL_MACHINE (its values with their types and bytes,
// and every subkey below it) and puts it back exactly when destroyed: the key is
// deleted and made again from the copy, or left absent when it was absent. Remove
// deletes it meanwhile, for runs that need the key missing.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace campaign {

class SavedMachineKey {
 public:
  explicit SavedMachineKey(const std::wstring& keyPath);
  ~SavedMachineKey();
  SavedMachineKey(const SavedMachineKey&) = delete;
  SavedMachineKey& operator=(const SavedMachineKey&) = delete;

  // False when the key existed but could not be read whole (nothing is changed then).
  bool saved() const { return saved_; }
  // Deletes the key and everything below it; true when it is gone.
  bool Remove() const;

  struct Value {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<unsigned char> data;
  };
  struct Node {
    std::vector<Value> values;
    std::vector<std::pair<std::wstring, Node>> subkeys;
  };

 private:
  std::wstring keyPath_;
  bool existed_ = false;
  bool saved_ = false;
  Node copy_;
};

}  // namespace campaign
