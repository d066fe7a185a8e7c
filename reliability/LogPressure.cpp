// Scenario 9, log under pressure: 16 threads write numbered lines through one logger with
// a 1 MiB limit while another process holds the log file open for reading, as a log
// viewer does. The reader follows the live file across rotations, holding it shared for
// delete as the suite's readers do, and now and then holds it for a moment without
// sharing delete, so that the archiver's rename fails and the logger goes on in the full
// file. Afterwards every line must be found exactly once, whole, in the live log, the
// decompressed archives or a file moved aside; a line the logger dropped after waiting
// 1000 ms for its lock must have been reported in its warning line.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveTestFiles.h"
#include "ChildSignals.h"
#include "FileIdentity.h"
#include "Scenario.h"
#include "SharedBlock.h"
#include "log/Logger.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"
#include "support/ScratchFiles.h"

namespace campaign {
namespace {

using test_support::ChildProcess;

constexpr int kThreads = 16;
constexpr DWORD kChildWaitMs = 30000;
constexpr DWORD kCompactorWaitMs = 600000;
constexpr DWORD kReaderMaxMs = 3600000;
// How often the reader holds the file without sharing delete, and for how long; the
// first hold comes as soon as the reader has the file, when the writers start.
constexpr DWORD kBlockingEveryMs = 1000;
constexpr DWORD kBlockingHoldMs = 200;
const wchar_t kDroppedReport[] = L"Logger::WriteLine: ";
const wchar_t kDroppedReportTail[] = L" line(s) dropped, the log was busy for more than 1000 ms";

struct ReaderBoard {
  volatile LONG64 bytesRead;
  volatile LONG opens;          // files opened (the first, then one per rotation followed)
  volatile LONG blockingHolds;  // holds without delete sharing
};

// One line of the log: "<date> <time>:<ms> [P:..][T:..] <label> - <message>".
struct ParsedLine {
  enum Kind { Numbered, Header, DroppedReport, Other } kind = Other;
  int thread = -1;
  int number = -1;
  unsigned dropped = 0;
};

bool ReadDigits(const wchar_t* text, int count, int* value) {
  *value = 0;
  for (int i = 0; i < count; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    *value = *value * 10 + (text[i] - L'0');
  }
  return true;
}

ParsedLine ParseLine(const std::wstring& line) {
  ParsedLine parsed;
  const size_t dash = line.find(L" - ");
  // The prefix: the time stamp, then the process and thread ids, then the level label.
  if (dash == std::wstring::npos || line.find(L"[P:") == std::wstring::npos || line.find(L"][T:") > dash) {
    return parsed;
  }
  const std::wstring message = line.substr(dash + 3);
  const std::wstring label = line.substr(0, dash);
  if (label.size() >= 7 && label.compare(label.size() - 7, 7, L"[INFO ]") == 0 && message.size() == 17 &&
      message.compare(0, 7, L"press t") == 0 && message.compare(9, 2, L" n") == 0 &&
      ReadDigits(message.c_str() + 7, 2, &parsed.thread) && ReadDigits(message.c_str() + 11, 6, &parsed.number)) {
    parsed.kind = ParsedLine::Numbered;
    return parsed;
  }
  if (label.size() >= 7 && label.compare(label.size() - 7, 7, L"[ALW  ]") == 0 &&
      (message.compare(0, 15, L"Logger Started:") == 0 || message == std::wstring(98, L'_'))) {
    parsed.kind = ParsedLine::Header;
    return parsed;
  }
  const size_t head = wcslen(kDroppedReport);
  const size_t tail = wcslen(kDroppedReportTail);
  if (label.size() >= 6 && label.compare(label.size() - 6, 6, L"[WARN]") == 0 && message.size() > head + tail &&
      message.compare(0, head, kDroppedReport) == 0 &&
      message.compare(message.size() - tail, tail, kDroppedReportTail) == 0) {
    int dropped = 0;
    if (ReadDigits(message.c_str() + head, static_cast<int>(message.size() - head - tail), &dropped)) {
      parsed.kind = ParsedLine::DroppedReport;
      parsed.dropped = static_cast<unsigned>(dropped);
    }
  }
  return parsed;
}

// What every file of the log's folder holds, line by line.
struct Tally {
  explicit Tally(int perThread) : perThread(perThread), seen(static_cast<size_t>(kThreads) * perThread, 0) {}
  int perThread;
  std::vector<unsigned char> seen;
  uint64_t torn = 0, outOfOrder = 0, droppedReported = 0, dropReports = 0;
  uint64_t files = 0, archives = 0, leftovers = 0, badFiles = 0, badArchives = 0, otherFiles = 0;
  uint64_t largestFile = 0;

  void Add(const test_support::LogFileContent& file) {
    ++files;
    if (!file.exists || !file.hasBom || file.bomCount != 1 || !file.endsWithCrLf) ++badFiles;
    largestFile = std::max<uint64_t>(largestFile, 2 * (file.text.size() + 1));
    std::vector<int> last(kThreads, -1);
    for (const std::wstring& line : file.lines) {
      const ParsedLine parsed = ParseLine(line);
      switch (parsed.kind) {
        case ParsedLine::Numbered:
          if (parsed.thread >= kThreads || parsed.number >= perThread) {
            ++torn;
            break;
          }
          if (seen[static_cast<size_t>(parsed.thread) * perThread + parsed.number] < 255) {
            ++seen[static_cast<size_t>(parsed.thread) * perThread + parsed.number];
          }
          if (parsed.number < last[parsed.thread]) ++outOfOrder;
          last[parsed.thread] = parsed.number;
          break;
        case ParsedLine::DroppedReport:
          ++dropReports;
          droppedReported += parsed.dropped;
          break;
        case ParsedLine::Header:
          break;
        default:
          ++torn;
          break;
      }
    }
  }
};

Tally CountFolder(const std::wstring& folder, const std::wstring& liveName, int perThread) {
  Tally tally(perThread);
  for (const std::wstring& name : test_support::FilesIn(folder)) {
    const std::wstring path = folder + L"\\" + name;
    if (_wcsicmp(name.c_str(), liveName.c_str()) == 0) {
      tally.Add(test_support::ReadLogFile(path));
    } else if (archive_test::EndsWith(name, L".gz")) {
      ++tally.archives;
      const test_support::LogFileContent archive = archive_test::ReadArchive(path);
      if (!archive.exists) ++tally.badArchives;
      tally.Add(archive);
    } else if (archive_test::EndsWith(name, L".log")) {
      ++tally.leftovers;
      tally.Add(test_support::ReadLogFile(path));
    } else {
      ++tally.otherFiles;
    }
  }
  return tally;
}

}  // namespace

// args: live log path, board, ready signal, stop signal. Reads the log as a viewer that
// follows it does, until told to stop.
SENTREL_CHILD(L"log-pressure-reader", args) {
  const std::wstring path = args.at(0);
  SharedBlock<ReaderBoard> board = SharedBlock<ReaderBoard>::Open(args.at(1));
  UniqueKernelHandle stop(::OpenEventW(SYNCHRONIZE, FALSE, args.at(3).c_str()));
  if (!board.valid() || !stop) return 2;
  UniqueKernelHandle held;
  unsigned long long heldIdentity = 0;
  bool ready = false;
  ULONGLONG nextBlocking = 0;
  const ULONGLONG deadline = ::GetTickCount64() + kReaderMaxMs;
  std::vector<char> buffer(1 << 16);
  while (::WaitForSingleObject(stop.get(), 10) == WAIT_TIMEOUT && ::GetTickCount64() < deadline) {
    if (!held) {
      held.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!held) continue;
      heldIdentity = FileIdentity(held.get());
      ::InterlockedIncrement(&board->opens);
      if (!ready) RaiseSignal(args.at(2));
      ready = true;
    }
    DWORD read = 0;
    while (::ReadFile(held.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read > 0) {
      ::InterlockedAdd64(&board->bytesRead, read);
    }
    // The live file is another one now: the held one was moved aside. Follow the log.
    const unsigned long long live = PathIdentity(path);
    if (live != 0 && live != heldIdentity) held.reset();
    if (::GetTickCount64() >= nextBlocking) {
      UniqueKernelHandle blocking(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (blocking) {
        ::InterlockedIncrement(&board->blockingHolds);
        ::Sleep(kBlockingHoldMs);
      }
      nextBlocking = ::GetTickCount64() + kBlockingEveryMs;
    }
  }
  return 0;
}

ScenarioResult RunLogPressure(const ScenarioScale& scale) {
  ScenarioResult result;
  result.name = "log under pressure";
  const int perThread = scale.Pick(100000, 2000);
  const uint64_t expected = static_cast<uint64_t>(kThreads) * perThread;
  result.load = std::to_string(kThreads) + " threads x " + std::to_string(perThread) + " lines, 1 MiB limit";
  result.faults = "another process holds the log open (now and then without delete sharing)";

  if (!archive_test::EnsureCompactorInstalled()) {
    result.Fail("Compactor.exe is not where the archiver looks for it");
    return result;
  }
  test_support::ScratchFolder scratch(L"LogPressure");
  const std::wstring name = test_support::UniqueName(L"LogPressure");
  const std::wstring folder = scratch / name;
  const std::wstring liveName = name + L".log";
  // "max_size_mb" 1: a 1 MiB limit; removed again at the end.
  archive_test::ScratchLoggerKey key(name, 2, 1);
  std::unique_ptr<Logger> logger(new Logger(name, scratch.path()));
  if (!logger->IsEnabled() || logger->MaxSize() != 1048576) {
    result.Fail("the logger did not open its file with a 1 MiB limit");
    return result;
  }

  const std::wstring stem = test_support::UniqueName(L"logpress");
  SharedBlock<ReaderBoard> board = SharedBlock<ReaderBoard>::Create(L"Local\\" + stem + L"_board");
  UniqueKernelHandle signals[] = {CreateSignal(stem + L"_ready"), CreateSignal(stem + L"_stop")};
  ChildProcess reader = ChildProcess::Start(L"log-pressure-reader", {folder + L"\\" + liveName,
                                                                     L"Local\\" + stem + L"_board",
                                                                     stem + L"_ready", stem + L"_stop"});
  if (!board.valid() || !reader.valid() || !WaitSignal(stem + L"_ready", kChildWaitMs)) {
    if (reader.valid()) reader.Kill();
    result.Fail("the reading process did not open the log");
    return result;
  }

  const ULONGLONG started = ::GetTickCount64();
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&logger, t, perThread] {
      for (int n = 0; n < perThread; ++n) logger->Log(LogLevel::Info, L"press t%02d n%06d", t, n);
    });
  }
  for (std::thread& writer : writers) writer.join();
  const double writeSeconds = (::GetTickCount64() - started) / 1000.0;
  logger.reset();  // closes the file; the tool for the last full file has started

  RaiseSignal(stem + L"_stop");
  DWORD readerExit = 0;
  if (!reader.Wait(kChildWaitMs, &readerExit)) {
    reader.Kill();
    result.Fail("the reading process did not stop");
  }
  const bool settled = archive_test::WaitForCompactors(folder, kCompactorWaitMs);
  if (!settled) result.Fail("the compression tools did not finish within 10 minutes");
  const double totalSeconds = (::GetTickCount64() - started) / 1000.0;

  const Tally tally = CountFolder(folder, liveName, perThread);
  uint64_t found = 0, duplicated = 0;
  for (unsigned char count : tally.seen) {
    found += count > 0 ? 1 : 0;
    duplicated += count > 1 ? count - 1 : 0;
  }
  const uint64_t lost = expected - found;
  const uint64_t silentlyLost = lost > tally.droppedReported ? lost - tally.droppedReported : 0;

  if (silentlyLost > 0) {
    result.Fail(std::to_string(silentlyLost) + " lines lost without a report (" + std::to_string(lost) + " missing, " +
                std::to_string(tally.droppedReported) + " reported dropped)");
  }
  if (tally.droppedReported > lost) {
    result.Fail(std::to_string(tally.droppedReported) + " lines reported dropped, but only " + std::to_string(lost) +
                " missing");
  }
  if (duplicated > 0) result.Fail(std::to_string(duplicated) + " lines found more than once");
  if (tally.torn > 0) result.Fail(std::to_string(tally.torn) + " torn or unknown lines");
  if (tally.outOfOrder > 0) result.Fail(std::to_string(tally.outOfOrder) + " lines out of their thread's order");
  if (tally.badFiles > 0) {
    result.Fail(std::to_string(tally.badFiles) + " files without their one byte order mark or a whole last line");
  }
  if (tally.badArchives > 0) result.Fail(std::to_string(tally.badArchives) + " archives that do not decompress");
  if (tally.leftovers > 0) result.Fail(std::to_string(tally.leftovers) + " full files moved aside but not packed");
  if (tally.otherFiles > 0) result.Fail(std::to_string(tally.otherFiles) + " other files left in the log folder");

  result.Figure("log-pressure-lines", static_cast<long long>(expected));
  result.Figure("log-pressure-lines-found", static_cast<long long>(found));
  result.Figure("log-pressure-lost", static_cast<long long>(silentlyLost));
  result.Figure("log-pressure-duplicated", static_cast<long long>(duplicated));
  result.Figure("log-pressure-torn", static_cast<long long>(tally.torn));
  result.Figure("log-pressure-archives", static_cast<long long>(tally.archives));
  result.Figure("log-pressure-dropped-lines-reported", static_cast<long long>(tally.droppedReported));
  result.Figure("log-pressure-drop-reports", static_cast<long long>(tally.dropReports));
  result.Figure("log-pressure-largest-file-bytes", static_cast<long long>(tally.largestFile));
  result.Figure("log-pressure-reader-opens", static_cast<long long>(board->opens));
  result.Figure("log-pressure-reader-blocking-holds", static_cast<long long>(board->blockingHolds));
  result.Figure("log-pressure-reader-bytes", static_cast<long long>(board->bytesRead));
  char rate[32];
  std::snprintf(rate, sizeof(rate), "%.0f", expected / (writeSeconds > 0 ? writeSeconds : 1));
  result.Figure("log-pressure-lines-per-second", rate);
  std::snprintf(rate, sizeof(rate), "%.1f", totalSeconds);
  result.Figure("log-pressure-seconds-with-packing", rate);

  result.result = std::to_string(found) + " lines found once each across the live log and " +
                  std::to_string(tally.archives) + " archives, " + std::to_string(tally.torn) + " torn";
  result.lost = std::to_string(silentlyLost) + " lines silently; " + std::to_string(tally.droppedReported) +
                " dropped and reported";
  if (result.detail.empty()) {
    if (tally.droppedReported > 0) {
      result.verdict = Verdict::KnownLimit;
      result.limit = std::to_string(tally.droppedReported) +
                     " lines dropped after waiting 1000 ms for the log's lock, each counted in the logger's "
                     "warning line: the logger gives up a line after that wait by design";
    } else {
      result.verdict = Verdict::Pass;
    }
  }
  return result;
}

}  // namespace campaign
