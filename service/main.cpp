// Entry point of SentrelSrv.exe.
//
// This build carries the console run (/debug): the filter core runs until a line of
// input. Installing, removing and running under the service control manager come with
// the service framework.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "service/ConsoleRun.h"
#include "service/CommandLine.h"

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
