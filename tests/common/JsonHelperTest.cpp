#include "common/JsonHelper.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "common/JsonAllocator.h"
#include "log/Logger.h"
#include "support/LogFileReader.h"
#include "support/ScratchFiles.h"

namespace {

using JsonHelper::StringTable;
using test_support::CountContaining;
using test_support::LoggedText;
using test_support::ScratchFolder;

std::string Repeat(char c, size_t count) { return std::string(count, c); }

// All bytes of a literal, NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

const StringTable kBefore = {{L"b", L"before"}, {L"keep", L"Old"}};

// One file and what loading it into a copy of kBefore gives.
struct LoadCase {
  const char* label;
  std::string bytes;
  bool lowerKeys;
  bool lowerValues;
  bool loads;
  StringTable after;  // the whole table after the load (kBefore when it fails)
};

// Loads each case's file from a scratch folder and checks the result, the table and the
// log lines of the load.
void CheckLoads(const std::vector<LoadCase>& cases) {
  ScratchFolder folder(L"json");
  std::vector<std::wstring> paths;
  for (size_t i = 0; i < cases.size(); ++i) {
    const LoadCase& c = cases[i];
    paths.push_back(folder / (L"case" + std::to_wstring(i) + L".json"));
    ASSERT_TRUE(test_support::WriteBytes(paths[i], c.bytes)) << c.label;
    StringTable table = kBefore;
    EXPECT_EQ(JsonHelper::Load(paths[i], table, c.lowerKeys, c.lowerValues), c.loads) << c.label;
    EXPECT_EQ(table, c.after) << c.label;
  }

  // Each load leaves its opening line and exactly one line of its outcome.
  const auto lines = test_support::OwnLogLinesContaining(folder.path());
  for (size_t i = 0; i < cases.size(); ++i) {
    const LoadCase& c = cases[i];
    const std::wstring& path = paths[i];
    EXPECT_EQ(
        CountContaining(lines, LoggedText(LogLevel::Always, L"JsonHelper Load - File " + path)), 1u)
        << c.label;
    const std::wstring failed = L"JsonHelper Load- - failed to parse the file " + path;
    EXPECT_EQ(CountContaining(lines, LoggedText(LogLevel::Error, failed)), c.loads ? 0u : 1u)
        << c.label;
    const std::wstring succeeded = L"JsonHelper Load - Loading File " + path + L" Succeeded.";
    EXPECT_EQ(CountContaining(lines, LoggedText(LogLevel::Always, succeeded)), c.loads ? 1u : 0u)
        << c.label;
  }
}

TEST(JsonHelperLoad, ObjectsOfStrings) {
  // clang-format off
  CheckLoads({
      {"object of strings", R"({"Title":"Hello World","b":"x"})", true, false, true,
       {{L"b", L"x"}, {L"keep", L"Old"}, {L"title", L"Hello World"}}},
      {"names kept, texts lowered", R"({"Name":"MiXed"})", false, true, true,
       {{L"Name", L"mixed"}, {L"b", L"before"}, {L"keep", L"Old"}}},
      {"white space around the root", " \t\r\n{ \"a\" :\t\"1\" }\r\n\t ", true, false, true,
       {{L"a", L"1"}, {L"b", L"before"}, {L"keep", L"Old"}}},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF{\"a\":\"1\"}", true, false, true,
       {{L"a", L"1"}, {L"b", L"before"}, {L"keep", L"Old"}}},
      {"smallest object", "{}", true, false, true, kBefore},
      {"UTF-8 text and escapes", "{\"na\xC3\xAFve\":\"\\u00e9t\\u00e9 \\ud83d\\ude00\\n\\\"q\\\"\"}",
       true, false, true,
       {{L"b", L"before"}, {L"keep", L"Old"}, {L"na\u00efve", L"\u00e9t\u00e9 \U0001F600\n\"q\""}}},
      {"later duplicate wins", R"({"a":"1","a":"2"})", true, false, true,
       {{L"a", L"2"}, {L"b", L"before"}, {L"keep", L"Old"}}},
      {"names differing in case are one name", R"({"Key":"1","KEY":"2"})", true, false, true,
       {{L"b", L"before"}, {L"keep", L"Old"}, {L"key", L"2"}}},
      {"escaped zero ends name and text", R"({"ab\u0000cd":"x\u0000y"})", true, false, true,
       {{L"ab", L"x"}, {L"b", L"before"}, {L"keep", L"Old"}}},
      {"an existing name gets the new text", R"({"KEEP":"New"})", true, false, true,
       {{L"b", L"before"}, {L"keep", L"New"}}},
      // Bytes that are not UTF-8, and a sequence cut short at the end of a text, become
      // replacement characters; nothing is read past the text.
      {"invalid UTF-8", "{\"x\xFFy\":\"\xC0\xAF\",\"cut\":\"z\xE2\x82\"}", true, false, true,
       {{L"b", L"before"}, {L"cut", L"z\uFFFD"}, {L"keep", L"Old"}, {L"x\uFFFDy", L"\uFFFD\uFFFD"}}},
  });
  // clang-format on
}

// Every one fails with the "failed to parse" line and leaves the table as it was.
TEST(JsonHelperLoad, FilesThatFailToParse) {
  const std::string deep = Repeat('[', 100000) + Repeat(']', 100000);
  const std::pair<const char*, std::string> files[] = {
      {"empty file", ""},
      {"white space only", " \r\n\t "},
      {"byte order mark only", "\xEF\xBB\xBF"},
      {"text after the root", R"({"a":"1"} x)"},
      {"two roots", R"({"a":"1"}{"b":"2"})"},
      {"text hidden behind a NUL", Bytes("{\"a\":\"1\"}\0{\"b\":\"2\"}")},
      {"NUL inside the object", Bytes("{\"a\":\"1\"\0}")},
      {"unterminated object", R"({"a":"1")"},
      {"unquoted name", R"({a:"1"})"},
      {"comment", R"({/* c */ "a":"1"})"},
      {"UTF-16 text", Bytes("\xFF\xFE{\0}\0")},
      {"root array", R"(["a","b"])"},
      {"root string", R"("a")"},
      {"root number", "1"},
      {"number value", R"({"a":"1","b":2})"},
      {"null value", R"({"a":null})"},
      {"boolean value", R"({"a":true})"},
      {"object value", R"({"a":{"b":"c"}})"},
      {"array value", R"({"a":["b"]})"},
      // Nesting this deep would overflow the stack of a recursive parser.
      {"deep nesting as a value", "{\"a\":" + deep + "}"},
      {"deep nesting as the root", deep},
      {"deep nesting left open", "{\"a\":" + Repeat('[', 200000)},
  };
  std::vector<LoadCase> cases;
  for (const auto& file : files)
    cases.push_back({file.first, file.second, true, false, false, kBefore});
  CheckLoads(cases);
}

TEST(JsonHelperLoad, TwoFilesIntoOneTable) {
  ScratchFolder folder(L"json");
  const std::wstring first = folder / L"first.json";
  const std::wstring second = folder / L"second.json";
  ASSERT_TRUE(test_support::WriteBytes(first, R"({"A":"1","b":"2"})"));
  ASSERT_TRUE(test_support::WriteBytes(second, R"({"B":"3","c":"4"})"));
  StringTable table;
  ASSERT_TRUE(JsonHelper::Load(first, table, true, false));
  ASSERT_TRUE(JsonHelper::Load(second, table, true, false));
  EXPECT_EQ(table, (StringTable{{L"a", L"1"}, {L"b", L"3"}, {L"c", L"4"}}));
}

TEST(JsonHelperLoad, MissingFileFailsAtTheOpenStep) {
  ScratchFolder folder(L"json");
  const std::wstring path = folder / L"missing.json";
  StringTable table = kBefore;
  EXPECT_FALSE(JsonHelper::Load(path, table, true, false));
  EXPECT_EQ(table, kBefore);
  // The run-time library's error number: ENOENT.
  const auto lines = test_support::OwnLogLinesContaining(path);
  EXPECT_EQ(
      CountContaining(lines, LoggedText(LogLevel::Error, L"JsonHelper Load - failed to open file " +
                                                             path + L". Error=2")),
      1u);
  EXPECT_EQ(CountContaining(lines, L"failed to parse"), 0u);
}

TEST(JsonHelperLoad, AllocateFileContent) {
  ScratchFolder folder(L"json");
  struct Case {
    const char* bytes;
    uint64_t size;
  };
  const Case cases[] = {{"", 0}, {"{}", 2}, {"{\"a\":\"bcdefgh\"}", 15}};
  for (const Case& c : cases) {
    const std::wstring path = folder / L"content.json";
    ASSERT_TRUE(test_support::WriteBytes(path, c.bytes));
    uint64_t size = 99;
    const std::unique_ptr<char[]> buffer = JsonHelper::AllocateFileContent(path, &size);
    ASSERT_TRUE(buffer) << c.bytes;
    EXPECT_EQ(size, c.size) << c.bytes;
    EXPECT_EQ(buffer[size], '\0') << c.bytes;
  }
  uint64_t size = 99;
  EXPECT_FALSE(JsonHelper::AllocateFileContent(folder / L"missing.json", &size));
  EXPECT_EQ(size, 0u);
}

// Memory that cannot be had ends the parse with an exception that the load catches,
// never with a null block that the parser would write through.
TEST(JsonAllocator, AnAllocationThatCannotBeMadeThrows) {
  JsonAllocator allocator;
  const size_t impossible = SIZE_MAX / 2;
  EXPECT_THROW(allocator.Malloc(impossible), std::bad_alloc);
  void* block = allocator.Malloc(16);
  ASSERT_NE(block, nullptr);
  EXPECT_THROW(allocator.Realloc(block, 16, impossible), std::bad_alloc);
  block = allocator.Realloc(block, 16, 32);
  ASSERT_NE(block, nullptr);
  JsonAllocator::Free(block);
  EXPECT_EQ(allocator.Malloc(0), nullptr);
}

}  // namespace
