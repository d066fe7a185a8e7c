#include "common/Reg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/ScratchRegKey.h"

namespace {

using test_support::ScratchRegKey;

class RegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.valid());
    ASSERT_TRUE(reg_.Open(scratch_.root(), scratch_.path().c_str(), KEY_ALL_ACCESS));
  }

  std::vector<unsigned char> RawBytes(const std::wstring& name, DWORD* type = nullptr) {
    DWORD storedType = 0;
    std::vector<unsigned char> data;
    EXPECT_TRUE(scratch_.ReadRaw(L"", name, &storedType, &data)) << "value " << name.size();
    if (type != nullptr) *type = storedType;
    return data;
  }

  ScratchRegKey scratch_;
  Reg reg_;
};

TEST_F(RegTest, MultiStringLayoutAndRoundTrip) {
  // An empty list is 4 zero bytes and reads back as an empty list.
  ASSERT_TRUE(reg_.SetMultiString(L"empty", {}));
  DWORD type = 0;
  EXPECT_EQ(RawBytes(L"empty", &type), std::vector<unsigned char>(4, 0));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  std::vector<std::wstring> values = {L"stale"};
  ASSERT_TRUE(reg_.GetMultiString(L"empty", values));
  EXPECT_TRUE(values.empty());

  // "a", "b" and a character outside Latin-1: each string and its NUL, then one more.
  const std::vector<std::wstring> written = {L"a", L"b", std::wstring(1, wchar_t(0x0100)) + L"z"};
  ASSERT_TRUE(reg_.SetMultiString(L"list", written));
  EXPECT_EQ(RawBytes(L"list").size(), 2u * ((1 + 1) + (1 + 1) + (2 + 1) + 1));
  ASSERT_TRUE(reg_.GetMultiString(L"list", values));
  EXPECT_EQ(values, written);

  // Data written without the final double NUL (by another program) still splits cleanly.
  const wchar_t unterminated[] = {L'x', L'\0', L'y'};
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"raw", REG_MULTI_SZ, unterminated, sizeof(unterminated)));
  ASSERT_TRUE(reg_.GetMultiString(L"raw", values));
  EXPECT_EQ(values, (std::vector<std::wstring>{L"x", L"y"}));

  EXPECT_FALSE(reg_.GetMultiString(L"missing", values));
}

TEST_F(RegTest, WideAndNarrowStrings) {
  ASSERT_TRUE(reg_.SetString(L"wide", std::wstring(L"Caf\u00e9 \u0100")));
  EXPECT_EQ(RawBytes(L"wide").size(), 2u * 6 + 2);
  std::wstring wide;
  ASSERT_TRUE(reg_.GetString(L"wide", wide));
  EXPECT_EQ(wide, L"Caf\u00e9 \u0100");

  ASSERT_TRUE(reg_.SetString("narrow", std::string("plain text")));
  std::string narrow;
  ASSERT_TRUE(reg_.GetString("narrow", narrow));
  EXPECT_EQ(narrow, "plain text");
  // The narrow read grows its buffer past the first 256 bytes.
  const std::string longText(1000, 'q');
  ASSERT_TRUE(reg_.SetString("long", longText));
  ASSERT_TRUE(reg_.GetString("long", narrow));
  EXPECT_EQ(narrow, longText);
  EXPECT_FALSE(reg_.GetString("missing", narrow));
}

TEST_F(RegTest, WideStringEdgeValues) {
  std::wstring text = L"unchanged";
  // A lone NUL is an empty string; a value of 0 bytes is no string at all.
  const wchar_t nul = L'\0';
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"nul", REG_SZ, &nul, sizeof(nul)));
  EXPECT_TRUE(reg_.GetString(L"nul", text));
  EXPECT_EQ(text, L"");
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"zero", REG_SZ, nullptr, 0));
  text = L"unchanged";
  EXPECT_FALSE(reg_.GetString(L"zero", text));
  EXPECT_EQ(text, L"unchanged");

  // Text stored without its terminator, with an odd byte count, or as another type is
  // read inside its own bytes: never past them.
  const wchar_t noTerminator[] = {L'a', L'b', L'c'};
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"noterm", REG_SZ, noTerminator, sizeof(noTerminator)));
  ASSERT_TRUE(reg_.GetString(L"noterm", text));
  EXPECT_EQ(text, L"abc");
  const unsigned char odd[] = {'h', 0, 'i', 0, 'X'};
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"odd", REG_SZ, odd, sizeof(odd)));
  ASSERT_TRUE(reg_.GetString(L"odd", text));
  EXPECT_EQ(text.substr(0, 2), L"hi");
  EXPECT_LE(text.size(), 3u);
  ASSERT_TRUE(reg_.SetDword(L"number", 0x00410042));
  ASSERT_TRUE(reg_.GetString(L"number", text));  // the type is not checked
  EXPECT_EQ(text, L"\x0042\x0041");
}

// A setting read as text takes only values stored as text; the bytes of a number or of
// binary data are no text, however they would read.
TEST_F(RegTest, TextStringReadsOnlyTextTypes) {
  const wchar_t path[] = L"%SystemRoot%\\x";
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"sz", REG_SZ, L"zk", 6));
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"expand", REG_EXPAND_SZ, path, sizeof(path)));
  ASSERT_TRUE(reg_.SetDword(L"number", 0x006B007A));  // its bytes spell "zk"
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"binary", REG_BINARY, L"zk", 6));
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"multi", REG_MULTI_SZ, L"zk\0", 8));
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"zero", REG_SZ, nullptr, 0));
  std::wstring text;
  ASSERT_TRUE(reg_.GetTextString(L"sz", text));
  EXPECT_EQ(text, L"zk");
  ASSERT_TRUE(reg_.GetTextString(L"expand", text));
  EXPECT_EQ(text, path);  // not expanded
  for (const wchar_t* name : {L"number", L"binary", L"multi", L"zero", L"missing"}) {
    text = L"unchanged";
    EXPECT_FALSE(reg_.GetTextString(name, text)) << name;
    EXPECT_EQ(text, L"unchanged");
  }
  std::wstring untyped;
  EXPECT_TRUE(reg_.GetString(L"number", untyped));  // the plain read still takes any type
}

TEST_F(RegTest, DwordReadsAtMostFourBytes) {
  ASSERT_TRUE(reg_.SetValue(L"n", DWORD{0xDEADBEEF}));
  DWORD type = 0;
  EXPECT_EQ(RawBytes(L"n", &type).size(), 4u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  DWORD value = 0;
  ASSERT_TRUE(reg_.GetDword(L"n", &value));
  EXPECT_EQ(value, 0xDEADBEEFu);

  const unsigned long long wide = 0x1122334455667788ull;
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"qword", REG_QWORD, &wide, sizeof(wide)));
  value = 7;
  EXPECT_FALSE(reg_.GetDword(L"qword", &value));
  EXPECT_EQ(value, 7u);
  EXPECT_FALSE(reg_.GetDword(L"missing", value));
  EXPECT_FALSE(reg_.GetDword(L"n", nullptr));
}

TEST_F(RegTest, ScrambledBinaryRoundTripAndSizeMismatch) {
  const unsigned char data[40] = {1, 2, 3, 0, 0, 0, 255, 128, 7};
  ASSERT_TRUE(reg_.SetScrambledBinary(L"secret", data, sizeof(data)));
  DWORD type = 0;
  const std::vector<unsigned char> stored = RawBytes(L"secret", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  ASSERT_EQ(stored.size(), sizeof(data));
  EXPECT_NE(0, std::memcmp(stored.data(), data, sizeof(data)));  // not stored in the clear

  unsigned char back[40] = {};
  DWORD size = sizeof(back);
  ASSERT_TRUE(reg_.GetScrambledBinary(L"secret", back, &size));
  EXPECT_EQ(0, std::memcmp(back, data, sizeof(data)));

  unsigned char small[8] = {};
  size = sizeof(small);
  EXPECT_FALSE(reg_.GetScrambledBinary(L"secret", small, &size));
  EXPECT_EQ(size, sizeof(data));  // tells the stored size
  EXPECT_EQ(small[0], 0);         // and writes nothing

  size = sizeof(back);
  EXPECT_FALSE(reg_.GetScrambledBinary(L"missing", back, &size));
  EXPECT_EQ(size, 0u);
  EXPECT_FALSE(reg_.SetScrambledBinary(L"empty", data, 0));
  EXPECT_FALSE(reg_.GetValueSize(L"empty", &size));
}

TEST(RegScramble, IsItsOwnInverseAndUsesTheRotatedKey) {
  unsigned char bytes[34] = {};
  RegFormat::Scramble(bytes, sizeof(bytes), 0x12345678);
  EXPECT_EQ(bytes[0], 0x78);  // key itself
  EXPECT_EQ(bytes[4], 0x67);  // key rotated right by 4
  EXPECT_EQ(bytes[32], 0x78); // rotation counts modulo 32
  RegFormat::Scramble(bytes, sizeof(bytes), 0x12345678);
  for (unsigned char b : bytes) EXPECT_EQ(b, 0);
}

TEST_F(RegTest, DeleteKeyRemovesTwoLevelSubtree) {
  {
    Reg deep;
    const std::wstring path = scratch_.path() + L"\\top\\mid\\leaf";
    ASSERT_TRUE(deep.Create(scratch_.root(), path.c_str(), KEY_ALL_ACCESS));
    ASSERT_TRUE(deep.SetDword(L"v", 1));
  }
  ASSERT_TRUE(scratch_.WriteRaw(L"top", L"t", REG_SZ, L"x", 4));
  ASSERT_TRUE(scratch_.WriteRaw(L"top\\mid", L"m", REG_SZ, L"y", 4));
  ASSERT_TRUE(scratch_.WriteRaw(L"top\\second", L"s", REG_SZ, L"z", 4));
  ASSERT_TRUE(scratch_.WriteRaw(L"", L"keep", REG_SZ, L"k", 4));

  EXPECT_TRUE(reg_.DeleteKey(L"top"));
  EXPECT_FALSE(scratch_.KeyExists(L"top"));
  std::wstring kept;
  EXPECT_TRUE(reg_.GetString(L"keep", kept));  // the open key itself is untouched
  EXPECT_FALSE(reg_.DeleteKey(L"top"));
}

TEST_F(RegTest, EnumerationsAndDeleteContents) {
  ASSERT_TRUE(reg_.SetString(L"name", std::wstring(L"text")));
  ASSERT_TRUE(reg_.SetDword(L"count", 42));
  ASSERT_TRUE(reg_.SetBinary(L"blob", "\x01\x02", 2));
  ASSERT_TRUE(scratch_.WriteRaw(L"sub1", L"a", REG_SZ, L"1", 4));
  ASSERT_TRUE(scratch_.WriteRaw(L"sub2\\deeper", L"b", REG_SZ, L"2", 4));

  std::vector<std::pair<std::wstring, std::wstring>> texts;
  ASSERT_TRUE(reg_.EnumValues(texts));  // the binary value is skipped
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::pair<std::wstring, std::wstring>>{{L"count", L"42"},
                                                                       {L"name", L"text"}}));
  std::vector<std::pair<std::wstring, DWORD>> numbers;
  ASSERT_TRUE(reg_.EnumNumberValues(numbers));
  EXPECT_EQ(numbers.size(), 2u);

  std::vector<std::wstring> names;
  ASSERT_TRUE(reg_.EnumValueNames(names));
  EXPECT_EQ(names.size(), 3u);
  ASSERT_TRUE(reg_.EnumSubKeys(names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"sub1", L"sub2"}));

  // Caller-buffer forms: size query, too small, then the NUL-separated names.
  DWORD size = 0;
  ASSERT_TRUE(reg_.GetSubKeyNames(nullptr, &size));
  EXPECT_EQ(size, 5u + 5u + 1u);
  wchar_t tiny[3] = {};
  DWORD tinySize = 3;
  EXPECT_FALSE(reg_.GetSubKeyNames(tiny, &tinySize));
  EXPECT_EQ(tinySize, size);
  std::vector<wchar_t> buffer(size);
  ASSERT_TRUE(reg_.GetSubKeyNames(buffer.data(), &size));
  EXPECT_EQ(RegFormat::ParseMultiString(buffer.data(), buffer.size()).size(), 2u);

  ASSERT_TRUE(reg_.DeleteContents());
  EXPECT_FALSE(reg_.EnumValueNames(names));
  EXPECT_FALSE(reg_.EnumSubKeys(names));
  EXPECT_TRUE(scratch_.KeyExists(L""));
}

TEST_F(RegTest, OpenTwiceClosesTheFirstKey) {
  ASSERT_TRUE(scratch_.WriteRaw(L"first", L"which", REG_SZ, L"1", 4));
  ASSERT_TRUE(scratch_.WriteRaw(L"second", L"which", REG_SZ, L"2", 4));
  const std::wstring first = scratch_.path() + L"\\first";
  const std::wstring second = scratch_.path() + L"\\second";
  Reg reg;
  ASSERT_TRUE(reg.Open(scratch_.root(), first.c_str(), KEY_READ));
  const HKEY firstHandle = reg.Handle();
  ASSERT_TRUE(reg.Open(scratch_.root(), second.c_str(), KEY_READ));
  std::wstring which;
  ASSERT_TRUE(reg.GetString(L"which", which));
  EXPECT_EQ(which, L"2");
  // The first handle was closed: using it fails.
  DWORD size = 0;
  if (firstHandle != reg.Handle()) {
    EXPECT_NE(::RegQueryValueExW(firstHandle, L"which", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
  }

  // A failed open leaves the object closed.
  const std::wstring missing = scratch_.path() + L"\\missing";
  EXPECT_FALSE(reg.Open(scratch_.root(), missing.c_str(), KEY_READ));
  EXPECT_FALSE(reg.IsOpen());
  EXPECT_FALSE(reg.GetString(L"which", which));
  reg.Close();  // closing twice is harmless
}

}  // namespace
