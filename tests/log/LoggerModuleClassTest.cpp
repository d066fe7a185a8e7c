// The process logger's folder and file name for the suite's module classes: the test
// binary is copied under a module's name and run as a child, so that the real
// Logger::Instance() of a process with that name chooses its place.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "common/TextConversion.h"
#include "log/Logger.h"
#include "plugins/ProductLocations.h"
#include "support/ChildProcess.h"
#include "support/ScratchFiles.h"
#include "support/LogFileReader.h"

namespace {

using test_support::DeleteTree;
using test_support::FilesIn;

SENTREL_CHILD(L"log-module-class", args) {
  Logger& logger = Logger::Instance();
  if (!logger.IsEnabled() || args.empty()) return 1;
  logger.Log(LogLevel::Warn, L"module class line %s", args[0].c_str());
  return 0;
}



TEST(MachineLoggerModuleClass, FolderAndFileNameFollowTheModuleName) {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring binFolder = std::wstring(temp) + test_support::UniqueName(L"LogModules");
  ASSERT_TRUE(::CreateDirectoryW(binFolder.c_str(), nullptr));

  DWORD session = 0xFFFFFFFF;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  const std::wstring logs = ProductLocations::GetLogsFolder();
  const std::wstring storedLogs = ProductLocations::GetStoredDataLogsFolder();
  ASSERT_FALSE(logs.empty());
  const std::wstring stamp = L"_\\[\\d\\d-\\d\\d-\\d\\d\\]\\[\\d\\d-\\d\\d-\\d\\d\\]\\.log";
  const struct {
    const wchar_t* module;
    std::wstring baseFolder;
    std::wstring filePattern;  // {pid} is the child's process id
  } cases[] = {
      {L"deploy", storedLogs, L"deploy" + stamp},
      {L"boot64", logs, L"boot64" + stamp},
      {L"refresher", logs, L"refresher" + stamp},
      {L"webscan2", logs, L"webscan2{pid}\\.log"},
      {L"Hub.Events", logs, L"Hub\\.Events" + std::to_wstring(session) + L"_CPlus\\.log"},
      {L"Hub.Admin", logs, L"Hub\\.Admin_CPlus\\.log"},
  };

  SYSTEMTIME now;
  ::GetLocalTime(&now);
  wchar_t today[64] = {};
  ::GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &now, L"dd-MM-yy", today, 64);

  for (const auto& c : cases) {
    SCOPED_TRACE(c.module);
    const std::wstring exe = binFolder + L"\\" + c.module + L".exe";
    ASSERT_TRUE(::CopyFileW(test_support::SelfPath().c_str(), exe.c_str(), FALSE));
    const std::wstring folder = AddTrailingBackslash(c.baseFolder) + c.module;
    DeleteTree(folder);
    const std::wstring marker = test_support::UniqueName(L"marker");

    auto child = test_support::ChildProcess::StartCommandLine(test_support::QuoteArgument(exe) +
                                                              L" --child=log-module-class " + marker);
    ASSERT_TRUE(child.valid());
    DWORD exitCode = 99;
    ASSERT_TRUE(child.Wait(60000, &exitCode));
    EXPECT_EQ(0u, exitCode);

    std::wstring pattern = c.filePattern;
    const size_t pid = pattern.find(L"{pid}");
    if (pid != std::wstring::npos) pattern.replace(pid, 5, std::to_wstring(child.pid()));
    const auto files = FilesIn(folder);
    ASSERT_EQ(1u, files.size());
    EXPECT_TRUE(std::regex_match(files[0], std::wregex(pattern))) << files[0];
    if (c.filePattern.find(L"\\]\\[") != std::wstring::npos) {
      // The time comes first, the date second.
      EXPECT_NE(std::wstring::npos, files[0].find(std::wstring(L"][") + today + L"].log")) << files[0];
    }

    const auto content = test_support::ReadLogFile(folder + L"\\" + files[0]);
    EXPECT_TRUE(content.hasBom);
    ASSERT_EQ(4u, content.lines.size());
    EXPECT_NE(std::wstring::npos, content.lines[1].find(std::wstring(L"Module Name[") + c.module + L"]"));
    EXPECT_NE(std::wstring::npos, content.lines[3].find(L"module class line " + marker));

    DeleteTree(folder);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(L"SOFTWARE\\Veltrane\\Logger\\") + c.module).c_str());
  }
  DeleteTree(binFolder);
}

}  // namespace
