#include "SavedMachineKey.h"

#include "common/UniqueHandle.h"

namespace campaign {
namespace {

bool ReadNode(HKEY key, SavedMachineKey::Node* node) {
  DWORD subkeys = 0, longestSubkey = 0, values = 0, longestName = 0, longestData = 0;
  if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values, &longestName,
                         &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  for (DWORD index = 0; index < values; ++index) {
    SavedMachineKey::Value value;
    std::vector<wchar_t> name(longestName + 2, L'\0');
    DWORD nameLength = static_cast<DWORD>(name.size());
    value.data.assign(longestData + 2, 0);
    DWORD size = static_cast<DWORD>(value.data.size());
    if (::RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &value.type, value.data.data(), &size) !=
        ERROR_SUCCESS) {
      return false;
    }
    value.name.assign(name.data(), nameLength);
    value.data.resize(size);
    node->values.push_back(std::move(value));
  }
  for (DWORD index = 0; index < subkeys; ++index) {
    std::vector<wchar_t> name(longestSubkey + 2, L'\0');
    DWORD nameLength = static_cast<DWORD>(name.size());
    if (::RegEnumKeyExW(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const std::wstring subkeyName(name.data(), nameLength);
    UniqueHKey subkey;
    if (::RegOpenKeyExW(key, subkeyName.c_str(), 0, KEY_READ, subkey.put()) != ERROR_SUCCESS) return false;
    SavedMachineKey::Node child;
    if (!ReadNode(subkey.get(), &child)) return false;
    node->subkeys.emplace_back(subkeyName, std::move(child));
  }
  return true;
}

void WriteNode(HKEY parent, const std::wstring& path, const SavedMachineKey::Node& node) {
  UniqueHKey key;
  if (::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
    return;
  }
  for (const SavedMachineKey::Value& value : node.values) {
    ::RegSetValueExW(key.get(), value.name.c_str(), 0, value.type, value.data.empty() ? nullptr : value.data.data(),
                     static_cast<DWORD>(value.data.size()));
  }
  for (const auto& subkey : node.subkeys) WriteNode(key.get(), subkey.first, subkey.second);
}

}  // namespace

SavedMachineKey::SavedMachineKey(const std::wstring& keyPath) : keyPath_(keyPath) {
  UniqueHKey key;
  const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath_.c_str(), 0, KEY_READ, key.put());
  if (opened == ERROR_FILE_NOT_FOUND) {
    saved_ = true;
    return;
  }
  existed_ = opened == ERROR_SUCCESS;
  saved_ = existed_ && ReadNode(key.get(), &copy_);
}

SavedMachineKey::~SavedMachineKey() {
  if (!saved_) return;
  Remove();
  if (existed_) WriteNode(HKEY_LOCAL_MACHINE, keyPath_, copy_);
}

bool SavedMachineKey::Remove() const {
  if (!saved_) return false;
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyPath_.c_str());
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath_.c_str());
  UniqueHKey key;
  return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath_.c_str(), 0, KEY_READ, key.put()) == ERROR_FILE_NOT_FOUND;
}

}  // namespace campaign
