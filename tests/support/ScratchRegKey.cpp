#include "support/ScratchRegKey.h"

#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"

namespace test_support {

namespace {

bool ReadValue(HKEY root, const std::wstring& keyPath, const std::wstring& name, DWORD* type,
               std::vector<unsigned char>* data) {
  UniqueHKey key;
  if (::RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, type, nullptr, &size) != ERROR_SUCCESS)
    return false;
  data->assign(size, 0);
  return ::RegQueryValueExW(key.get(), name.c_str(), nullptr, type,
                            size ? data->data() : nullptr, &size) == ERROR_SUCCESS;
}

bool WriteValue(HKEY root, const std::wstring& keyPath, const std::wstring& name, DWORD type,
                const void* data, DWORD size) {
  UniqueHKey key;
  if (::RegCreateKeyExW(root, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
    return false;
  return ::RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) ==
         ERROR_SUCCESS;
}

}  // namespace

ScratchRegKey::ScratchRegKey(HKEY root)
    : root_(root), path_(L"SOFTWARE\\VeltraneTest\\" + UniqueName(L"Scratch")) {
  UniqueHKey key;
  created_ = ::RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               key.put(), nullptr) == ERROR_SUCCESS;
}

ScratchRegKey::~ScratchRegKey() {
  if (created_) {
    ::RegDeleteTreeW(root_, path_.c_str());
    ::RegDeleteKeyW(root_, path_.c_str());
  }
}

std::wstring ScratchRegKey::Full(const std::wstring& subKey) const {
  return subKey.empty() ? path_ : path_ + L"\\" + subKey;
}

bool ScratchRegKey::WriteRaw(const std::wstring& subKey, const std::wstring& name, DWORD type,
                             const void* data, DWORD size) const {
  return WriteValue(root_, Full(subKey), name, type, data, size);
}

bool ScratchRegKey::ReadRaw(const std::wstring& subKey, const std::wstring& name, DWORD* type,
                            std::vector<unsigned char>* data) const {
  return ReadValue(root_, Full(subKey), name, type, data);
}

bool ScratchRegKey::KeyExists(const std::wstring& subKey) const {
  UniqueHKey key;
  return ::RegOpenKeyExW(root_, Full(subKey).c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

MachineValueGuard::MachineValueGuard(const std::wstring& keyPath, const std::wstring& valueName)
    : keyPath_(keyPath), valueName_(valueName) {
  existed_ = ReadValue(HKEY_LOCAL_MACHINE, keyPath_, valueName_, &type_, &data_);
}

MachineValueGuard::~MachineValueGuard() {
  if (existed_) {
    WriteValue(HKEY_LOCAL_MACHINE, keyPath_, valueName_, type_, data_.data(),
               static_cast<DWORD>(data_.size()));
  } else {
    Remove();
  }
}

bool MachineValueGuard::SetString(const std::wstring& text) const {
  return WriteValue(HKEY_LOCAL_MACHINE, keyPath_, valueName_, REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool MachineValueGuard::Remove() const {
  UniqueHKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath_.c_str(), 0, KEY_SET_VALUE, key.put()) !=
      ERROR_SUCCESS)
    return true;
  const LONG result = ::RegDeleteValueW(key.get(), valueName_.c_str());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

}  // namespace test_support
