#include "common/Reg.h"

#include <cstring>
#include <cwchar>

namespace RegFormat {

void Scramble(unsigned char* data, size_t length, DWORD key) {
  for (size_t i = 0; i < length; ++i) {
    const unsigned shift = static_cast<unsigned>(i % 32);
    const DWORD rotated = shift == 0 ? key : ((key >> shift) | (key << (32 - shift)));
    data[i] = static_cast<unsigned char>(data[i] ^ (rotated & 0xFF));
  }
}

std::vector<wchar_t> BuildMultiString(const std::vector<std::wstring>& values) {
  std::vector<wchar_t> data;
  for (const std::wstring& value : values) {
    data.insert(data.end(), value.begin(), value.end());
    data.push_back(L'\0');
  }
  data.push_back(L'\0');
  // An empty list is stored as two NULs (4 bytes), the usual empty REG_MULTI_SZ.
  if (values.empty()) data.push_back(L'\0');
  return data;
}

std::vector<std::wstring> ParseMultiString(const wchar_t* data, size_t count) {
  std::vector<std::wstring> values;
  size_t pos = 0;
  while (pos < count) {
    size_t end = pos;
    while (end < count && data[end] != L'\0') ++end;
    if (end == pos) break;  // the terminating empty string
    values.emplace_back(data + pos, end - pos);
    pos = end + 1;
  }
  return values;
}

bool IsTextType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

std::vector<wchar_t> JoinNames(const std::vector<std::wstring>& names) {
  std::vector<wchar_t> data;
  for (const std::wstring& name : names) {
    data.insert(data.end(), name.begin(), name.end());
    data.push_back(L'\0');
  }
  data.push_back(L'\0');
  return data;
}

}  // namespace RegFormat

namespace {

// Writes `names` into a caller buffer of *size characters, or reports the size needed.
bool CopyNamesOut(const std::vector<std::wstring>& names, wchar_t* buffer, DWORD* size) {
  if (size == nullptr) return false;
  const std::vector<wchar_t> joined = RegFormat::JoinNames(names);
  const DWORD needed = static_cast<DWORD>(joined.size());
  if (buffer == nullptr) {
    *size = needed;
    return true;
  }
  if (*size < needed) {
    *size = needed;
    return false;
  }
  std::wmemcpy(buffer, joined.data(), joined.size());
  *size = needed;
  return true;
}

}  // namespace

Reg::~Reg() { Close(); }

bool Reg::Open(HKEY root, const wchar_t* subKey, REGSAM access) {
  Close();
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, subKey, 0, access, &key) != ERROR_SUCCESS) return false;
  m_hKey = key;
  m_isOpen = true;
  return true;
}

bool Reg::Create(HKEY root, const wchar_t* subKey, SECURITY_ATTRIBUTES* attributes,
                 REGSAM access) {
  Close();
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (::RegCreateKeyExW(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, attributes,
                        &key, &disposition) != ERROR_SUCCESS) {
    return false;
  }
  m_hKey = key;
  m_isOpen = true;
  return true;
}

bool Reg::Create(HKEY root, const wchar_t* subKey, REGSAM access) {
  return Create(root, subKey, nullptr, access);
}

bool Reg::SetMultiString(const wchar_t* name, const std::vector<std::wstring>& values) {
  const std::vector<wchar_t> data = RegFormat::BuildMultiString(values);
  return ::RegSetValueExW(m_hKey, name, 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool Reg::SetValue(const wchar_t* name, const void* data, DWORD length) {
  return SetBinary(name, data, length);
}

bool Reg::SetBinary(const wchar_t* name, const void* data, DWORD length) {
  return ::RegSetValueExW(m_hKey, name, 0, REG_BINARY, static_cast<const BYTE*>(data), length) ==
         ERROR_SUCCESS;
}

bool Reg::SetValue(const wchar_t* name, DWORD value) { return SetDword(name, value); }

bool Reg::SetDword(const wchar_t* name, DWORD value) {
  return ::RegSetValueExW(m_hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

bool Reg::SetString(const char* name, const std::string& value) {
  return ::RegSetValueExA(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool Reg::SetString(const wchar_t* name, const std::wstring& value) {
  return ::RegSetValueExW(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
         ERROR_SUCCESS;
}

bool Reg::SetScrambledBinary(const wchar_t* name, const void* data, DWORD length) {
  if (length == 0 || data == nullptr) return false;
  std::vector<unsigned char> scrambled(static_cast<const unsigned char*>(data),
                                       static_cast<const unsigned char*>(data) + length);
  RegFormat::Scramble(scrambled.data(), scrambled.size());
  return SetBinary(name, scrambled.data(), length);
}

bool Reg::GetValue(const wchar_t* name, void* buffer, DWORD* size) {
  return QueryValue(name, buffer, size);
}

bool Reg::QueryValue(const wchar_t* name, void* buffer, DWORD* size) {
  return ::RegQueryValueExW(m_hKey, name, nullptr, nullptr, static_cast<BYTE*>(buffer), size) ==
         ERROR_SUCCESS;
}

bool Reg::GetDword(const wchar_t* name, DWORD* value) {
  if (value == nullptr) return false;
  DWORD data = 0;
  DWORD size = sizeof(data);
  // A value longer than 4 bytes reports ERROR_MORE_DATA and fails.
  if (::RegQueryValueExW(m_hKey, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  *value = data;
  return true;
}

bool Reg::GetDword(const wchar_t* name, DWORD& value) { return GetDword(name, &value); }

bool Reg::GetScrambledBinary(const wchar_t* name, void* buffer, DWORD* size) {
  if (size == nullptr) return false;
  DWORD stored = 0;
  if (!GetValueSize(name, &stored)) {
    *size = 0;
    return false;
  }
  if (stored != *size) {
    *size = stored;
    return false;
  }
  if (buffer == nullptr || stored == 0) return false;
  std::vector<unsigned char> data(stored);
  DWORD read = stored;
  if (!QueryValue(name, data.data(), &read) || read != stored) return false;
  RegFormat::Scramble(data.data(), data.size());
  std::memcpy(buffer, data.data(), data.size());
  return true;
}

bool Reg::DeleteValue(const wchar_t* name) {
  return ::RegDeleteValueW(m_hKey, name) == ERROR_SUCCESS;
}

bool Reg::DeleteKey(const wchar_t* subKey) {
  if (subKey == nullptr || *subKey == L'\0') return false;  // never the open key itself
  {
    Reg child;
    if (child.Open(m_hKey, subKey, KEY_READ | KEY_SET_VALUE)) child.DeleteContents();
  }
  return ::RegDeleteKeyW(m_hKey, subKey) == ERROR_SUCCESS;
}

bool Reg::DeleteContents() {
  if (!m_isOpen) return false;
  std::vector<std::wstring> valueNames;
  EnumValueNames(valueNames);
  for (const std::wstring& valueName : valueNames) DeleteValue(valueName.c_str());

  std::vector<std::wstring> subKeys;
  EnumSubKeys(subKeys);
  for (const std::wstring& subKey : subKeys) {
    {
      Reg child;
      if (child.Open(m_hKey, subKey.c_str(), KEY_READ | KEY_SET_VALUE)) child.DeleteContents();
    }
    ::RegDeleteKeyW(m_hKey, subKey.c_str());
  }
  return true;
}

bool Reg::GetValueSize(const wchar_t* name, DWORD* size) {
  if (size == nullptr) return false;
  DWORD bytes = 0;
  if (::RegQueryValueExW(m_hKey, name, nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS) {
    return false;
  }
  *size = bytes;
  return true;
}

bool Reg::GetValueNames(wchar_t* buffer, DWORD* size) {
  std::vector<std::wstring> names;
  if (!m_isOpen) return false;
  EnumValueNames(names);
  return CopyNamesOut(names, buffer, size);
}

bool Reg::GetSubKeyNames(wchar_t* buffer, DWORD* size) {
  std::vector<std::wstring> names;
  if (!m_isOpen) return false;
  EnumSubKeys(names);
  return CopyNamesOut(names, buffer, size);
}

bool Reg::GetLastError(DWORD* error) {
  if (error != nullptr) *error = ::GetLastError();
  return true;
}

void Reg::Close() {
  if (m_isOpen) {
    ::RegCloseKey(m_hKey);
    m_isOpen = false;
  }
  m_hKey = nullptr;
}

bool Reg::GetMultiString(const wchar_t* name, std::vector<std::wstring>& values) {
  DWORD size = 0;
  if (!GetValueSize(name, &size)) return false;
  // Room for the data, two more NULs, and an odd last byte rounded up.
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
  DWORD read = size;
  if (!QueryValue(name, data.data(), &read) || read < 2) return false;
  values = RegFormat::ParseMultiString(data.data(), read / sizeof(wchar_t));
  return true;
}

bool Reg::GetString(const char* name, std::string& value) {
  std::vector<char> buffer(256, '\0');
  for (;;) {
    // One byte more than offered, so that a value stored without its NUL still ends.
    DWORD size = static_cast<DWORD>(buffer.size() - 1);
    const LONG result = ::RegQueryValueExA(m_hKey, name, nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (result == ERROR_MORE_DATA) {
      if (size < buffer.size()) return false;  // no progress: give up rather than spin
      buffer.assign(static_cast<size_t>(size) + 1, '\0');
      continue;
    }
    if (result != ERROR_SUCCESS) return false;
    buffer[size < buffer.size() ? size : buffer.size() - 1] = '\0';
    value.assign(buffer.data());
    return true;
  }
}

bool Reg::GetString(const wchar_t* name, std::wstring& value) { return ReadWideString(name, value, false); }

bool Reg::GetTextString(const wchar_t* name, std::wstring& value) { return ReadWideString(name, value, true); }

bool Reg::ReadWideString(const wchar_t* name, std::wstring& value, bool textOnly) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (::RegQueryValueExW(m_hKey, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (textOnly && !RegFormat::IsTextType(type)) return false;
  // size + 2 bytes rounded up to whole characters, zero-filled: always NUL-terminated.
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
  DWORD read = size;
  if (::RegQueryValueExW(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &read) !=
          ERROR_SUCCESS ||
      read < 2) {
    return false;
  }
  // The value may have been replaced between the two reads.
  if (textOnly && !RegFormat::IsTextType(type)) return false;
  value.assign(data.data());
  return true;
}

bool Reg::EnumValueNames(std::vector<std::wstring>& names) {
  names.clear();
  if (!m_isOpen) return false;
  std::vector<wchar_t> name(16384, L'\0');
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    const LONG result =
        ::RegEnumValueW(m_hKey, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) {
      if (result == ERROR_MORE_DATA) continue;
      break;
    }
    names.emplace_back(name.data(), length);
  }
  return !names.empty();
}

bool Reg::EnumNumberValues(std::vector<std::pair<std::wstring, DWORD>>& values) {
  values.clear();
  std::vector<std::pair<std::wstring, std::wstring>> texts;
  EnumValues(texts);
  for (const auto& entry : texts) {
    values.emplace_back(entry.first,
                        static_cast<DWORD>(std::wcstoul(entry.second.c_str(), nullptr, 10)));
  }
  return !values.empty();
}

bool Reg::EnumValues(std::vector<std::pair<std::wstring, std::wstring>>& values) {
  values.clear();
  if (!m_isOpen) return false;
  DWORD count = 0;
  DWORD maxDataBytes = 0;
  if (::RegQueryInfoKeyW(m_hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         nullptr, &maxDataBytes, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::vector<wchar_t> name(4096, L'\0');
  for (DWORD index = 0; index < count; ++index) {
    std::vector<wchar_t> data(maxDataBytes / sizeof(wchar_t) + 2, L'\0');
    DWORD nameLength = static_cast<DWORD>(name.size() - 1);
    DWORD type = 0;
    DWORD dataBytes = maxDataBytes;
    const LONG result = ::RegEnumValueW(m_hKey, index, name.data(), &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data.data()), &dataBytes);
    if (result != ERROR_SUCCESS) continue;  // a failed index is skipped
    const std::wstring valueName(name.data(), nameLength);
    if (type == REG_SZ) {
      values.emplace_back(valueName, std::wstring(data.data()));
    } else if (type == REG_DWORD) {
      DWORD number = 0;
      std::memcpy(&number, data.data(), dataBytes < sizeof(number) ? dataBytes : sizeof(number));
      values.emplace_back(valueName, std::to_wstring(number));
    }
  }
  return !values.empty();
}

bool Reg::EnumSubKeys(std::vector<std::wstring>& names) {
  names.clear();
  if (!m_isOpen) return false;
  std::vector<wchar_t> name(256, L'\0');  // key names are at most 255 characters
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    const LONG result =
        ::RegEnumKeyExW(m_hKey, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) break;
    names.emplace_back(name.data(), length);
  }
  return !names.empty();
}
