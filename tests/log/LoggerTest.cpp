// The logger writing real files, configured through the real registry.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/TextConversion.h"
#include "common/UniqueHandle.h"
#include "log/Logger.h"
#include "plugins/ProductLocations.h"
#include "support/ChildProcess.h"
#include "support/ScratchFiles.h"
#include "support/LogFileReader.h"

namespace {

using test_support::DeleteTree;
using test_support::FilesIn;

const std::wstring kUnderscores(98, L'_');

std::wstring KeyPath(const std::wstring& name) { return L"SOFTWARE\\Veltrane\\Logger\\" + name; }

void SetValue(const std::wstring& name, const wchar_t* valueName, DWORD type, const void* data, DWORD size) {
  UniqueHKey key;
  ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath(name).c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), valueName, 0, type, static_cast<const BYTE*>(data), size));
}

void SetDword(const std::wstring& name, const wchar_t* valueName, DWORD value) {
  SetValue(name, valueName, REG_DWORD, &value, sizeof(value));
}

// The value as stored: its type, and the DWORD when it is one.
bool GetDword(const std::wstring& name, const wchar_t* valueName, DWORD* value) {
  UniqueHKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(name).c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return false;
  DWORD type = 0;
  DWORD size = sizeof(*value);
  return ::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && size == 4;
}



std::wstring Padded(DWORD id) {
  wchar_t text[32];
  _snwprintf(text, 32, L"%5lu", static_cast<unsigned long>(id));
  return text;
}

struct ParsedLine {
  bool ok = false;
  std::wstring date, time, ms, pid, tid, label, text;
};

ParsedLine Parse(const std::wstring& line) {
  static const std::wregex pattern(
      L"^(\\d\\d/\\d\\d/\\d\\d) (\\d\\d:\\d\\d:\\d\\d):(\\d\\d\\d) \\[P:([ 0-9]{5,})\\]\\[T:([ 0-9]{5,})\\] "
      L"(\\[DEBUG\\]|\\[INFO \\]|\\[WARN\\]|\\[ ERROR  \\]|\\[ FATAL \\]|\\[ALW  \\]) - ([\\s\\S]*)$");
  ParsedLine parsed;
  std::wsmatch match;
  if (!std::regex_match(line, match, pattern)) return parsed;
  parsed.ok = true;
  parsed.date = match[1];
  parsed.time = match[2];
  parsed.ms = match[3];
  parsed.pid = match[4];
  parsed.tid = match[5];
  parsed.label = match[6];
  parsed.text = match[7];
  return parsed;
}

// A module of its own: a unique name, its registry key and a scratch logs folder, all
// removed at the end.
struct ScratchModule {
  void Init() {
    name_ = test_support::UniqueName(L"LogTest");
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    logsFolder_ = std::wstring(temp) + test_support::UniqueName(L"Logs");
  }
  void Cleanup() {
    logger_.reset();
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, KeyPath(name_).c_str());
    DeleteTree(logsFolder_);
  }

  Logger& Make() {
    logger_.reset(new Logger(name_, logsFolder_));
    return *logger_;
  }
  std::wstring ExpectedPath() const { return logsFolder_ + L"\\" + name_ + L"\\" + name_ + L".log"; }
  test_support::LogFileContent Read() const { return test_support::ReadLogFile(ExpectedPath()); }
  // The lines after the three header lines.
  std::vector<std::wstring> Body() const {
    auto lines = Read().lines;
    return lines.size() > 3 ? std::vector<std::wstring>(lines.begin() + 3, lines.end()) : std::vector<std::wstring>();
  }

  std::wstring name_;
  std::wstring logsFolder_;
  std::unique_ptr<Logger> logger_;
};

class LoggerFile : public ::testing::Test, public ScratchModule {
 protected:
  void SetUp() override { Init(); }
  void TearDown() override { Cleanup(); }
};

TEST_F(LoggerFile, NewFileStartsWithOneMarkAndTheHeaderAndDefaultsAreWrittenBack) {
  Logger& logger = Make();
  EXPECT_EQ(ExpectedPath(), logger.FilePath());
  EXPECT_TRUE(logger.IsEnabled());
  EXPECT_EQ(2, logger.Threshold());
  EXPECT_EQ(10485760u, logger.MaxSize());
  DWORD value = 0;
  EXPECT_TRUE(GetDword(name_, L"level", &value));
  EXPECT_EQ(2u, value);
  EXPECT_TRUE(GetDword(name_, L"max_size_mb", &value));
  EXPECT_EQ(10u, value);

  logger.Log(LogLevel::Warn, L"after the header");
  const auto content = Read();
  ASSERT_TRUE(content.exists);
  EXPECT_TRUE(content.hasBom);
  EXPECT_EQ(1u, content.bomCount);
  EXPECT_TRUE(content.endsWithCrLf);
  ASSERT_EQ(4u, content.lines.size());

  wchar_t exe[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring exeName = exe;
  exeName = exeName.substr(exeName.find_last_of(L'\\') + 1);
  exeName = exeName.substr(0, exeName.find_last_of(L'.'));
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD computerLength = MAX_COMPUTERNAME_LENGTH + 1;
  ::GetComputerNameW(computer, &computerLength);
  wchar_t user[256] = {};
  DWORD userLength = 256;
  ::GetUserNameW(user, &userLength);

  const std::wstring headerText[] = {
      kUnderscores,
      std::wstring(L"Logger Started: Machine Name[") + computer + L"], User Name[" + user + L"], Module Name[" +
          exeName + L"], Version[]",
      kUnderscores};
  for (int i = 0; i < 3; ++i) {
    const ParsedLine line = Parse(content.lines[i]);
    ASSERT_TRUE(line.ok) << content.lines[i];
    EXPECT_EQ(L"[ALW  ]", line.label);
    EXPECT_EQ(headerText[i], line.text);
  }
  EXPECT_EQ(L"[WARN]", Parse(content.lines[3]).label);
  EXPECT_EQ(L"after the header", Parse(content.lines[3]).text);
}

TEST_F(LoggerFile, ReopenedFileGetsNoSecondMark) {
  Make().Log(LogLevel::Error, L"first run");
  logger_.reset();
  Make().Log(LogLevel::Error, L"second run");
  const auto content = Read();
  EXPECT_TRUE(content.hasBom);
  EXPECT_EQ(1u, content.bomCount);
  EXPECT_EQ(8u, content.lines.size());  // two headers of three lines, two messages
}

TEST_F(LoggerFile, LineLayoutFieldByField) {
  Logger& logger = Make();
  SYSTEMTIME before;
  ::GetLocalTime(&before);
  logger.Log(LogLevel::Info, L"value %d of %s", 42, L"wide text");
  const auto body = Body();
  ASSERT_EQ(1u, body.size());
  const ParsedLine line = Parse(body[0]);
  ASSERT_TRUE(line.ok) << body[0];
  wchar_t year[8];
  _snwprintf(year, 8, L"%02d", before.wYear % 100);
  EXPECT_EQ(year, line.date.substr(6));
  EXPECT_EQ(L'/', line.date[2]);
  EXPECT_EQ(3u, line.ms.size());
  EXPECT_EQ(Padded(::GetCurrentProcessId()), line.pid);
  EXPECT_EQ(Padded(::GetCurrentThreadId()), line.tid);
  EXPECT_EQ(L"[INFO ]", line.label);
  EXPECT_EQ(L"value 42 of wide text", line.text);
  // Exactly one blank on each side of the dash, and nothing after the CR LF.
  EXPECT_NE(std::wstring::npos, body[0].find(L"] [INFO ] - value"));
  EXPECT_TRUE(Read().endsWithCrLf);
}

TEST_F(LoggerFile, AllLevelsWithTheirLabelsWhenLevelIsMinusOne) {
  SetDword(name_, L"level", 0xFFFFFFFF);
  Logger& logger = Make();
  EXPECT_EQ(-1, logger.Threshold());
  for (int level = 0; level <= 7; ++level) logger.Log(level, L"level %d", level);
  const auto body = Body();
  const wchar_t* labels[] = {L"[DEBUG]", L"[INFO ]", L"[WARN]", L"[ ERROR  ]", L"[ FATAL ]", L"[ALW  ]"};
  ASSERT_EQ(6u, body.size());  // levels 0 and 7 are not written
  for (int i = 0; i < 6; ++i) {
    const ParsedLine line = Parse(body[i]);
    EXPECT_EQ(labels[i], line.label) << body[i];
    EXPECT_EQ(L"level " + std::to_wstring(i + 1), line.text);
  }
}

TEST_F(LoggerFile, LevelZeroWritesNoFileAtAll) {
  SetDword(name_, L"level", 0);
  Logger& logger = Make();
  logger.Log(LogLevel::Always, L"never");
  logger.WriteLine(LogLevel::Always, L"never either");
  EXPECT_FALSE(logger.IsEnabled());
  EXPECT_FALSE(logger.IsLevelEnabled(LogLevel::Always));
  EXPECT_FALSE(Read().exists);
  EXPECT_EQ(0xFFFFFFFF, ::GetFileAttributesW(ExpectedPath().c_str()));
}

TEST_F(LoggerFile, LevelSixWritesOnlyAlwaysLinesAndTheHeader) {
  SetDword(name_, L"level", 6);
  Logger& logger = Make();
  for (int level = 1; level <= 6; ++level) logger.Log(level, L"level %d", level);
  EXPECT_FALSE(logger.IsLevelEnabled(LogLevel::Fatal));
  EXPECT_TRUE(logger.IsLevelEnabled(LogLevel::Always));
  const auto content = Read();
  ASSERT_EQ(4u, content.lines.size());
  EXPECT_EQ(kUnderscores, Parse(content.lines[0]).text);
  EXPECT_EQ(L"level 6", Parse(content.lines[3]).text);
}

TEST_F(LoggerFile, DefaultLevelTwoDropsDebug) {
  Logger& logger = Make();
  logger.Log(LogLevel::Debug, L"debug");
  logger.Log(LogLevel::Info, L"info");
  const auto body = Body();
  ASSERT_EQ(1u, body.size());
  EXPECT_EQ(L"info", Parse(body[0]).text);
}

TEST_F(LoggerFile, SizeLimitFromRegistry) {
  const struct {
    bool set;
    DWORD megabytes;
    DWORD expectedBytes;
    DWORD storedAfter;
  } cases[] = {{false, 0, 10485760, 10}, {true, 0, 1u << 20, 0}, {true, 3, 3u << 20, 3},
               {true, 4096, 4095u << 20, 4096}, {true, 0xFFFFFFFF, 4095u << 20, 0xFFFFFFFF}};
  for (const auto& c : cases) {
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, KeyPath(name_).c_str());
    if (c.set) SetDword(name_, L"max_size_mb", c.megabytes);
    EXPECT_EQ(c.expectedBytes, Make().MaxSize()) << c.megabytes;
    DWORD stored = 0;
    EXPECT_TRUE(GetDword(name_, L"max_size_mb", &stored));
    EXPECT_EQ(c.storedAfter, stored);
    // The limit stays above the file: a line does not rotate it.
    logger_->Log(LogLevel::Warn, L"kept");
    EXPECT_EQ(1u, FilesIn(logsFolder_ + L"\\" + name_).size());
    logger_.reset();
  }
}

TEST_F(LoggerFile, ValuesOfTheWrongTypeOrSizeGiveTheDefaultsWrittenBack) {
  const wchar_t text[] = L"6";
  const ULONGLONG eight = 6;
  const struct {
    DWORD type;
    const void* data;
    DWORD size;
  } cases[] = {{REG_SZ, text, sizeof(text)}, {REG_QWORD, &eight, sizeof(eight)}, {REG_BINARY, &eight, 8},
               {REG_DWORD, &eight, 2}};
  for (const auto& c : cases) {
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, KeyPath(name_).c_str());
    SetValue(name_, L"level", c.type, c.data, c.size);
    SetValue(name_, L"max_size_mb", c.type, c.data, c.size);
    Logger& logger = Make();
    EXPECT_EQ(2, logger.Threshold()) << c.type;
    EXPECT_EQ(10485760u, logger.MaxSize()) << c.type;
    DWORD value = 0;
    EXPECT_TRUE(GetDword(name_, L"level", &value));
    EXPECT_EQ(2u, value);
    EXPECT_TRUE(GetDword(name_, L"max_size_mb", &value));
    EXPECT_EQ(10u, value);
    logger_.reset();
  }
}

TEST_F(LoggerFile, TooLongMessagesAndLinesAreDroppedNotCut) {
  Logger& logger = Make();
  logger.Log(LogLevel::Warn, L"x");
  const size_t prefix = Body().at(0).size() - 1;  // everything before the text
  const size_t fitting = 3199 - 2 - prefix;       // a line of 3199 characters with CR LF

  logger.Log(LogLevel::Warn, L"%s", std::wstring(fitting, L'a').c_str());
  logger.Log(LogLevel::Warn, L"%s", std::wstring(fitting + 1, L'b').c_str());
  logger.WriteLine(LogLevel::Warn, std::wstring(fitting + 1, L'c').c_str());
  logger.Log(LogLevel::Warn, L"%s", std::wstring(5120, L'd').c_str());
  logger.Log(LogLevel::Warn, "%s", std::string(fitting, 'e').c_str());
  logger.Log(LogLevel::Warn, "%s", std::string(5120, 'f').c_str());
  logger.Log(LogLevel::Warn, L"end");

  const auto body = Body();
  ASSERT_EQ(4u, body.size());
  EXPECT_EQ(3197u, body[1].size());  // 3199 with its CR LF
  EXPECT_EQ(std::wstring(fitting, L'a'), Parse(body[1]).text);
  EXPECT_EQ(std::wstring(fitting, L'e'), Parse(body[2]).text);
  EXPECT_EQ(L"end", Parse(body[3]).text);
}

TEST_F(LoggerFile, WideAndNarrowFormats) {
  Logger& logger = Make();
  logger.Log(LogLevel::Warn, L"%s|%d|%s", L"wide \u00fc\u4e2d", -5, L"");
  logger.Log(LogLevel::Warn, "%s|%u|\xe9", "narrow", 7u);
  logger.Log(LogLevel::Warn, "");
  const auto body = Body();
  ASSERT_EQ(3u, body.size());
  EXPECT_EQ(L"wide \u00fc\u4e2d|-5|", Parse(body[0]).text);
  EXPECT_EQ(L"narrow|7|" + AnsiToWide("\xe9"), Parse(body[1]).text);
  EXPECT_TRUE(Parse(body[2]).ok);
  EXPECT_EQ(L"", Parse(body[2]).text);
}

TEST_F(LoggerFile, TwoLoggersInOneProcessKeepTheirOwnFiles) {
  Logger& first = Make();
  ScratchModule other;
  other.Init();
  Logger& second = other.Make();
  first.Log(LogLevel::Warn, L"to the first");
  second.Log(LogLevel::Warn, L"to the second");
  first.Log(LogLevel::Warn, L"first again");
  const auto a = Body();
  const auto b = other.Body();
  other.Cleanup();
  ASSERT_EQ(2u, a.size());
  ASSERT_EQ(1u, b.size());
  EXPECT_EQ(L"first again", Parse(a[1]).text);
  EXPECT_EQ(L"to the second", Parse(b[0]).text);
}

TEST_F(LoggerFile, ConcurrentThreadsNeverInterleaveLines) {
  Logger& logger = Make();
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger, &ready, t] {
      ++ready;
      while (ready.load() < kThreads) ::Sleep(0);
      for (int i = 0; i < kLines; ++i) {
        logger.Log(LogLevel::Warn, L"thread %d line %d %s", t, i, std::wstring(40 + (i % 50), L'z').c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const auto content = Read();
  EXPECT_EQ(1u, content.bomCount);
  const auto body = Body();
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), body.size());
  std::map<int, int> next;
  std::map<std::wstring, int> threadIds;
  for (const auto& text : body) {
    const ParsedLine line = Parse(text);
    ASSERT_TRUE(line.ok) << text;
    int t = -1, i = -1;
    ASSERT_EQ(2, swscanf(line.text.c_str(), L"thread %d line %d", &t, &i)) << text;
    EXPECT_EQ(next[t]++, i);  // each thread's lines arrive whole and in order
    EXPECT_EQ(std::wstring(40 + (i % 50), L'z'), line.text.substr(line.text.rfind(L' ') + 1));
    threadIds[line.tid]++;
  }
  EXPECT_EQ(static_cast<size_t>(kThreads), threadIds.size());
}

TEST_F(LoggerFile, FullFileIsHandedToTheArchiverAndANewFileStarts) {
  SetDword(name_, L"max_size_mb", 0);  // 1 MiB
  Logger& logger = Make();
  const std::wstring message(3000, L'r');
  // About 6 KB per line: 200 lines pass the limit once.
  for (int i = 0; i < 200; ++i) logger.Log(LogLevel::Warn, L"%04d %s", i, message.c_str());

  const auto files = FilesIn(logsFolder_ + L"\\" + name_);
  ASSERT_GE(files.size(), 2u);  // the archived file (and perhaps its .gz) beside the new one
  const auto content = Read();
  ASSERT_TRUE(content.exists);
  EXPECT_TRUE(content.hasBom);
  EXPECT_EQ(1u, content.bomCount);
  ASSERT_FALSE(content.lines.empty());
  EXPECT_LT(content.lines.size(), 200u);
  EXPECT_EQ(L"0199 " + message, Parse(content.lines.back()).text);
  bool archived = false;
  for (const auto& file : files) {
    if (file != name_ + L".log" && file.compare(0, name_.size() + 1, name_ + L"[") == 0) archived = true;
  }
  EXPECT_TRUE(archived);
}

TEST_F(LoggerFile, DefaultFolderIsTheSuiteLogsFolder) {
  logger_.reset(new Logger(name_));
  const std::wstring folder = AddTrailingBackslash(ProductLocations::GetLogsFolder()) + name_;
  EXPECT_EQ(folder + L"\\" + name_ + L".log", logger_->FilePath());
  logger_->Log(LogLevel::Warn, L"in the suite folder");
  EXPECT_EQ(4u, test_support::ReadLogFile(logger_->FilePath()).lines.size());
  logger_.reset();
  DeleteTree(folder);
}

TEST_F(LoggerFile, UnusableFolderLeavesLoggingOff) {
  logsFolder_ = L"relative\\Logs";
  Logger& logger = Make();
  EXPECT_EQ(L"", logger.FilePath());
  EXPECT_FALSE(logger.IsEnabled());
  logger.Log(LogLevel::Always, L"nowhere");
}

TEST(LoggerInstance, LogStreamWritesOneLineToTheProcessLog) {
  Logger& logger = Logger::Instance();
  EXPECT_EQ(&logger, &Logger::Instance());
  const std::wstring path = logger.FilePath();
  EXPECT_NE(std::wstring::npos, path.find(L"\\tests_log\\tests_log.log")) << path;
  const std::wstring marker = test_support::UniqueName(L"stream");
  if (logger.IsLevelEnabled(LogLevel::Warn)) {
    LogStream(LogLevel::Warn) << marker << L" count=" << 42 << L" ok";
  }
  const auto lines = test_support::OwnLogLinesContaining(marker);
  ASSERT_EQ(1u, lines.size());
  const ParsedLine line = Parse(lines[0]);
  EXPECT_EQ(L"[WARN]", line.label);
  EXPECT_EQ(marker + L" count=42 ok", line.text);
}

}  // namespace
