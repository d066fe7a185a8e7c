// The payload of an identity-theft user response (typed item of type 8) as a sender
// lays it out: block byte, modify byte, the rule's UTF-16LE units, then `zeros` zero
// bytes (2 is the terminating 16-bit zero a sender is meant to write).
#pragma once

#include <cstddef>
#include <string>

namespace test_support {

std::string UserResponsePayload(unsigned char block, unsigned char modify, const std::wstring& rule,
                                size_t zeros = 2);

}  // namespace test_support
