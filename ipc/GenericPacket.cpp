#include "ipc/GenericPacket.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/TextConversion.h"
#include "ipc/IpcClientGenPacket.h"
#include "log/Logger.h"

namespace {

using rapidjson::SizeType;

// RapidJSON's string lengths are 32-bit.
bool FitsJsonString(const std::string& text) { return text.size() <= 0xFFFFFFFEu; }

// A string member's text up to its first NUL, or false when the value is not a string.
bool TakeString(const rapidjson::Value& value, std::string* out) {
  if (!value.IsString()) return false;
  *out = value.GetString();
  return true;
}

// A packet nests three levels deep (object, list, pair); anything far deeper is not a
// packet and is refused before a document is built for it.
constexpr int kMaxNesting = 32;

bool NestsDeeperThan(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return true;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return false;
}

// The text of a refused packet as its log line shows it: control bytes (line breaks and
// NULs among them) become '?', so that the text can neither break the line nor forge
// another; a text too long for one log line is cut. The logger drops a line that does
// not fit whole, and a refusal must not go without its line.
std::string TextForLog(const std::string& text) {
  std::string shown = text.substr(0, GenericPacket::kTextBytesShownInLog);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  if (text.size() > GenericPacket::kTextBytesShownInLog) shown += "...";
  return shown;
}

}  // namespace

GenericPacket::~GenericPacket() = default;
SentrelServicePacket::~SentrelServicePacket() = default;

void GenericPacket::SetHeader(const std::string& type, const std::string& subtype, const std::string& channelId) {
  m_type = type;
  m_subtype = subtype;
  m_channelId = channelId;
}

bool GenericPacket::AddKeyValue(const std::string& key, const std::string& value) {
  try {
    m_keyValues[key] = value;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool GenericPacket::AddKeyValue(const std::string& key, int value) {
  try {
    return AddKeyValue(key, std::to_string(value));
  } catch (const std::exception&) {
    return false;
  }
}

std::string GenericPacket::GetValue(const std::string& key) const {
  auto found = m_keyValues.find(key);
  return found == m_keyValues.end() ? std::string() : found->second;
}

std::string GenericPacket::GetJDocument() const {
  try {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    auto writeString = [&writer](const std::string& text) {
      writer.String(text.data(), static_cast<SizeType>(text.size()));
    };
    if (!FitsJsonString(m_type) || !FitsJsonString(m_subtype) || !FitsJsonString(m_channelId)) return std::string();
    writer.StartObject();
    writer.Key("type");
    writeString(m_type);
    writer.Key("subtype");
    writeString(m_subtype);
    writer.Key("channelid");
    writeString(m_channelId);
    writer.Key("keyvallist");
    writer.StartArray();
    for (const auto& pair : m_keyValues) {
      if (!FitsJsonString(pair.first) || !FitsJsonString(pair.second)) return std::string();
      writer.StartObject();
      writer.Key("key");
      writeString(pair.first);
      writer.Key("value");
      writeString(pair.second);
      writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
  } catch (const std::exception&) {
    return std::string();
  }
}

bool GenericPacket::WriteOnce(const std::wstring& queueName, unsigned long long mappingSize,
                              const std::wstring& channelId) const {
  try {
    const std::string json = GetJDocument();
    if (json.empty())
      Logger::Instance().Log(LogLevel::Error, L"GenericPacket::WriteOnce: GetJDocument produced empty data, Queue :%s.",
                             queueName.c_str());
    IpcClientGenPacket client;
    bool written = false;
    if (!client.Create(SMIPCTNG::kClient, queueName, mappingSize)) {
      Logger::Instance().Log(LogLevel::Error, L"GenericPacket::WriteOnce: Failed to init IPC client : Queue : %s.",
                             queueName.c_str());
    } else {
      written = client.Write(WideToAnsi(channelId), json, 0);
      if (!written)
        Logger::Instance().Log(LogLevel::Error, L"GenericPacket::WriteOnce: Failed to write IPC data to Queue :%s.",
                               queueName.c_str());
    }
    client.Close();
    return written;
  } catch (const std::exception&) {
    Logger::Instance().Log(LogLevel::Error, L"GenericPacket::WriteOnce: Failed to write IPC data to Queue :%s.",
                           queueName.c_str());
    return false;
  }
}

bool GenericPacket::_LoadHeader(const rapidjson::Document& document) {
  if (!document.IsObject()) {
    Logger::Instance().Log(LogLevel::Error, "_LoadHeader - field 'type' is missing");
    return false;
  }
  struct Field {
    const char* name;
    const char* missing;
    const char* notString;
    std::string* target;
  };
  const Field fields[] = {
      {"type", "_LoadHeader - field 'type' is missing", "_LoadHeader - field 'type' is not a string", &m_type},
      {"subtype", "_LoadHeader - field 'subtype' is missing", "_LoadHeader - field 'subtype' is not a string",
       &m_subtype},
      {"channelid", "_LoadHeader - field 'channelid' is missing", "_LoadHeader - field 'channelid' is not a string",
       &m_channelId},
  };
  for (const Field& field : fields) {
    auto member = document.FindMember(field.name);  // the first member of that name
    if (member == document.MemberEnd()) {
      Logger::Instance().Log(LogLevel::Error, field.missing);
      return false;
    }
    if (!TakeString(member->value, field.target)) {
      Logger::Instance().Log(LogLevel::Error, field.notString);
      return false;
    }
  }
  return true;
}

bool GenericPacket::GetPacket(const std::string& jsonText) {
  try {
    m_type.clear();
    m_subtype.clear();
    m_channelId.clear();
    m_keyValues.clear();

    // The iterative parser keeps its own heap stack, so deep nesting cannot exhaust
    // the thread's stack; the length-bounded parse never reads past the text. A text
    // taken with its terminating NULs (a queue item's payload) ends at them, as a
    // C string would; a NUL with more text after it is no JSON and the text is refused
    // rather than read up to the NUL.
    rapidjson::Document document;
    const size_t firstNul = jsonText.find('\0');
    const size_t textLength = firstNul == std::string::npos ? jsonText.size() : firstNul;
    const bool textAfterNul = jsonText.find_first_not_of('\0', textLength) != std::string::npos;
    const bool refused = textAfterNul || NestsDeeperThan(jsonText, kMaxNesting);
    if (!refused) document.Parse<rapidjson::kParseIterativeFlag>(jsonText.data(), textLength);
    if (refused || document.HasParseError()) {
      Logger::Instance().Log(LogLevel::Error, "GenericPacket - GetPacket - failed to parse JSON: %s",
                             TextForLog(jsonText).c_str());
      return false;
    }
    if (!_LoadHeader(document)) {
      Logger::Instance().Log(LogLevel::Error, "GenericPacket - GetPacket - failed to load headers");
      return false;
    }
    auto list = document.FindMember("keyvallist");
    if (list == document.MemberEnd()) {
      Logger::Instance().Log(LogLevel::Error, "GenericPacket - GetPacket - field 'keyvallist' is missing");
      return false;
    }
    if (!list->value.IsArray()) {
      Logger::Instance().Log(LogLevel::Error, "GenericPacket - GetPacket - field 'keyvallist' is not an array");
      return false;
    }
    // Pairs are taken only when every element is well formed: a malformed packet is
    // refused whole rather than read in part.
    std::map<std::string, std::string> pairs;
    for (const auto& element : list->value.GetArray()) {
      std::string key;
      std::string value;
      bool wellFormed = element.IsObject();
      if (wellFormed) {
        auto keyMember = element.FindMember("key");
        auto valueMember = element.FindMember("value");
        wellFormed = valueMember != element.MemberEnd() && keyMember != element.MemberEnd() &&
                     TakeString(valueMember->value, &value) && TakeString(keyMember->value, &key);
      }
      if (!wellFormed) {
        Logger::Instance().Log(LogLevel::Error,
                               "GenericPacket - GetPacket - 'keyvallist' element without string 'key' and 'value'");
        return false;
      }
      pairs.emplace(std::move(key), std::move(value));  // a repeated key keeps its first value
    }
    m_keyValues.swap(pairs);
    if (Logger::Instance().IsLevelEnabled(LogLevel::Debug))
      Logger::Instance().Log(LogLevel::Debug, "GenericPacket - GetPacket - read: Type=%s, SubType=%s, ChannelID=%s",
                             m_type.c_str(), m_subtype.c_str(), m_channelId.c_str());
    return true;
  } catch (const std::exception&) {
    std::string shown;
    try {
      shown = TextForLog(jsonText);
    } catch (const std::exception&) {
      // Without memory for the excerpt the line shows none.
    }
    Logger::Instance().Log(LogLevel::Error, "GenericPacket - GetPacket - exception caught while parsing JSON: %s",
                           shown.c_str());
    return false;
  }
}

bool GenericPacket::GetBoolValue(const std::string& key, bool defaultValue) const {
  auto found = m_keyValues.find(key);
  if (found == m_keyValues.end() || found->second.empty()) return defaultValue;
  const std::string& value = found->second;
  if (value == "0") return false;
  if (value == "1") return true;
  std::string lower = value;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower == "true";
}
