// ArchiveLogFile against real files and the real installed Compactor.exe. The tool's
// path is machine-wide, so tests that need it (or take it away) are Machine suites.
#include <gtest/gtest.h>

#include <windows.h>

#include <cwctype>

#include "ArchiveTestFiles.h"
#include "log/ArchiveNames.h"
#include "log/LogArchiver.h"
#include "plugins/ProductLocations.h"
#include "support/LogFileReader.h"

using namespace archive_test;

namespace {

std::string SampleLogBytes(int lines) {
  std::wstring text = L"\xFEFF";
  for (int i = 0; i < lines; ++i) {
    text += L"05/12/26 14:03:27:081 [P: 4120][T: 4388] [INFO ] - sample line " +
            std::to_wstring(i) + L"\r\n";
  }
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// The archived name that a call made `offsetSeconds` from now would choose.
std::wstring ArchivedNameIn(const std::wstring& logPath, int offsetSeconds) {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  FILETIME asFileTime;
  ::SystemTimeToFileTime(&now, &asFileTime);
  ULARGE_INTEGER ticks;
  ticks.LowPart = asFileTime.dwLowDateTime;
  ticks.HighPart = asFileTime.dwHighDateTime;
  ticks.QuadPart += static_cast<ULONGLONG>(offsetSeconds) * 10000000ULL;
  asFileTime.dwLowDateTime = ticks.LowPart;
  asFileTime.dwHighDateTime = ticks.HighPart;
  SYSTEMTIME then;
  ::FileTimeToSystemTime(&asFileTime, &then);
  wchar_t date[260], time[260];
  ::GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &then, L"dd-MM-yy", date, 260);
  ::GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &then, L"HH-mm-ss", time, 260);
  return ArchiveNames::ArchivedName(logPath, date, time);
}

// "<stem>[dd-MM-yy][HH-mm-ss].log" followed by `tail`.
bool IsArchivedName(const std::wstring& name, const std::wstring& stem, const std::wstring& tail) {
  const std::wstring picture = stem + L"[00-00-00][00-00-00].log";
  if (name.size() < picture.size() || name.compare(0, stem.size(), stem) != 0) return false;
  for (size_t i = stem.size(); i < picture.size(); ++i) {
    if (picture[i] == L'0' ? !iswdigit(name[i]) : name[i] != picture[i]) return false;
  }
  return name.substr(picture.size()) == tail;
}


}  // namespace

TEST(LogArchiver, PathWithoutExtensionIsNotArchived) {
  ScratchFolder scratch;
  ASSERT_TRUE(::CreateDirectoryW((scratch / L"dir.d").c_str(), nullptr));
  const std::string original = SampleLogBytes(10);
  for (const std::wstring& path : {scratch / L"noext", scratch / L"dir.d\\noext"}) {
    ASSERT_TRUE(WriteBytes(path, original));
    EXPECT_FALSE(ArchiveLogFile(path, L"", 0));
    EXPECT_TRUE(ReadBytes(path) == original);
  }
  EXPECT_EQ(std::vector<std::wstring>{L"noext"}, FilesIn(scratch.path()));
  EXPECT_EQ(std::vector<std::wstring>{L"noext"}, FilesIn(scratch / L"dir.d"));
}

TEST(MachineLogArchiver, MovesTheLogAsideAndTheToolPacksIt) {
  ASSERT_TRUE(EnsureCompactorInstalled());
  ScratchFolder scratch;
  const std::string original = SampleLogBytes(20000);
  const std::wstring logPath = scratch / L"Mod.log";
  ASSERT_TRUE(WriteBytes(logPath, original));

  EXPECT_TRUE(ArchiveLogFile(logPath, L"", 30000));

  const auto names = FilesIn(scratch.path());
  ASSERT_EQ(1u, names.size());
  EXPECT_TRUE(IsArchivedName(names[0], L"Mod", L".gz")) << names[0];
  const auto archive = ReadArchive(scratch / names[0]);
  ASSERT_TRUE(archive.exists);
  EXPECT_TRUE(archive.hasBom);
  EXPECT_EQ(20000u, archive.lines.size());
  EXPECT_EQ(L"05/12/26 14:03:27:081 [P: 4120][T: 4388] [INFO ] - sample line 19999",
            archive.lines.back());
}

TEST(MachineLogArchiver, WritesTheGivenOutputName) {
  ASSERT_TRUE(EnsureCompactorInstalled());
  ScratchFolder scratch;
  const std::string original = SampleLogBytes(100);
  ASSERT_TRUE(WriteBytes(scratch / L"Mod.log", original));
  EXPECT_TRUE(ArchiveLogFile(scratch / L"Mod.log", scratch / L"chosen.gz", 30000));
  EXPECT_EQ(std::vector<std::wstring>{L"chosen.gz"}, FilesIn(scratch.path()));
  const auto archive = ReadArchive(scratch / L"chosen.gz");
  ASSERT_TRUE(archive.exists);
  EXPECT_EQ(100u, archive.lines.size());
}

// The archive of an earlier rotation in the same second already holds the default name:
// the output gets the seconds count, and the earlier archive stays as it was.
TEST(MachineLogArchiver, TakesTheSecondsNameWhenTheDefaultArchiveExists) {
  ASSERT_TRUE(EnsureCompactorInstalled());
  ScratchFolder scratch;
  const std::wstring logPath = scratch / L"Mod.log";
  ASSERT_TRUE(WriteBytes(logPath, SampleLogBytes(100)));
  for (int offset = 0; offset <= 2; ++offset) {
    ASSERT_TRUE(WriteBytes(ArchivedNameIn(logPath, offset) + L".gz", "earlier"));
  }

  EXPECT_TRUE(ArchiveLogFile(logPath, L"", 30000));

  size_t earlier = 0, withSeconds = 0;
  for (const auto& name : FilesIn(scratch.path())) {
    if (ReadBytes(scratch / name) == "earlier") {
      ++earlier;
      continue;
    }
    // <stem>[date][time].log<seconds>.gz
    ASSERT_TRUE(EndsWith(name, L".gz")) << name;
    const size_t digitsStart = name.find(L".log") + 4;
    const std::wstring digits = name.substr(digitsStart, name.size() - 3 - digitsStart);
    EXPECT_EQ(10u, digits.size()) << name;
    EXPECT_EQ(std::wstring::npos, digits.find_first_not_of(L"0123456789")) << name;
    EXPECT_TRUE(ReadArchive(scratch / name).exists);
    ++withSeconds;
  }
  EXPECT_EQ(3u, earlier);
  EXPECT_EQ(1u, withSeconds);
}

// A second rotation in the same second finds its archived name taken: nothing moves.
TEST(MachineLogArchiver, SameSecondRotationLeavesTheLogInPlace) {
  ScratchFolder scratch;
  const std::wstring logPath = scratch / L"Mod.log";
  const std::string original = SampleLogBytes(100);
  ASSERT_TRUE(WriteBytes(logPath, original));
  for (int offset = 0; offset <= 2; ++offset) {
    ASSERT_TRUE(WriteBytes(ArchivedNameIn(logPath, offset), "earlier rotation"));
  }
  EXPECT_FALSE(ArchiveLogFile(logPath, L"", 0));
  EXPECT_TRUE(ReadBytes(logPath) == original);
  EXPECT_EQ(4u, FilesIn(scratch.path()).size());
}

TEST(MachineLogArchiver, MissingToolIsReportedAndTheMovedLogStaysWhole) {
  ASSERT_TRUE(EnsureCompactorInstalled());
  ScratchFolder scratch;
  const std::wstring logPath = scratch / L"Mod.log";
  const std::string original = SampleLogBytes(5000);
  ASSERT_TRUE(WriteBytes(logPath, original));
  {
    CompactorMovedAway away;
    ASSERT_TRUE(away.moved());
    EXPECT_FALSE(ArchiveLogFile(logPath, L"", 0));
  }

  const auto names = FilesIn(scratch.path());
  ASSERT_EQ(1u, names.size());
  EXPECT_TRUE(IsArchivedName(names[0], L"Mod", L"")) << names[0];
  EXPECT_TRUE(ReadBytes(scratch / names[0]) == original);

  const std::wstring commandLine = ArchiveNames::CommandLine(
      ArchiveNames::QuotedToolPath(ProductLocations::GetCommonAppDataFolder()), scratch / names[0],
      scratch / names[0] + L".gz");
  const auto lines = test_support::OwnLogLinesContaining(L"ExCreateProces failed, app=" + commandLine +
                                                         L", gle=2");
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::wstring::npos, lines[0].find(L"[ ERROR  ] - ExCreateProces failed"));
}

// A third rotation within one second: the default archive and the one with the seconds
// count both exist. The tool could not write either, so the log is not left aside
// unpacked; it goes back under its own name for a later try.
TEST(MachineLogArchiver, PutsTheLogBackWhenBothArchiveNamesAreTaken) {
  ScratchFolder scratch;
  const std::wstring logPath = scratch / L"Mod.log";
  const std::string original = SampleLogBytes(100);
  ASSERT_TRUE(WriteBytes(logPath, original));
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks;
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  const unsigned long long seconds = (ticks.QuadPart - 116444736000000000ULL) / 10000000ULL;
  size_t created = 0;
  for (int offset = 0; offset <= 2; ++offset) {
    const std::wstring archived = ArchivedNameIn(logPath, offset);
    ASSERT_TRUE(WriteBytes(archived + L".gz", "earlier"));
    ++created;
    for (int s = -1; s <= 3; ++s) {
      ASSERT_TRUE(WriteBytes(archived + std::to_wstring(seconds + offset + s) + L".gz", "earlier"));
      ++created;
    }
  }

  EXPECT_FALSE(ArchiveLogFile(logPath, L"", 0));
  EXPECT_TRUE(ReadBytes(logPath) == original);
  EXPECT_EQ(created + 1, FilesIn(scratch.path()).size());
}
