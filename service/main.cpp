// Entry point of SentrelSrv.exe.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  fwprintf(stderr, L"usage: SentrelSrv [/RegServer | /UnregServer | /debug]\n");
  return 1;
}
