#include "tools/SuitePeer/ItemJson.h"

#include <windows.h>

#include <cstring>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
  return out;
}

std::string ChannelItemJson(const std::wstring& channel, const unsigned char* payload, uint64_t size) {
  std::wstring text;
  for (uint64_t i = 0; i + 2 <= size; i += 2) {
    wchar_t unit;
    std::memcpy(&unit, payload + i, 2);
    if (unit == L'\0') break;
    text += unit;
  }
  const std::string channelUtf8 = WideToUtf8(channel);
  const std::string textUtf8 = WideToUtf8(text);
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("channel");
  writer.String(channelUtf8.data(), static_cast<rapidjson::SizeType>(channelUtf8.size()));
  writer.Key("size");
  writer.Uint64(size);
  writer.Key("text");
  writer.String(textUtf8.data(), static_cast<rapidjson::SizeType>(textUtf8.size()));
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string TypedItemJson(uint32_t type, uint64_t size, uint32_t writer, const unsigned char* payload) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint64_t i = 0; i < size && i < 256; ++i) {
    hex += kHex[payload[i] >> 4];
    hex += kHex[payload[i] & 15];
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> json(buffer);
  json.StartObject();
  json.Key("type");
  json.Uint(type);
  json.Key("size");
  json.Uint64(size);
  json.Key("writer");
  json.Uint(writer);
  json.Key("hex");
  json.String(hex.data(), static_cast<rapidjson::SizeType>(hex.size()));
  json.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}
