// The generic packet's JSON wire format, read and written byte for byte.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "ipc/GenericPacket.h"
#include "NewLogLines.h"
#include "support/LogWatch.h"

namespace {

TEST(GenericPacket, StatusPacketTextIsByteExact) {
  SentrelServicePacket packet;
  packet.SetHeader("ServiceType", "SubTypeServiceStatus", "91C2257D-77FF-463A-8E40-1CE2B0D3B840");
  // Added out of order: the text lists keys in byte order.
  ASSERT_TRUE(packet.AddKeyValue("Service", "stop"));
  ASSERT_TRUE(packet.AddKeyValue("Priority", "high"));
  ASSERT_TRUE(packet.AddKeyValue("CreationTime", -1700000000));
  ASSERT_TRUE(packet.AddKeyValue("Service", "start"));  // replaces the first value
  EXPECT_EQ(
      "{\"type\":\"ServiceType\",\"subtype\":\"SubTypeServiceStatus\","
      "\"channelid\":\"91C2257D-77FF-463A-8E40-1CE2B0D3B840\",\"keyvallist\":["
      "{\"key\":\"CreationTime\",\"value\":\"-1700000000\"},"
      "{\"key\":\"Priority\",\"value\":\"high\"},"
      "{\"key\":\"Service\",\"value\":\"start\"}]}",
      packet.GetJDocument());
}

TEST(GenericPacket, EmptyPacketEndsWithAnEmptyList) {
  GenericPacket packet;
  EXPECT_EQ("{\"type\":\"\",\"subtype\":\"\",\"channelid\":\"\",\"keyvallist\":[]}", packet.GetJDocument());
}

TEST(GenericPacket, StringsAreEscapedByteForByte) {
  GenericPacket packet;
  const std::string raw("q\"b\\s/\x08\x09\x0A\x0B\x0C\x0D\x01\x1f\x7f\x80\xE9\xff", 18);
  packet.SetHeader(raw, std::string("nul\0end", 7), "c");
  packet.AddKeyValue("Zeta", "upper");
  packet.AddKeyValue("alpha", "lower");
  packet.AddKeyValue("\xC3\xA9", "high byte key");
  EXPECT_EQ(std::string("{\"type\":\"q\\\"b\\\\s/\\b\\t\\n\\u000B\\f\\r\\u0001\\u001F\x7f\x80\xE9\xff\","
                        "\"subtype\":\"nul\\u0000end\",\"channelid\":\"c\",\"keyvallist\":["
                        "{\"key\":\"Zeta\",\"value\":\"upper\"},"
                        "{\"key\":\"alpha\",\"value\":\"lower\"},"
                        "{\"key\":\"\xC3\xA9\",\"value\":\"high byte key\"}]}"),
            packet.GetJDocument());
}

TEST(GenericPacket, IntegerValuesAreDecimalText) {
  GenericPacket packet;
  packet.AddKeyValue("min", INT_MIN);
  packet.AddKeyValue("max", INT_MAX);
  packet.AddKeyValue("zero", 0);
  EXPECT_EQ("-2147483648", packet.GetValue("min"));
  EXPECT_EQ("2147483647", packet.GetValue("max"));
  EXPECT_EQ("0", packet.GetValue("zero"));
}

TEST(GenericPacket, ReadsBackWhatItWrites) {
  GenericPacket written;
  written.SetHeader("T\n\"", "S\x01", "C\x80");
  written.AddKeyValue("k1", "v\\1");
  written.AddKeyValue("K2", "");
  GenericPacket read;
  ASSERT_TRUE(read.GetPacket(written.GetJDocument()));
  EXPECT_EQ(written.Type(), read.Type());
  EXPECT_EQ(written.SubType(), read.SubType());
  EXPECT_EQ(written.ChannelId(), read.ChannelId());
  EXPECT_EQ(written.KeyValues(), read.KeyValues());
}

TEST(GenericPacket, FirstOfDuplicateKeysAndMembersWins) {
  GenericPacket packet;
  packet.AddKeyValue("stale", "x");  // replaced by what the text holds
  ASSERT_TRUE(packet.GetPacket(
      "{\"type\":\"first\",\"type\":\"second\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":["
      "{\"key\":\"Service\",\"value\":\"start\"},{\"key\":\"Service\",\"value\":\"stop\"},"
      "{\"value\":\"v\",\"key\":\"order\"}]}"));
  EXPECT_EQ("first", packet.Type());
  EXPECT_EQ("start", packet.GetValue("Service"));
  EXPECT_EQ("v", packet.GetValue("order"));
  EXPECT_EQ(2u, packet.KeyValues().size());
}

TEST(GenericPacket, StringsEndAtTheirFirstNul) {
  GenericPacket packet;
  ASSERT_TRUE(packet.GetPacket(
      "{\"type\":\"ab\\u0000cd\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[{\"key\":\"k\\u0000x\",\"value\":\"v\"}]}"));
  EXPECT_EQ("ab", packet.Type());
  EXPECT_EQ("v", packet.GetValue("k"));
}

// A text handed over with its terminating NULs, as a queue item's payload holds it,
// ends at them and is read as the text before them.
TEST(GenericPacket, TrailingNulsEndTheText) {
  GenericPacket written;
  written.SetHeader("t", "s", "c");
  written.AddKeyValue("Service", "start");
  for (size_t nuls : {1u, 2u, 64u}) {
    GenericPacket read;
    ASSERT_TRUE(read.GetPacket(written.GetJDocument() + std::string(nuls, '\0'))) << nuls;
    EXPECT_EQ("t", read.Type());
    EXPECT_EQ("start", read.GetValue("Service"));
  }
}

TEST(GenericPacket, MissingSubtypeKeepsTheTypeAndLogs) {
  NewLogLines subtypeMissing(L"_LoadHeader - field 'subtype' is missing");
  NewLogLines headersFailed(L"GenericPacket - GetPacket - failed to load headers");
  GenericPacket packet;
  packet.SetHeader("old", "old", "old");
  EXPECT_FALSE(packet.GetPacket("{\"type\":\"t\",\"channelid\":\"c\",\"keyvallist\":[]}"));
  EXPECT_EQ("t", packet.Type());
  EXPECT_EQ("", packet.SubType());
  EXPECT_EQ("", packet.ChannelId());
  EXPECT_EQ(1u, subtypeMissing.count());
  EXPECT_EQ(1u, headersFailed.count());
}

TEST(GenericPacket, MissingListAndBadJsonAreRefusedWithTheirLines) {
  NewLogLines listMissing(L"GenericPacket - GetPacket - field 'keyvallist' is missing");
  NewLogLines parseFailed(L"GenericPacket - GetPacket - failed to parse JSON: {\"type\":\"t\"");
  GenericPacket packet;
  EXPECT_FALSE(packet.GetPacket("{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\"}"));
  EXPECT_EQ(1u, listMissing.count());
  EXPECT_FALSE(packet.GetPacket("{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[] trailing"));
  EXPECT_EQ(1u, parseFailed.count());
}

// A refused text shows in its line whole up to 3000 bytes and cut after them, with
// control bytes as '?': a long text still gets its line (the logger drops a line that
// does not fit), a line break cannot split the line or forge another, and a NUL byte
// with text after it, which the parser would take for the end of the text, makes the
// text refused instead of read up to it.
TEST(GenericPacket, RefusedTextShowsInOneWholeLine) {
  const std::string valid = "{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[]}";
  const std::string longText = "{\"type\":\"" + std::string(20000, 'x');
  const std::string widestShownWhole = "{\"type\":\"" + std::string(GenericPacket::kTextBytesShownInLog - 9, 'y');
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {longText, longText.substr(0, GenericPacket::kTextBytesShownInLog) + "..."},
      {widestShownWhole, widestShownWhole},
      {widestShownWhole + "z", widestShownWhole + "..."},
      {"{\r\n\"type\"\x01:\n2024 [P:    1][T:    1] [ ERROR  ] - FORGED",
       "{??\"type\"?:?2024 [P:    1][T:    1] [ ERROR  ] - FORGED"},
      {valid + std::string(1, '\0') + "tail", valid + "?tail"},
      {valid + std::string(2, '\0') + "}", valid + "??}"},
      {std::string("{\"type\":\"t\0\"}", 13), "{\"type\":\"t?\"}"},
  };
  for (const auto& c : cases) {
    test_support::LogWatch log;
    GenericPacket packet;
    EXPECT_FALSE(packet.GetPacket(c.text));
    const std::wstring expected = L"GenericPacket - GetPacket - failed to parse JSON: " +
                                  std::wstring(c.shown.begin(), c.shown.end());
    EXPECT_EQ(std::vector<std::wstring>{expected}, log.NewTexts()) << c.shown.substr(0, 80);
  }
}

// Text outside the format is refused whole, with a log line, and never read past.
TEST(GenericPacket, TextOutsideTheFormatIsRefused) {
  const std::string deepList = "{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":" +
                               std::string(20000, '[') + std::string(20000, ']') + "}";
  const std::string deepMember = "{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[],\"x\":" +
                                 std::string(100000, '[') + std::string(100000, ']') + "}";
  const std::string unclosed = std::string(200000, '[');
  NewLogLines badElement(L"GenericPacket - GetPacket - 'keyvallist' element without string 'key' and 'value'");
  const std::string cases[] = {
      "{\"type\":1,\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[]}",
      "{\"type\":\"t\",\"subtype\":null,\"channelid\":\"c\",\"keyvallist\":[]}",
      "{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":[\"c\"],\"keyvallist\":[]}",
      "{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":{\"key\":\"k\",\"value\":\"v\"}}",
      "{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[{\"key\":\"k\"}]}",
      "{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[{\"value\":\"v\"}]}",
      "{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[{\"key\":\"k\",\"value\":5}]}",
      "{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[\"k\"]}",
      "[\"type\",\"subtype\",\"channelid\",\"keyvallist\"]",
      "\"type\"",
      "",
      deepList,
      deepMember,
      unclosed,
  };
  for (const std::string& text : cases) {
    GenericPacket packet;
    EXPECT_FALSE(packet.GetPacket(text)) << text.substr(0, 120);
    EXPECT_TRUE(packet.KeyValues().empty());
  }
  EXPECT_EQ(4u, badElement.count());
}

TEST(GenericPacket, BoolValues) {
  GenericPacket packet;
  const struct {
    const char* value;
    bool withDefaultFalse;
    bool withDefaultTrue;
  } cases[] = {
      {"0", false, false}, {"1", true, true},     {"true", true, true},   {"TRUE", true, true},
      {"False", false, false}, {"yes", false, false}, {"2", false, false}, {"", false, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string key = "k" + std::to_string(n++);
    packet.AddKeyValue(key, c.value);
    EXPECT_EQ(c.withDefaultFalse, packet.GetBoolValue(key, false)) << "'" << c.value << "'";
    EXPECT_EQ(c.withDefaultTrue, packet.GetBoolValue(key, true)) << "'" << c.value << "'";
  }
  EXPECT_TRUE(packet.GetBoolValue("missing", true));
  EXPECT_FALSE(packet.GetBoolValue("missing", false));
}

}  // namespace
