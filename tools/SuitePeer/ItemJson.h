// One JSON line per received queue item, as SuitePeer prints them.
#pragma once

#include <cstdint>
#include <string>

// {"channel":"..","size":n,"text":".."}: text is the payload read as UTF-16LE up to its
// first NUL (or its end), in UTF-8.
std::string ChannelItemJson(const std::wstring& channel, const unsigned char* payload, uint64_t size);
// {"type":t,"size":n,"writer":pid,"hex":".."}: hex of the payload's first 256 bytes.
std::string TypedItemJson(uint32_t type, uint64_t size, uint32_t writer, const unsigned char* payload);
std::string WideToUtf8(const std::wstring& text);
