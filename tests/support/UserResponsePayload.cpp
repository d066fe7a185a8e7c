#include "support/UserResponsePayload.h"

namespace test_support {

std::string UserResponsePayload(unsigned char block, unsigned char modify, const std::wstring& rule, size_t zeros) {
  std::string bytes;
  bytes.push_back(static_cast<char>(block));
  bytes.push_back(static_cast<char>(modify));
  for (wchar_t c : rule) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  bytes.append(zeros, '\0');
  return bytes;
}

}  // namespace test_support
