// The pure parts of the logger: line layout, labels, settings, file names, folders.
#include <gtest/gtest.h>

#include <cstdarg>
#include <initializer_list>
#include <string>
#include <vector>

#include "log/LogFileName.h"
#include "log/LogLineFormat.h"
#include "log/LoggerConfig.h"

namespace {

int FormatWide(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = LogLineFormat::FormatMessageText(buffer, capacity, format, args);
  va_end(args);
  return length;
}

int FormatNarrow(char* buffer, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = LogLineFormat::FormatMessageText(buffer, capacity, format, args);
  va_end(args);
  return length;
}

}  // namespace

TEST(LogLineFormat, LabelsAreExactAndOnlyLevelsZeroToSixHaveOne) {
  const struct {
    int level;
    const wchar_t* label;
    const wchar_t* bracketed;
  } cases[] = {{0, L"NONE ", L"[NONE ]"},  {1, L"DEBUG", L"[DEBUG]"},     {2, L"INFO ", L"[INFO ]"},
               {3, L"WARN", L"[WARN]"},    {4, L"ERROR ", L"[ ERROR  ]"}, {5, L"FATAL", L"[ FATAL ]"},
               {6, L"ALW  ", L"[ALW  ]"}};
  for (const auto& c : cases) {
    EXPECT_STREQ(c.label, LogLineFormat::LevelLabel(c.level)) << c.level;
    EXPECT_STREQ(c.bracketed, LogLineFormat::BracketedLabel(c.level)) << c.level;
  }
  for (int level : {-1, 7, 100}) {
    EXPECT_EQ(nullptr, LogLineFormat::BracketedLabel(level)) << level;
    wchar_t buffer[64];
    EXPECT_EQ(-1, LogLineFormat::FormatLine(buffer, 64, L"01/02/03", L"04:05:06", 7, 1, 2, level, L"x"));
  }
}

TEST(LogLineFormat, LineLayout) {
  wchar_t buffer[LogLineFormat::kLineCapacity];
  const int length = LogLineFormat::FormatLine(buffer, LogLineFormat::kLineCapacity, L"05/12/26", L"14:03:27",
                                               81, 4120, 4388, 2, L"text");
  const std::wstring expected = L"05/12/26 14:03:27:081 [P: 4120][T: 4388] [INFO ] - text\r\n";
  EXPECT_EQ(expected, buffer);
  EXPECT_EQ(static_cast<int>(expected.size()), length);
  // Wide process and thread ids are not cut; a % in the text is not interpreted.
  LogLineFormat::FormatLine(buffer, LogLineFormat::kLineCapacity, L"d", L"t", 999, 123456, 7, 4, L"%s %d");
  EXPECT_EQ(std::wstring(L"d t:999 [P:123456][T:    7] [ ERROR  ] - %s %d\r\n"), buffer);
}

TEST(LogLineFormat, LineOfCapacityMinusOneFitsAndLongerIsDroppedNotCut) {
  wchar_t probe[LogLineFormat::kLineCapacity];
  const int prefixAndCrLf =
      LogLineFormat::FormatLine(probe, LogLineFormat::kLineCapacity, L"05/12/26", L"14:03:27", 0, 1, 1, 3, L"");
  ASSERT_GT(prefixAndCrLf, 0);
  const size_t fitting = LogLineFormat::kLineCapacity - 1 - prefixAndCrLf;
  std::vector<wchar_t> buffer(LogLineFormat::kLineCapacity);
  EXPECT_EQ(3199, LogLineFormat::FormatLine(buffer.data(), buffer.size(), L"05/12/26", L"14:03:27", 0, 1, 1, 3,
                                            std::wstring(fitting, L'a').c_str()));
  EXPECT_EQ(-1, LogLineFormat::FormatLine(buffer.data(), buffer.size(), L"05/12/26", L"14:03:27", 0, 1, 1, 3,
                                          std::wstring(fitting + 1, L'a').c_str()));
  EXPECT_EQ(L'\0', buffer[0]);
}

TEST(LogLineFormat, MessageOf5119CharactersFitsAnd5120IsDropped) {
  std::vector<wchar_t> wide(LogLineFormat::kMessageCapacity);
  EXPECT_EQ(5119, FormatWide(wide.data(), wide.size(), L"%s", std::wstring(5119, L'w').c_str()));
  EXPECT_EQ(-1, FormatWide(wide.data(), wide.size(), L"%s", std::wstring(5120, L'w').c_str()));
  std::vector<char> narrow(LogLineFormat::kMessageCapacity);
  EXPECT_EQ(5119, FormatNarrow(narrow.data(), narrow.size(), "%s", std::string(5119, 'n').c_str()));
  EXPECT_EQ(-1, FormatNarrow(narrow.data(), narrow.size(), "%s", std::string(5120, 'n').c_str()));
  // Microsoft rules: %s in a wide format takes a wide string.
  EXPECT_EQ(9, FormatWide(wide.data(), wide.size(), L"%s-%d", L"wide", 1234));
  EXPECT_EQ(std::wstring(L"wide-1234"), wide.data());
}

TEST(LogLineFormat, ComposedLineEqualsTheFormattedOne) {
  SYSTEMTIME time = {};
  time.wYear = 2026;
  time.wMonth = 1;
  time.wDay = 31;
  time.wHour = 23;
  time.wMinute = 59;
  const std::wstring longText(3100, L'q');
  for (const WORD ms : std::initializer_list<WORD>{0, 7, 81, 999}) {
    for (int level = 1; level <= 6; ++level) {
      time.wSecond = static_cast<WORD>(ms % 60);
      time.wMilliseconds = ms;
      const auto text = LogLineFormat::FormatDateTime(time);
      const std::wstring date = text.date, clock = text.time;
      for (const std::wstring& message : {std::wstring(L"short"), longText, longText + L"too long"}) {
        wchar_t composed[LogLineFormat::kLineCapacity];
        wchar_t formatted[LogLineFormat::kLineCapacity];
        const int a = LogLineFormat::ComposeLine(composed, LogLineFormat::kLineCapacity, time, 4120,
                                                 static_cast<DWORD>(ms) * 100, level, message.c_str());
        const int b = LogLineFormat::FormatLine(formatted, LogLineFormat::kLineCapacity, date.c_str(),
                                                clock.c_str(), ms, 4120, static_cast<DWORD>(ms) * 100, level,
                                                message.c_str());
        EXPECT_EQ(b, a);
        EXPECT_EQ(std::wstring(formatted), std::wstring(composed));
      }
    }
  }
}

TEST(LogLineFormat, DateAndTimePictures) {
  SYSTEMTIME time = {};
  time.wYear = 2026;
  time.wMonth = 12;
  time.wDay = 5;
  time.wHour = 14;
  time.wMinute = 3;
  time.wSecond = 27;
  auto text = LogLineFormat::FormatDateTime(time);
  EXPECT_STREQ(L"05/12/26", text.date);
  EXPECT_STREQ(L"14:03:27", text.time);
  time.wSecond = 28;  // the next second is formatted anew
  text = LogLineFormat::FormatDateTime(time);
  EXPECT_STREQ(L"14:03:28", text.time);
  time.wDay = 6;
  time.wHour = 9;
  text = LogLineFormat::FormatDateTime(time);
  EXPECT_STREQ(L"06/12/26", text.date);
  EXPECT_STREQ(L"09:03:28", text.time);
}

TEST(LoggerConfig, OnlyAFourByteDwordIsUsable) {
  const BYTE four[4] = {0x06, 0, 0, 0};
  const BYTE eight[8] = {0x06, 0, 0, 0, 0, 0, 0, 0};
  const BYTE text[6] = {'6', 0, 0, 0, 0, 0};
  const struct {
    LoggerConfig::RawValue raw;
    bool usable;
  } cases[] = {
      {{ERROR_SUCCESS, REG_DWORD, 4, four}, true},
      {{ERROR_FILE_NOT_FOUND, REG_DWORD, 4, four}, false},
      {{ERROR_MORE_DATA, REG_DWORD, 4, four}, false},
      {{ERROR_SUCCESS, REG_SZ, 4, text}, false},
      {{ERROR_SUCCESS, REG_QWORD, 8, eight}, false},
      {{ERROR_SUCCESS, REG_DWORD, 8, eight}, false},
      {{ERROR_SUCCESS, REG_DWORD, 2, four}, false},
      {{ERROR_SUCCESS, REG_BINARY, 4, four}, false},
  };
  for (const auto& c : cases) {
    DWORD value = 12345;
    EXPECT_EQ(c.usable, LoggerConfig::ReadDword(c.raw, &value)) << c.raw.type << "/" << c.raw.size;
    EXPECT_EQ(c.usable ? 6u : 12345u, value);
  }
}

TEST(LoggerConfig, ThresholdIsSignedAndSizeIsClamped) {
  EXPECT_EQ(-1, LoggerConfig::ThresholdFromValue(0xFFFFFFFF));
  EXPECT_EQ(6, LoggerConfig::ThresholdFromValue(6));
  const struct {
    DWORD megabytes;
    DWORD bytes;
  } cases[] = {{0, 1u << 20},  {1, 1u << 20},           {10, 10485760},
               {4095, 4095u << 20}, {4096, 4095u << 20}, {0xFFFFFFFF, 4095u << 20}};
  for (const auto& c : cases) EXPECT_EQ(c.bytes, LoggerConfig::MaxSizeFromMegabytes(c.megabytes)) << c.megabytes;
  EXPECT_EQ(10u, LoggerConfig::MegabytesFromMaxSize(LoggerConfig::kDefaultMaxSize));
}

TEST(LogFileName, ModuleClassesAndNames) {
  LogFileName::NameInputs inputs;
  inputs.sessionId = 3;
  inputs.processId = 4120;
  inputs.timeText = L"14-03-27";
  inputs.dateText = L"05-12-26";
  const struct {
    const wchar_t* exeName;
    bool package, bootstrap, timestamped;
    const wchar_t* fileName;
  } cases[] = {
      {L"SentrelSrv", false, false, false, L"SentrelSrv.log"},
      {L"ShieldPack", true, false, false, L"SentrelSrv.log"},
      {L"sievepack", true, false, false, L"SentrelSrv.log"},
      {L"deploy", true, false, true, L"SentrelSrv_[14-03-27][05-12-26].log"},
      {L"REMOVER", true, false, true, L"SentrelSrv_[14-03-27][05-12-26].log"},
      {L"trustkit", true, false, false, L"SentrelSrv.log"},
      {L"refresher", false, false, true, L"SentrelSrv_[14-03-27][05-12-26].log"},
      {L"boot64", false, true, true, L"SentrelSrv_[14-03-27][05-12-26].log"},
      {L"Hub.Console", false, false, false, L"SentrelSrv_CPlus.log"},
      {L"hub.admin", false, false, false, L"SentrelSrv_CPlus.log"},
      {L"Hub.Events", false, false, false, L"SentrelSrv3_CPlus.log"},
      {L"webscan2", false, false, false, L"SentrelSrv4120.log"},
      {L"deployer", false, false, false, L"SentrelSrv.log"},
  };
  for (const auto& c : cases) {
    inputs.exeName = c.exeName;
    EXPECT_EQ(c.package, LogFileName::IsPackageModule(c.exeName)) << c.exeName;
    EXPECT_EQ(c.bootstrap, LogFileName::IsBootstrapModule(c.exeName)) << c.exeName;
    EXPECT_EQ(c.timestamped, LogFileName::IsTimestampedModule(c.exeName)) << c.exeName;
    EXPECT_EQ(std::wstring(c.fileName), LogFileName::BuildFileName(L"SentrelSrv", inputs)) << c.exeName;
  }
}

TEST(LogFileName, FolderPrefixes) {
  std::vector<std::wstring> prefixes;
  ASSERT_TRUE(LogFileName::FolderPrefixes(L"C:\\ProgramData/VeltraneTng\\Logs", &prefixes));
  EXPECT_EQ((std::vector<std::wstring>{L"C:\\ProgramData\\", L"C:\\ProgramData\\VeltraneTng\\",
                                       L"C:\\ProgramData\\VeltraneTng\\Logs\\"}),
            prefixes);
  ASSERT_TRUE(LogFileName::FolderPrefixes(L"\\\\server\\share\\Logs\\", &prefixes));
  EXPECT_EQ((std::vector<std::wstring>{L"\\\\server\\", L"\\\\server\\share\\", L"\\\\server\\share\\Logs\\"}),
            prefixes);
  for (const wchar_t* bad : {L"", L"Logs\\SentrelSrv\\", L"\\Logs\\", L"C"}) {
    EXPECT_FALSE(LogFileName::FolderPrefixes(bad, &prefixes)) << bad;
    EXPECT_TRUE(prefixes.empty());
  }
}
