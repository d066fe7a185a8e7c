// Entry point of SentrelSrv.exe.
//
// This build carries the console run (/debug): it starts, announces the service to the
// suite's control centre with its status packet, waits for a line of input and ends.
// Installing, removing and running under the service control manager come with the
// service framework.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "core/StatusAnnouncement.h"
#include "log/Logger.h"
#include "service/CommandLine.h"

namespace {

int RunConsole() {
  Logger::Instance().Log(LogLevel::Always, "SentrelSrv run with debug flag");
  AnnounceServiceStart();
  std::printf("Press any key to exit the application\n");
  std::fflush(stdout);
  std::getchar();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  switch (ChooseRoad(argc, argv)) {
    case Road::Debug:
      return RunConsole();
    case Road::Usage:
      std::fputws(L"Usage: SentrelSrv.exe {/RegServer | /UnregServer | /Debug}\n", stdout);
      std::exit(1);
    case Road::RegServer:
    case Road::UnregServer:
    case Road::Service:
      std::fputws(L"SentrelSrv: this build runs the console mode only (/debug).\n", stderr);
      return 1;
  }
  return 1;
}
