#include "service/ConsoleRun.h"

#include <windows.h>

#include <cstdio>

#include "core/SentrelCore.h"
#include "log/Logger.h"

namespace {

constexpr int kWorkerWaitPasses = 60;
constexpr DWORD kWorkerWaitMs = 1000;

}  // namespace

int RunConsole() {
  Logger& log = Logger::Instance();
  log.Log(LogLevel::Always, "SentrelSrv run with debug flag");
  SentrelCore::Start();
  std::printf("Press any key to exit the application\n");
  std::fflush(stdout);
  std::getchar();

  const HANDLE worker = SentrelCore::Stop();
  for (int pass = 0; pass < kWorkerWaitPasses; ++pass) {
    // A null handle (no worker) fails at once, like an ended thread ends the wait.
    if (::WaitForSingleObject(worker, kWorkerWaitMs) != WAIT_TIMEOUT) {
      log.Log(LogLevel::Always, L"StartDebugMode: worker thread exited");
      return 0;
    }
    log.Log(LogLevel::Always, L"StartDebugMode: waiting for worker thread to exit: timed-out");
    ::Sleep(kWorkerWaitMs);
  }
  return 0;
}
