// The archiver's names and command line, from plain strings.
#include <gtest/gtest.h>

#include "log/ArchiveNames.h"

TEST(ArchiveNames, ToolPathIsQuotedAndJoinedWithTheSeparatorStep) {
  const struct {
    const wchar_t* folder;
    const wchar_t* expected;
  } cases[] = {
      {L"C:\\ProgramData", L"\"C:\\ProgramData\\Veltrane\\Consumer\\KAL\\9\\Compactor.exe\""},
      {L"C:\\ProgramData\\", L"\"C:\\ProgramData\\Veltrane\\Consumer\\KAL\\9\\Compactor.exe\""},
      {L"C:", L"\"C:Veltrane\\Consumer\\KAL\\9\\Compactor.exe\""},
      {L"", L"\"Veltrane\\Consumer\\KAL\\9\\Compactor.exe\""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, ArchiveNames::QuotedToolPath(c.folder));
}

TEST(ArchiveNames, ArchivedNamePutsDateThenTimeBeforeTheExtension) {
  const std::wstring date = L"05-12-26";
  const std::wstring time = L"14-03-27";
  const struct {
    std::wstring logPath;
    std::wstring expected;
  } cases[] = {
      {L"C:\\Logs\\SentrelSrv\\SentrelSrv.log", L"C:\\Logs\\SentrelSrv\\SentrelSrv[05-12-26][14-03-27].log"},
      {L"C:\\L\\log.log.log", L"C:\\L\\log.log[05-12-26][14-03-27].log"},  // last occurrence
      {L"C:\\L\\x.tar.gz", L"C:\\L\\x.tar[05-12-26][14-03-27].gz"},
      {L"C:\\L\\.log", L"C:\\L\\[05-12-26][14-03-27].log"},
      {L"\\\\server\\share\\a.txt", L"\\\\server\\share\\a[05-12-26][14-03-27].txt"},
      // No extension in the last component: nothing to archive under.
      {L"C:\\L\\noext", L""},
      {L"C:\\dir.d\\noext", L""},
      {L"noext", L""},
      {L"", L""},
      // An extension longer than the path split's buffer.
      {L"C:\\L\\a." + std::wstring(255, L'x'), L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, ArchiveNames::ArchivedName(c.logPath, date, time)) << c.logPath;
  }
}

TEST(ArchiveNames, OutputNameFallsBackToTheSecondsCount) {
  const std::wstring archived = L"C:\\L\\S[05-12-26][14-03-27].log";
  EXPECT_EQ(L"D:\\out.gz", ArchiveNames::OutputName(L"D:\\out.gz", archived, true, 1));
  EXPECT_EQ(archived + L".gz", ArchiveNames::OutputName(L"", archived, false, 1796479407ULL));
  // 14:03:27 UTC on 5 December 2026.
  EXPECT_EQ(archived + L"1796479407.gz", ArchiveNames::OutputName(L"", archived, true, 1796479407ULL));
}

TEST(ArchiveNames, CommandLineQuotesBothFiles) {
  EXPECT_EQ(L"\"C:\\P\\Compactor.exe\" -compressfile \"C:\\L\\a [1].log\" \"C:\\L\\a [1].log.gz\"",
            ArchiveNames::CommandLine(L"\"C:\\P\\Compactor.exe\"", L"C:\\L\\a [1].log",
                                      L"C:\\L\\a [1].log.gz"));
}
