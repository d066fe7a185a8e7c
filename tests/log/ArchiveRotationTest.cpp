// The logger's rotation end to end: a real Logger with a 1 MiB limit writes past it,
// the real Compactor.exe packs the full files, and every file is read back and decoded.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "ArchiveTestFiles.h"
#include "log/Logger.h"
#include "plugins/ProductLocations.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"

using namespace archive_test;

namespace {

const DWORD kCompactorWaitMs = 120000;

// A logger of its own in a scratch folder, with a 1 MiB limit ("max_size_mb" 0).
struct RotatingLogger {
  RotatingLogger()
      : name(test_support::UniqueName(L"ArchRot")), key(name, 2, 0),
        logger(new Logger(name, scratch.path())) {}
  std::wstring folder() const { return scratch / name; }
  std::wstring liveName() const { return name + L".log"; }

  ScratchFolder scratch;
  std::wstring name;
  ScratchLoggerKey key;
  std::unique_ptr<Logger> logger;
};

// The message of a line written by this test: "rot t<thread> n<number>".
bool ParseMessage(const std::wstring& line, int* thread, int* number) {
  const size_t dash = line.find(L" - ");
  if (dash == std::wstring::npos) return false;
  // Prefix: "dd/MM/yy HH:mm:ss:mmm [P:ppppp][T:ttttt] [INFO ]"
  if (dash != 48 || line.compare(dash - 7, 7, L"[INFO ]") != 0) return false;
  wchar_t tail = 0;
  return swscanf(line.c_str() + dash + 3, L"rot t%d n%d%lc", thread, number, &tail) == 2;
}

bool IsHeaderLine(const std::wstring& line) {
  return line.find(L"Logger Started") != std::wstring::npos ||
         line.find(L"[ALW  ] - ____") != std::wstring::npos;
}

struct Tally {
  size_t lost = 0, duplicated = 0, torn = 0, outOfOrder = 0, files = 0, badFiles = 0;
};

// Counts every numbered line of `threads` x `perThread` across all files of the folder.
Tally CountLines(const LogFolderContent& content, int threads, int perThread) {
  Tally tally;
  std::vector<std::vector<int>> seen(threads, std::vector<int>(perThread, 0));
  std::vector<const test_support::LogFileContent*> files = {&content.live};
  for (const auto& f : content.archives) files.push_back(&f);
  for (const auto& f : content.leftovers) files.push_back(&f);
  for (const auto* file : files) {
    ++tally.files;
    // Every file starts with its mark, holds no other, and ends with a whole line.
    if (!file->exists || !file->hasBom || file->bomCount != 1 || !file->endsWithCrLf) ++tally.badFiles;
    std::vector<int> last(threads, -1);
    for (const auto& line : file->lines) {
      int thread = -1, number = -1;
      if (!ParseMessage(line, &thread, &number) || thread < 0 || thread >= threads || number < 0 ||
          number >= perThread) {
        if (!IsHeaderLine(line)) ++tally.torn;
        continue;
      }
      ++seen[thread][number];
      if (number < last[thread]) ++tally.outOfOrder;
      last[thread] = number;
    }
  }
  for (const auto& row : seen) {
    for (int count : row) {
      if (count == 0) ++tally.lost;
      if (count > 1) tally.duplicated += count - 1;
    }
  }
  return tally;
}

// When ARCHIVE_TEST_COPY_TO names a folder, the archives are copied there so that a
// script can check them from Linux with gzip.
void CopyArchivesForInspection(const std::wstring& folder, const LogFolderContent& content) {
  const wchar_t* target = _wgetenv(L"ARCHIVE_TEST_COPY_TO");
  if (target == nullptr || *target == 0) return;
  for (const auto& name : content.archiveNames) {
    ::CopyFileW((folder + L"\\" + name).c_str(), (std::wstring(target) + L"\\" + name).c_str(), FALSE);
  }
}

void WriteNumberedLines(Logger& logger, int threads, int perThread) {
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&logger, t, perThread] {
      for (int i = 0; i < perThread; ++i) logger.Log(LogLevel::Info, L"rot t%d n%05d", t, i);
    });
  }
  for (auto& writer : writers) writer.join();
}

}  // namespace

TEST(MachineLogRotation, FullFilesBecomeGzipArchivesAndTheNewFileStartsWithBom) {
  ASSERT_TRUE(EnsureCompactorInstalled());
  RotatingLogger rotating;
  ASSERT_TRUE(rotating.logger->IsEnabled());
  ASSERT_EQ(1048576u, rotating.logger->MaxSize());
  const int kLines = 25000;  // about 3 MB of UTF-16
  WriteNumberedLines(*rotating.logger, 1, kLines);
  rotating.logger.reset();
  ASSERT_TRUE(WaitForCompactors(rotating.folder(), kCompactorWaitMs));

  const auto content = ReadLogFolder(rotating.folder(), rotating.liveName());
  CopyArchivesForInspection(rotating.folder(), content);
  ASSERT_TRUE(content.live.exists);
  EXPECT_TRUE(content.live.hasBom);
  ASSERT_GE(content.archives.size(), 1u);
  EXPECT_EQ(0u, content.badArchives);
  EXPECT_EQ(0u, content.leftovers.size());
  EXPECT_TRUE(content.otherNames.empty());
  for (const auto& name : content.archiveNames) {
    // <name>[dd-MM-yy][HH-mm-ss].log.gz, or with the seconds count before ".gz"
    EXPECT_EQ(0u, name.find(rotating.name + L"[")) << name;
    EXPECT_NE(std::wstring::npos, name.find(L"].log")) << name;
  }
  // The first archive holds the first lines, header included; each archive is a whole
  // log of at least the limit.
  const Tally tally = CountLines(content, 1, kLines);
  EXPECT_EQ(0u, tally.lost);
  EXPECT_EQ(0u, tally.duplicated);
  EXPECT_EQ(0u, tally.torn);
  EXPECT_EQ(0u, tally.outOfOrder);
  EXPECT_EQ(0u, tally.badFiles);
  for (const auto& archive : content.archives) {
    EXPECT_GE(archive.text.size() * 2 + 2, 1048576u);
  }
}

// Eight threads, 20,000 lines each, 1 MiB files: many rotations, several within one
// second (the archived name is then taken, the rename fails and the full file stays
// until a later line tries again). Every line must be found exactly once, whole.
TEST(MachineLogRotation, ConcurrentWritersLoseNoLineAcrossRotations) {
  ASSERT_TRUE(EnsureCompactorInstalled());
  RotatingLogger rotating;
  ASSERT_TRUE(rotating.logger->IsEnabled());
  const int kThreads = 8;
  const int kPerThread = 20000;
  WriteNumberedLines(*rotating.logger, kThreads, kPerThread);
  rotating.logger.reset();
  const bool settled = WaitForCompactors(rotating.folder(), kCompactorWaitMs);

  const auto content = ReadLogFolder(rotating.folder(), rotating.liveName());
  const Tally tally = CountLines(content, kThreads, kPerThread);
  printf("figure log-rotation-lines-lost: %u\n", static_cast<unsigned>(tally.lost));
  printf("figure log-rotation-lines-duplicated: %u\n", static_cast<unsigned>(tally.duplicated));
  printf("figure log-rotation-lines-torn: %u\n", static_cast<unsigned>(tally.torn));
  printf("figure log-rotation-archives: %u\n", static_cast<unsigned>(content.archives.size()));
  printf("figure log-rotation-unpacked-leftovers: %u\n",
         static_cast<unsigned>(content.leftovers.size()));
  fflush(stdout);

  EXPECT_TRUE(settled);
  EXPECT_EQ(0u, tally.lost);
  EXPECT_EQ(0u, tally.duplicated);
  EXPECT_EQ(0u, tally.torn);
  EXPECT_EQ(0u, tally.outOfOrder);
  EXPECT_EQ(0u, tally.badFiles);
  EXPECT_EQ(0u, content.badArchives);
  EXPECT_TRUE(content.otherNames.empty());
  EXPECT_GE(content.archives.size(), 2u);
}

// Without the tool the full file is still moved aside, whole and uncompressed, and the
// logger goes on in a fresh file that starts with its mark.
TEST(MachineLogRotation, WithoutTheToolTheMovedLogStaysWholeAndLoggingGoesOn) {
  CompactorMovedAway away;
  ASSERT_TRUE(away.moved());

  RotatingLogger rotating;
  ASSERT_TRUE(rotating.logger->IsEnabled());
  const int kLines = 10000;  // about 1.2 MB: one rotation
  WriteNumberedLines(*rotating.logger, 1, kLines);
  rotating.logger.reset();

  // The failed start is reported in this process's own log, with the whole command line.
  const auto reported = test_support::OwnLogLinesContaining(L"ExCreateProces failed, app=");
  size_t aboutThisLog = 0;
  for (const auto& line : reported) {
    if (line.find(L" -compressfile \"" + rotating.folder() + L"\\" + rotating.name + L"[") !=
        std::wstring::npos) {
      ++aboutThisLog;
    }
  }
  EXPECT_EQ(1u, aboutThisLog);

  const auto content = ReadLogFolder(rotating.folder(), rotating.liveName());
  EXPECT_EQ(0u, content.archives.size());
  ASSERT_EQ(1u, content.leftovers.size());
  EXPECT_TRUE(content.live.hasBom);
  EXPECT_FALSE(content.live.lines.empty());
  EXPECT_GE(content.leftovers[0].text.size() * 2 + 2, 1048576u);
  const Tally tally = CountLines(content, 1, kLines);
  EXPECT_EQ(0u, tally.lost);
  EXPECT_EQ(0u, tally.duplicated);
  EXPECT_EQ(0u, tally.torn);
  EXPECT_EQ(0u, tally.badFiles);
}

// A process whose own logger rotates without the tool: the archiver's failure line is
// logged while the full file is being handed over, and must land in the new file.
SENTREL_CHILD(L"rotating-process-logger", args) {
  for (int n = 0; n < 10000; ++n) Logger::Instance().Log(LogLevel::Info, L"own rot n%d", n);
  return Logger::Instance().IsEnabled() ? 0 : 1;
}

TEST(MachineLogRotation, TheArchiverFailureLineOfTheProcessLoggerIsKept) {
  CompactorMovedAway away;
  ASSERT_TRUE(away.moved());

  // A copy of this binary under a module name of its own, so that its process logger
  // has its own folder and settings (1 MiB limit).
  ScratchFolder bin;
  const std::wstring module = test_support::UniqueName(L"OwnRot");
  const std::wstring exe = bin / (module + L".exe");
  ASSERT_TRUE(::CopyFileW(test_support::SelfPath().c_str(), exe.c_str(), FALSE));
  ScratchLoggerKey key(module, 2, 0);
  const std::wstring folder = ProductLocations::GetLogsFolder() + L"\\" + module;

  auto child = test_support::ChildProcess::StartCommandLine(test_support::QuoteArgument(exe) +
                                                            L" --child=rotating-process-logger");
  ASSERT_TRUE(child.valid());
  DWORD exitCode = 99;
  ASSERT_TRUE(child.Wait(60000, &exitCode));
  EXPECT_EQ(0u, exitCode);

  const auto content = ReadLogFolder(folder, module + L".log");
  EXPECT_TRUE(content.live.hasBom);
  ASSERT_EQ(1u, content.leftovers.size());
  size_t failureLines = 0;
  for (const auto& line : content.live.lines) {
    if (line.find(L"[ ERROR  ] - ExCreateProces failed, app=") != std::wstring::npos &&
        line.find(L" -compressfile \"" + folder + L"\\" + module + L"[") != std::wstring::npos) {
      ++failureLines;
    }
  }
  EXPECT_EQ(1u, failureLines);

  for (const auto& name : FilesIn(folder)) ::DeleteFileW((folder + L"\\" + name).c_str());
  ::RemoveDirectoryW(folder.c_str());
}
