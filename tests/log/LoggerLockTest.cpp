// The logger's line lock: a rotation keeps it only for the rename and the reopen, a
// thread waits for it at most a second (the line is then dropped and reported by the
// next line that gets through), and no way out of the first open leaves it held.
// System calls are made to stall or throw by replacing them in the program's import
// table while the real logger runs.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveTestFiles.h"
#include "common/UniqueHandle.h"
#include "common/TextConversion.h"
#include "log/Logger.h"
#include "plugins/ProductLocations.h"
#include "support/ChildProcess.h"
#include "support/ImportHook.h"
#include "support/LogFileReader.h"

using namespace archive_test;

namespace {

using test_support::ImportHook;

constexpr DWORD kStallLimitMs = 30000;
const wchar_t kDroppedReport[] = L" line(s) dropped, the log was busy for more than 1000 ms";

// One stalled system call at a time: the replacement sets `entered` and waits for
// `release` when its argument lies in `folder`.
struct Stall {
  std::wstring folder;
  UniqueKernelHandle entered{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueKernelHandle release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  void* originalMove = nullptr;

  bool Concerns(const wchar_t* text) const { return text != nullptr && std::wstring(text).find(folder) != std::wstring::npos; }
  void Hold() const {
    ::SetEvent(entered.get());
    ::WaitForSingleObject(release.get(), kStallLimitMs);
  }
};
Stall* g_stall = nullptr;

// Starting the compression tool on a log of the scratch folder stalls, then fails as if
// the tool were missing (no tool process outlives the test).
BOOL WINAPI StallingCreateProcessW(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                   DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  if (g_stall->Concerns(commandLine)) g_stall->Hold();
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

// Renaming a log of the scratch folder stalls, then happens.
BOOL WINAPI StallingMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  if (g_stall->Concerns(from)) g_stall->Hold();
  return reinterpret_cast<decltype(&::MoveFileExW)>(g_stall->originalMove)(from, to, flags);
}

// A logger of its own with a 1 MiB limit in a scratch folder.
struct SmallLogger {
  SmallLogger() : name(test_support::UniqueName(L"LockLog")), key(name, 2, 0), logger(new Logger(name, scratch.path())) {}
  std::wstring folder() const { return scratch / name; }
  // Every line of every log file in the folder (the live file and those moved aside).
  std::vector<std::wstring> AllLines() const {
    std::vector<std::wstring> lines;
    for (const auto& file : FilesIn(folder())) {
      const auto content = test_support::ReadLogFile(folder() + L"\\" + file);
      lines.insert(lines.end(), content.lines.begin(), content.lines.end());
    }
    return lines;
  }

  ScratchFolder scratch;
  std::wstring name;
  ScratchLoggerKey key;
  std::unique_ptr<Logger> logger;
};

size_t CountContaining(const std::vector<std::wstring>& lines, const std::wstring& needle) {
  size_t count = 0;
  for (const auto& line : lines) count += line.find(needle) != std::wstring::npos ? 1 : 0;
  return count;
}

// Logs lines of about 6 KB until one of them reaches the stalled call (about 170 lines
// fill the 1 MiB file), then stops.
std::thread FillUntilStalled(Logger& logger, const Stall& stall) {
  return std::thread([&logger, &stall] {
    const std::wstring text(3000, L'f');
    for (int i = 0; i < 1000 && ::WaitForSingleObject(stall.entered.get(), 0) != WAIT_OBJECT_0; ++i)
      logger.Log(LogLevel::Warn, L"fill %04d %s", i, text.c_str());
  });
}

// Logs one line on a thread of its own; true when the call returned within `ms`.
struct LineOnOtherThread {
  LineOnOtherThread(Logger& logger, const std::wstring& text)
      : done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), thread([this, &logger, text] {
          logger.Log(LogLevel::Warn, L"%s", text.c_str());
          ::SetEvent(done.get());
        }) {}
  bool ReturnedWithin(DWORD ms) const { return ::WaitForSingleObject(done.get(), ms) == WAIT_OBJECT_0; }
  UniqueKernelHandle done;
  std::thread thread;
};

// A small logger whose rotation meets the stalls of the test.
class LoggerLock : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(small.logger->IsEnabled());
    stall.folder = small.folder();
    g_stall = &stall;
  }
  void TearDown() override { g_stall = nullptr; }

  SmallLogger small;
  Stall stall;
};

}  // namespace

// The tool start is slow (a scan of its image, a lock on it): other threads keep logging.
TEST_F(LoggerLock, OtherThreadsLogWhileTheCompressionToolStarts) {
  ImportHook hook("kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(&StallingCreateProcessW));
  ASSERT_TRUE(hook.installed());

  std::thread filler = FillUntilStalled(*small.logger, stall);
  ASSERT_TRUE(::WaitForSingleObject(stall.entered.get(), kStallLimitMs) == WAIT_OBJECT_0);
  LineOnOtherThread other(*small.logger, L"logged while the tool starts");
  const bool returned = other.ReturnedWithin(10000);
  ::SetEvent(stall.release.get());
  other.thread.join();
  filler.join();

  EXPECT_TRUE(returned) << "a line waited for the start of the compression tool";
  const auto live = test_support::ReadLogFile(small.logger->FilePath());
  EXPECT_EQ(1u, CountContaining(live.lines, L"[WARN] - logged while the tool starts"));
  EXPECT_TRUE(live.hasBom);
}

// A rename that stalls past the second keeps the lock that long: a line that waits more
// than 1000 ms for it is dropped, and the next line that gets through reports it.
TEST_F(LoggerLock, ALineThatWaitsMoreThanASecondIsDroppedAndReported) {
  ImportHook noTool("kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(&StallingCreateProcessW));
  ImportHook hook("kernel32.dll", "MoveFileExW", reinterpret_cast<void*>(&StallingMoveFileExW));
  ASSERT_TRUE(hook.installed());
  stall.originalMove = hook.original();

  std::thread filler = FillUntilStalled(*small.logger, stall);
  ASSERT_TRUE(::WaitForSingleObject(stall.entered.get(), kStallLimitMs) == WAIT_OBJECT_0);
  LineOnOtherThread waiting(*small.logger, L"line that waited too long");
  const bool returned = waiting.ReturnedWithin(10000);
  stall.folder = L"<no stall from now on>";
  ::SetEvent(stall.release.get());
  waiting.thread.join();
  filler.join();
  small.logger->Log(LogLevel::Warn, L"line after the wait");

  EXPECT_TRUE(returned) << "the wait for the lock was not bounded";
  const auto lines = small.AllLines();
  EXPECT_EQ(0u, CountContaining(lines, L"line that waited too long"));
  ASSERT_EQ(1u, CountContaining(lines, kDroppedReport));
  const auto live = test_support::ReadLogFile(small.logger->FilePath()).lines;
  ASSERT_GE(live.size(), 2u);
  // The report stands just in front of the line that carried it.
  EXPECT_NE(std::wstring::npos, live[live.size() - 2].find(L"[WARN] - Logger::WriteLine: 1" + std::wstring(kDroppedReport)))
      << live[live.size() - 2];
  EXPECT_NE(std::wstring::npos, live.back().find(L"line after the wait"));
}

namespace {

std::atomic<bool> g_throwOnce{false};

// Fails like an allocation inside the header step of the first open.
BOOL WINAPI ThrowingGetUserNameW(LPWSTR buffer, LPDWORD size) {
  if (g_throwOnce.exchange(false)) throw std::bad_alloc();
  if (buffer != nullptr && size != nullptr && *size > 1) {
    buffer[0] = L'u';
    buffer[1] = L'\0';
    *size = 2;
  }
  return TRUE;
}

}  // namespace

// args: marker. The first open of the process logger meets an exception; then another
// thread logs `marker`. Exit code 0 when that line was written, 2 when it was not, 3 when
// the exception came out of Logger::Instance().
SENTREL_CHILD(L"first-open-throws", args) {
  ImportHook hook("advapi32.dll", "GetUserNameW", reinterpret_cast<void*>(&ThrowingGetUserNameW));
  if (!hook.installed()) return 4;
  g_throwOnce = true;
  bool escaped = false;
  std::thread first([&escaped] {
    try {
      Logger::Instance();
    } catch (...) {
      escaped = true;
    }
  });
  first.join();
  std::thread second([&args] { Logger::Instance().Log(LogLevel::Warn, L"%s", args.at(0).c_str()); });
  second.join();
  if (escaped) return 3;
  return test_support::OwnLogLinesContaining(args.at(0)).size() == 1 ? 0 : 2;
}

// An exception inside the first open: the open is finished, the lock released, and every
// thread logs as usual afterwards; no exception reaches the caller.
TEST(LoggerFirstOpen, AnExceptionInTheFirstOpenLeavesTheLoggerUsable) {
  const std::wstring marker = test_support::UniqueName(L"after-a-failed-open");
  auto child = test_support::ChildProcess::Start(L"first-open-throws", {marker});
  ASSERT_TRUE(child.valid());
  DWORD exitCode = 99;
  const bool ended = child.Wait(20000, &exitCode);
  if (!ended) child.Kill();
  ASSERT_TRUE(ended) << "a thread of the child waited for ever on the logger";
  EXPECT_EQ(0u, exitCode);

  // The same for a logger of its own, whose open runs in its constructor.
  ImportHook hook("advapi32.dll", "GetUserNameW", reinterpret_cast<void*>(&ThrowingGetUserNameW));
  ASSERT_TRUE(hook.installed());
  g_throwOnce = true;
  ScratchFolder scratch;
  const std::wstring name = test_support::UniqueName(L"ThrowOpen");
  ScratchLoggerKey key(name, 2, 10);
  std::unique_ptr<Logger> logger;
  EXPECT_NO_THROW(logger.reset(new Logger(name, scratch.path())));
  ASSERT_TRUE(logger);
  std::thread([&logger] { logger->Log(LogLevel::Warn, L"from another thread"); }).join();
  logger->Log(LogLevel::Warn, L"from this thread");
  const auto lines = test_support::ReadLogFile(logger->FilePath()).lines;
  EXPECT_EQ(1u, CountContaining(lines, L"[WARN] - from another thread"));
  EXPECT_EQ(1u, CountContaining(lines, L"[WARN] - from this thread"));
}

namespace {

UniqueKernelHandle g_toolStartEntered;
UniqueKernelHandle g_toolStartRelease;

// Every start of the compression tool stalls until released, then fails as if the tool
// were missing.
BOOL WINAPI HeldCreateProcessW(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                               LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  ::SetEvent(g_toolStartEntered.get());
  ::WaitForSingleObject(g_toolStartRelease.get(), kStallLimitMs);
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

}  // namespace

// Run under a module name of its own whose log is full before the process starts: the
// first log call of the process rotates the file and starts the compression tool, which
// stalls. Meanwhile another thread logs. Exit code 0 when that thread's call returned
// while the start still stalled, 2 when it did not, 3 when the tool was never started.
SENTREL_CHILD(L"first-open-rotates", args) {
  g_toolStartEntered.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_toolStartRelease.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ImportHook hook("kernel32.dll", "CreateProcessW", reinterpret_cast<void*>(&HeldCreateProcessW));
  if (!hook.installed()) return 4;
  std::thread first([] { Logger::Instance().Log(LogLevel::Warn, L"first line"); });
  if (::WaitForSingleObject(g_toolStartEntered.get(), kStallLimitMs) != WAIT_OBJECT_0) {
    first.join();
    return 3;
  }
  UniqueKernelHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread second([&done] {
    Logger::Instance().Log(LogLevel::Warn, L"second line");
    ::SetEvent(done.get());
  });
  const bool returned = ::WaitForSingleObject(done.get(), 10000) == WAIT_OBJECT_0;
  ::SetEvent(g_toolStartRelease.get());
  second.join();
  first.join();
  return returned ? 0 : 2;
}

// The first open of the process logger finds its file full and rotates it: the
// compression tool is started only once the open is finished, so a slow start keeps no
// other thread of the process from logging.
TEST(LoggerFirstOpen, OtherThreadsLogWhileTheToolStartsForAFullFileFoundAtTheFirstOpen) {
  const std::wstring module = test_support::UniqueName(L"FullAtStart");
  ScratchLoggerKey key(module, 2, 1);
  const std::wstring folder = AddTrailingBackslash(ProductLocations::GetLogsFolder()) + module;
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  std::string full("\xFF\xFE");
  full.append(1048576, 'a');
  ASSERT_TRUE(WriteBytes(folder + L"\\" + module + L".log", full));

  ScratchFolder bin;
  const std::wstring exe = bin / (module + L".exe");
  ASSERT_TRUE(::CopyFileW(test_support::SelfPath().c_str(), exe.c_str(), FALSE));
  auto child = test_support::ChildProcess::StartCommandLine(test_support::QuoteArgument(exe) +
                                                            L" --child=first-open-rotates");
  ASSERT_TRUE(child.valid());
  DWORD exitCode = 99;
  const bool ended = child.Wait(60000, &exitCode);
  if (!ended) child.Kill();
  test_support::DeleteTree(folder);
  ASSERT_TRUE(ended);
  EXPECT_EQ(0u, exitCode) << "2: a thread waited for the tool start of the first open; 3: no rotation";
}
