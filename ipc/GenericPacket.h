// The suite's message: a header of three strings (type, subtype, channel identifier)
// and ordered key/value string pairs, carried as compact JSON text inside one item of
// a shared-memory queue.
//
// Wire format: {"type":..,"subtype":..,"channelid":..,"keyvallist":[{"key":..,"value":..},..]}
// with the pairs in byte order of their keys. Strings are the narrow texts (ANSI code
// page) byte for byte, with \" \\ \b \t \n \f \r and \u00XX for other bytes below 0x20.
#pragma once

#include <map>
#include <string>

#include <rapidjson/document.h>

class GenericPacket {
 public:
  GenericPacket() = default;
  virtual ~GenericPacket();

  void SetHeader(const std::string& type, const std::string& subtype, const std::string& channelId);
  // Stores the pair, replacing the value of an existing key. False (packet unchanged)
  // when it cannot be stored.
  bool AddKeyValue(const std::string& key, const std::string& value);
  // Stores the decimal text of `value`.
  bool AddKeyValue(const std::string& key, int value);

  // The JSON text of the packet; empty only when it could not be built.
  std::string GetJDocument() const;
  // Writes the packet once, as one item, to `queueName` through a short-lived client.
  bool WriteOnce(const std::wstring& queueName, unsigned long long mappingSize,
                 const std::wstring& channelId) const;
  // Replaces the packet's content by what the JSON text holds. The text ends at its
  // trailing NULs, if any. False, with a log line, for text that is not JSON (a NUL
  // with text after it included) or not in the packet format. A line that shows the
  // text shows it whole up to kTextBytesShownInLog bytes (a longer one cut there, then
  // "..."), with control bytes as '?'; the line then still fits the logger's line.
  bool GetPacket(const std::string& jsonText);
  static constexpr size_t kTextBytesShownInLog = 3000;
  // Takes the three header strings from a parsed document (first member of each name).
  bool _LoadHeader(const rapidjson::Document& document);
  // "0"/"1", or "true"/"false" in any case; other text gives false; missing or empty
  // gives defaultValue.
  bool GetBoolValue(const std::string& key, bool defaultValue) const;

  const std::string& Type() const { return m_type; }
  const std::string& SubType() const { return m_subtype; }
  const std::string& ChannelId() const { return m_channelId; }
  const std::map<std::string, std::string>& KeyValues() const { return m_keyValues; }
  // The value of `key`, or empty.
  std::string GetValue(const std::string& key) const;

 private:
  std::string m_type;
  std::string m_subtype;
  std::string m_channelId;
  std::map<std::string, std::string> m_keyValues;  // std::less<std::string>: byte order
};

// The service's status packet: a GenericPacket of its own class.
class SentrelServicePacket : public GenericPacket {
 public:
  SentrelServicePacket() = default;
  ~SentrelServicePacket() override;
};
