// Cost of one log line against the bare system calls one line needs: a seek to the end
// and one WriteFile of the same bytes, on a file of its own. Single thread and 4 threads.
// With 4 threads the bare calls also run serialised by one plain in-process lock (a slim
// reader/writer lock held around the seek and the write): the cheapest writer whose
// lines cannot interleave, beside which the logger's ratio is shown.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "log/Logger.h"

namespace {

// Rounds alternate the bare calls and the logger, so that each ratio compares two runs
// close in time; the goal is the median of those ratios (the machine is shared).
constexpr int kRounds = 11;
constexpr int kLinesPerRound = 10000;  // per thread count, split among the threads

double Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Microseconds per line: `threads` threads each run `body` for their share of lines.
double TimeLines(int threads, const std::function<void(int thread, int line)>& body) {
  const int perThread = kLinesPerRound / threads;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      ++ready;
      while (!go.load()) ::Sleep(0);
      for (int i = 0; i < perThread; ++i) body(t, i);
    });
  }
  while (ready.load() < threads) ::Sleep(0);
  const double start = Now();
  go.store(true);
  for (auto& worker : workers) worker.join();
  return (Now() - start) * 1e6 / (perThread * threads);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void DeleteFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring entry = data.cFileName;
      if (entry == L"." || entry == L"..") continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        DeleteFolder(folder + L"\\" + entry);
      else
        ::DeleteFileW((folder + L"\\" + entry).c_str());
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

int main() {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring unique = std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(::GetTickCount());
  const std::wstring folder = std::wstring(temp) + L"bench_log_line_" + unique;
  const std::wstring name = L"BenchLogLine_" + unique;
  const std::wstring keyPath = L"SOFTWARE\\Veltrane\\Logger\\" + name;

  // A limit far above what the run writes, so that no line rotates the file.
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
    const DWORD megabytes = 4095;
    ::RegSetValueExW(key, L"max_size_mb", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&megabytes),
                     sizeof(megabytes));
    ::RegCloseKey(key);
  }

  const std::wstring payload(60, L'p');
  double loggerUs[2] = {};
  double syscallUs[2] = {};
  double ratio[2] = {};
  double lockedUs = 0;
  double lockedRatio = 0;
  {
    Logger logger(name, folder);
    if (!logger.IsEnabled()) {
      std::printf("logger could not open its file\n");
      return 1;
    }
    // The same bytes a logged line takes: an equal-length line written by the baseline.
    const std::wstring line =
        L"05/12/26 14:03:27:081 [P:  123][T:  456] [WARN] - bench line 00000 " + payload + L"\r\n";
    const std::wstring barePath = folder + L"\\bare.log";
    HANDLE bare = ::CreateFileW(barePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (bare == INVALID_HANDLE_VALUE) {
      std::printf("baseline file could not be opened\n");
      return 1;
    }

    const auto seekAndWrite = [&] {
      LARGE_INTEGER zero = {};
      LARGE_INTEGER end;
      ::SetFilePointerEx(bare, zero, &end, FILE_END);
      DWORD written = 0;
      ::WriteFile(bare, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    };
    SRWLOCK plainLock = SRWLOCK_INIT;
    const int threadCounts[2] = {1, 4};
    for (int c = 0; c < 2; ++c) {
      const bool withLocked = threadCounts[c] > 1;
      std::vector<double> loggerRounds;
      std::vector<double> syscallRounds;
      std::vector<double> lockedRounds;
      std::vector<double> ratios;
      std::vector<double> lockedRatios;
      for (int round = 0; round < kRounds; ++round) {
        syscallRounds.push_back(TimeLines(threadCounts[c], [&](int, int) { seekAndWrite(); }));
        if (withLocked) {
          lockedRounds.push_back(TimeLines(threadCounts[c], [&](int, int) {
            ::AcquireSRWLockExclusive(&plainLock);
            seekAndWrite();
            ::ReleaseSRWLockExclusive(&plainLock);
          }));
        }
        loggerRounds.push_back(TimeLines(threadCounts[c], [&](int, int i) {
          logger.Log(LogLevel::Warn, L"bench line %05d %s", i, payload.c_str());
        }));
        ratios.push_back(loggerRounds.back() / syscallRounds.back());
        if (withLocked) lockedRatios.push_back(loggerRounds.back() / lockedRounds.back());
      }
      ratio[c] = Median(ratios);
      loggerUs[c] = Median(loggerRounds);
      syscallUs[c] = Median(syscallRounds);
      std::printf(
          "%d thread(s): log line %.2f us, seek+write %.2f us (medians of %d rounds of %d lines); "
          "median ratio %.2f\n",
          threadCounts[c], loggerUs[c], syscallUs[c], kRounds, kLinesPerRound, ratio[c]);
      if (withLocked) {
        lockedUs = Median(lockedRounds);
        lockedRatio = Median(lockedRatios);
        std::printf(
            "%d thread(s): seek+write serialised by one in-process lock %.2f us; log line / locked seek+write "
            "median ratio %.2f\n",
            threadCounts[c], lockedUs, lockedRatio);
      }
    }
    ::CloseHandle(bare);
  }
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath.c_str());
  DeleteFolder(folder);

  std::printf("goal log-line-vs-syscalls: %.2f (target <= 1.5)\n", ratio[0]);
  std::printf("goal log-line-vs-syscalls-4-threads: %.2f (target <= 1.5)\n", ratio[1]);
  return 0;
}
