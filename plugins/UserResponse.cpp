#include "plugins/UserResponse.h"

namespace ExFilterDriver {
namespace IDTheft {

namespace {

constexpr uint64_t kRuleOffset = 2;

}  // namespace

bool DecodeUserResponse(const unsigned char* payload, uint64_t size, UserResponse* response) {
  if (payload == nullptr || response == nullptr || size < kRuleOffset) return false;
  response->block = payload[0];
  response->modify = payload[1];
  response->rule.clear();
  const uint64_t units = (size - kRuleOffset) / 2;
  const unsigned char* unit = payload + kRuleOffset;
  for (uint64_t i = 0; i < units; ++i, unit += 2) {
    // Byte by byte: the payload follows a 20-byte header and need not be aligned.
    const wchar_t c = static_cast<wchar_t>(unit[0] | (unit[1] << 8));
    if (c == L'\0') break;
    response->rule.push_back(c);
  }
  return true;
}

std::wstring RuleForLog(const std::wstring& rule) {
  std::wstring shown = rule.substr(0, kRuleCharsShownInLog);
  for (wchar_t& c : shown) {
    if (c < 0x20 || c == 0x7F) c = L'?';
  }
  if (rule.size() > kRuleCharsShownInLog) {
    // Not half a surrogate pair at the cut.
    if (shown.back() >= 0xD800 && shown.back() <= 0xDBFF) shown.pop_back();
    shown += L"...";
  }
  return shown;
}

}  // namespace IDTheft
}  // namespace ExFilterDriver
