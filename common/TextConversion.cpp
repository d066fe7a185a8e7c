#include "common/TextConversion.h"

#include <vector>

namespace {

// Both reverse conversions: MultiByteToWideChar over the text up to its first NUL.
std::wstring ToWide(const std::string& text, UINT codePage) {
  const char* source = text.c_str();  // the conversion stops at the first NUL
  if (*source == '\0') return std::wstring();
  const int size = ::MultiByteToWideChar(codePage, 0, source, -1, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::vector<wchar_t> buffer(static_cast<size_t>(size), L'\0');
  if (::MultiByteToWideChar(codePage, 0, source, -1, buffer.data(), size) <= 0) return std::wstring();
  return std::wstring(buffer.data());
}

}  // namespace

std::string WideToAnsi(std::wstring text) {
  const wchar_t* source = text.c_str();
  if (*source == L'\0') return std::string();
  const int size = ::WideCharToMultiByte(CP_ACP, 0, source, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::vector<char> buffer(static_cast<size_t>(size), '\0');
  if (::WideCharToMultiByte(CP_ACP, 0, source, -1, buffer.data(), size, nullptr, nullptr) <= 0)
    return std::string();
  return std::string(buffer.data());
}

std::wstring AnsiToWide(std::string text) { return ToWide(text, CP_ACP); }

std::wstring MultiByteToWide(std::string text, UINT codePage) { return ToWide(text, codePage); }

std::wstring AddTrailingBackslash(const std::wstring& path, bool colonEndsPath) {
  if (path.empty()) return path;
  const wchar_t last = path.back();
  if (last == L'\\' || (colonEndsPath && last == L':')) return path;
  return path + L'\\';
}

std::wstring RemoveTrailingBackslash(const std::wstring& path) {
  if (!path.empty() && path.back() == L'\\') return path.substr(0, path.size() - 1);
  return path;
}
