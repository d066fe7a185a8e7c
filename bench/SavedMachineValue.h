// Saves one value under HKEY_LOCAL_MACHINE and puts it back (or removes it, when it did
// not exist) when destroyed, so that a benchmark can change the machine's settings for
// its run.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace bench {

class SavedMachineValue {
 public:
  SavedMachineValue(const wchar_t* key, const wchar_t* name) : key_(key), name_(name) {
    DWORD size = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type_, nullptr, &size) ==
        ERROR_SUCCESS) {
      data_.resize(size);
      existed_ = ::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type_,
                                data_.empty() ? nullptr : data_.data(), &size) == ERROR_SUCCESS;
      data_.resize(size);
    }
  }
  ~SavedMachineValue() {
    if (existed_) {
      ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_, name_, type_, data_.data(), static_cast<DWORD>(data_.size()));
    } else {
      ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key_, name_);
    }
  }
  SavedMachineValue(const SavedMachineValue&) = delete;
  SavedMachineValue& operator=(const SavedMachineValue&) = delete;

  bool SetString(const std::wstring& text) const {
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_, name_, REG_SZ, text.c_str(),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  void Remove() const { ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key_, name_); }

 private:
  const wchar_t* key_;
  const wchar_t* name_;
  bool existed_ = false;
  DWORD type_ = REG_NONE;
  std::vector<unsigned char> data_;
};

}  // namespace bench
