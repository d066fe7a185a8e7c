// A short-lived wrapper of one open registry key: open or create, read and write values
// in the common forms, list values and subkeys, delete values and whole subtrees.
// Every operation returns true when the registry call succeeded; nothing is logged.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// The operations of the suite's registry key, in their fixed order.
class RegBase {
 public:
  virtual bool Open(HKEY root, const wchar_t* subKey, REGSAM access) = 0;
  virtual bool Create(HKEY root, const wchar_t* subKey, SECURITY_ATTRIBUTES* attributes,
                      REGSAM access) = 0;
  virtual bool Create(HKEY root, const wchar_t* subKey, REGSAM access) = 0;
  virtual bool SetMultiString(const wchar_t* name, const std::vector<std::wstring>& values) = 0;
  virtual bool SetValue(const wchar_t* name, const void* data, DWORD length) = 0;
  virtual bool SetBinary(const wchar_t* name, const void* data, DWORD length) = 0;
  virtual bool SetValue(const wchar_t* name, DWORD value) = 0;
  virtual bool SetDword(const wchar_t* name, DWORD value) = 0;
  virtual bool SetString(const char* name, const std::string& value) = 0;
  virtual bool SetString(const wchar_t* name, const std::wstring& value) = 0;
  virtual bool SetScrambledBinary(const wchar_t* name, const void* data, DWORD length) = 0;
  virtual bool GetValue(const wchar_t* name, void* buffer, DWORD* size) = 0;
  virtual bool QueryValue(const wchar_t* name, void* buffer, DWORD* size) = 0;
  virtual bool GetDword(const wchar_t* name, DWORD* value) = 0;
  virtual bool GetDword(const wchar_t* name, DWORD& value) = 0;
  virtual bool GetScrambledBinary(const wchar_t* name, void* buffer, DWORD* size) = 0;
  virtual bool DeleteValue(const wchar_t* name) = 0;
  virtual bool DeleteKey(const wchar_t* subKey) = 0;
  virtual bool DeleteContents() = 0;
  virtual bool GetValueSize(const wchar_t* name, DWORD* size) = 0;
  virtual bool GetValueNames(wchar_t* buffer, DWORD* size) = 0;
  virtual bool GetSubKeyNames(wchar_t* buffer, DWORD* size) = 0;
  virtual bool GetLastError(DWORD* error) = 0;
  virtual void Close() = 0;
  virtual ~RegBase() = default;
  virtual bool GetMultiString(const wchar_t* name, std::vector<std::wstring>& values) = 0;
  virtual bool GetString(const char* name, std::string& value) = 0;
  virtual bool GetString(const wchar_t* name, std::wstring& value) = 0;
  virtual bool EnumValueNames(std::vector<std::wstring>& names) = 0;
  virtual bool EnumNumberValues(std::vector<std::pair<std::wstring, DWORD>>& values) = 0;
  virtual bool EnumValues(std::vector<std::pair<std::wstring, std::wstring>>& values) = 0;
  virtual bool EnumSubKeys(std::vector<std::wstring>& names) = 0;
};

class Reg : public RegBase {
 public:
  Reg() = default;
  ~Reg() override;
  Reg(const Reg&) = delete;
  Reg& operator=(const Reg&) = delete;

  // Closes the current key first; the object is open only when the call succeeded.
  bool Open(HKEY root, const wchar_t* subKey, REGSAM access) override;
  // Creates the key or opens an existing one (no class, non-volatile).
  bool Create(HKEY root, const wchar_t* subKey, SECURITY_ATTRIBUTES* attributes,
              REGSAM access) override;
  bool Create(HKEY root, const wchar_t* subKey, REGSAM access) override;

  // REG_MULTI_SZ: each string and its NUL, then one more NUL (an empty list: 4 zero bytes).
  bool SetMultiString(const wchar_t* name, const std::vector<std::wstring>& values) override;
  bool SetValue(const wchar_t* name, const void* data, DWORD length) override;
  bool SetBinary(const wchar_t* name, const void* data, DWORD length) override;
  bool SetValue(const wchar_t* name, DWORD value) override;
  bool SetDword(const wchar_t* name, DWORD value) override;
  bool SetString(const char* name, const std::string& value) override;
  bool SetString(const wchar_t* name, const std::wstring& value) override;
  // Writes the data scrambled with the suite's key; a length of 0 writes nothing (false).
  bool SetScrambledBinary(const wchar_t* name, const void* data, DWORD length) override;

  // Raw read into the caller's buffer; `size` is in bytes, in and out; type not checked.
  bool GetValue(const wchar_t* name, void* buffer, DWORD* size) override;
  bool QueryValue(const wchar_t* name, void* buffer, DWORD* size) override;
  // Reads at most 4 bytes; a longer value fails. A shorter value is zero-extended.
  bool GetDword(const wchar_t* name, DWORD* value) override;
  bool GetDword(const wchar_t* name, DWORD& value) override;
  // Reads a value written by SetScrambledBinary. A missing value sets *size to 0, a stored
  // size other than *size sets *size to the stored size; both give false.
  bool GetScrambledBinary(const wchar_t* name, void* buffer, DWORD* size) override;

  bool DeleteValue(const wchar_t* name) override;
  // Deletes the sub-key and everything below it.
  bool DeleteKey(const wchar_t* subKey) override;
  // Deletes every value and every subkey of the open key, subtrees first.
  bool DeleteContents() override;

  bool GetValueSize(const wchar_t* name, DWORD* size) override;
  // Names as consecutive NUL-terminated strings followed by one more NUL (a multi-string
  // layout); `size` is in characters, in and out. A null buffer asks for the size only.
  // A buffer that is too small gets nothing; *size then holds the size needed.
  bool GetValueNames(wchar_t* buffer, DWORD* size) override;
  bool GetSubKeyNames(wchar_t* buffer, DWORD* size) override;
  // Stores the calling thread's last-error code.
  bool GetLastError(DWORD* error) override;
  void Close() override;

  // Reads REG_MULTI_SZ into a list; stops at the terminating empty string.
  bool GetMultiString(const wchar_t* name, std::vector<std::wstring>& values) override;
  bool GetString(const char* name, std::string& value) override;
  // The text up to the first NUL; a value of fewer than 2 bytes gives false.
  bool GetString(const wchar_t* name, std::wstring& value) override;
  bool EnumValueNames(std::vector<std::wstring>& names) override;
  bool EnumNumberValues(std::vector<std::pair<std::wstring, DWORD>>& values) override;
  // REG_SZ values with their text and REG_DWORD values as decimal text, in order.
  bool EnumValues(std::vector<std::pair<std::wstring, std::wstring>>& values) override;
  bool EnumSubKeys(std::vector<std::wstring>& names) override;

  // GetString for a setting that is text: only a value stored as REG_SZ or REG_EXPAND_SZ
  // (not expanded) is read; a value of another type is not text and gives false, as a
  // missing one does, instead of its bytes taken for characters.
  bool GetTextString(const wchar_t* name, std::wstring& value);

  HKEY Handle() const { return m_hKey; }
  bool IsOpen() const { return m_isOpen; }

 private:
  // The wide string read of GetString and GetTextString; `textOnly` refuses other types.
  bool ReadWideString(const wchar_t* name, std::wstring& value, bool textOnly);

  HKEY m_hKey = nullptr;
  bool m_isOpen = false;
};

namespace RegFormat {

// The suite's 32-bit scrambling key of binary values.
constexpr DWORD kScrambleKey = 0x5A17C3E9;

// XORs byte i with the low 8 bits of the key rotated right by i % 32; its own inverse.
void Scramble(unsigned char* data, size_t length, DWORD key = kScrambleKey);
// REG_MULTI_SZ bytes for a list (an empty list gives two wide NULs).
std::vector<wchar_t> BuildMultiString(const std::vector<std::wstring>& values);
// Splits multi-string data of `count` characters at each NUL; stops at the first empty
// string or the end of the data (a last string without its NUL is kept).
std::vector<std::wstring> ParseMultiString(const wchar_t* data, size_t count);
// Whether a value of this type holds text: REG_SZ or REG_EXPAND_SZ.
bool IsTextType(DWORD type);
// Names laid out as NUL-terminated strings plus one more NUL.
std::vector<wchar_t> JoinNames(const std::vector<std::wstring>& names);

}  // namespace RegFormat
