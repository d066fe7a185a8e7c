#include "service/WindowsServiceImp.h"

#include "core/SentrelCore.h"

namespace {

constexpr DWORD kWorkerWaitMs = 5000;

}  // namespace

WindowsServiceImp::WindowsServiceImp() : WinServiceBase(L"SentrelSrv", true, false, true, false) {}

bool WindowsServiceImp::OnServiceStart(DWORD, LPWSTR*) { return SentrelCore::Start(); }

bool WindowsServiceImp::OnServiceStop() {
  const HANDLE worker = SentrelCore::Stop();
  if (worker == nullptr) return true;
  return ::WaitForSingleObject(worker, kWorkerWaitMs) == WAIT_OBJECT_0;
}

bool WindowsServiceImp::OnServicePause() { return true; }

bool WindowsServiceImp::OnServiceContinue() { return true; }

bool WindowsServiceImp::OnServicePowerEvent(DWORD, LPVOID) { return true; }

bool WindowsServiceImp::OnServiceSessionChange(DWORD, LPVOID) { return true; }
