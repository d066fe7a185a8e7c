// The identity-theft filter's user response as it travels in a typed-queue item
// (type 8), decoded from plain bytes.
//
// Payload: byte 0 block flag, byte 1 modify flag, from byte 2 the rule in UTF-16LE up to
// its first 16-bit zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ExFilterDriver {
namespace IDTheft {

constexpr uint32_t ITYPE_IDTHEFTEVENTMGR_NOTIFY_USER_RESPONSE = 8;

struct UserResponse {
  unsigned char block = 0;
  unsigned char modify = 0;
  std::wstring rule;
};

// Decodes a payload of `size` bytes. The rule ends at its first 16-bit zero or, when
// the sender left that out, at the payload's end (a last odd byte is not part of it);
// nothing outside [payload, payload + size) is read. False when the payload is too
// short to hold the two flags.
bool DecodeUserResponse(const unsigned char* payload, uint64_t size, UserResponse* response);

// At most this many characters of a rule appear in a log line; a longer rule shows its
// start followed by "...". The logger drops a line that does not fit whole, and a
// response must not reach the plug-in without its line.
constexpr size_t kRuleCharsShownInLog = 1024;

// The rule as a log line shows it: control characters (line breaks among them) become
// '?', so that a rule cannot break the line or forge another; a long rule is cut.
std::wstring RuleForLog(const std::wstring& rule);

}  // namespace IDTheft
}  // namespace ExFilterDriver
