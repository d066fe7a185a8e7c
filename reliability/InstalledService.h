// SentrelSrv.exe as the suite runs it, for the campaign's scenarios that drive the whole
// service through the control manager: installed as the service "SentrelSrv" with its
// own /RegServer, the sample plug-ins in a scratch web-filter folder (protection on), the
// control centre's queue served here (the status packets are counted), and the watchdog
// value saved first.
//
// Everything is put back when the object is destroyed, pass or fail: the service is
// stopped and removed, every process of it that this object started and that still runs
// is ended, the plug-in folder is removed and the machine values are restored.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "support/SamplePluginInstall.h"
#include "support/ScratchRegKey.h"

namespace campaign {

class InstalledService {
 public:
  static constexpr wchar_t kName[] = L"SentrelSrv";
  static constexpr wchar_t kProgram[] = L"SentrelSrv.exe";
  // What the campaign promises of every stop: STOPPED within 6 s of the STOP control.
  static constexpr DWORD kStopLimitMs = 6000;
  // Bounds of the waits below; far above what a healthy service needs.
  static constexpr DWORD kStartTimeoutMs = 30000;
  static constexpr DWORD kStopTimeoutMs = 30000;
  static constexpr DWORD kExitTimeoutMs = 10000;

  InstalledService();
  ~InstalledService();
  InstalledService(const InstalledService&) = delete;
  InstalledService& operator=(const InstalledService&) = delete;

  // False (and why) when the installation could not be made.
  bool ready() const { return setupError_.empty(); }
  const std::string& setupError() const { return setupError_; }

  const test_support::SamplePluginInstall& plugins() const { return *plugins_; }
  // Writes the settings of the Hearth and malware plug-ins (the identity-theft one keeps
  // the defaults); false when a file could not be written.
  bool WritePluginSettings(const test_support::SamplePluginSettings& hearth,
                           const test_support::SamplePluginSettings& malware) const;
  bool ClearJournals() const;

  // Starts the service and waits until it reports running: true and the time from
  // StartServiceW in *ms, or false and why. The process is kept for Stop and WaitForExit.
  bool Start(DWORD timeoutMs, double* ms, std::string* why);
  // Start, then waits until the worker's status packet has arrived (its first pass over
  // the plug-ins is done then). *ms (may be null): StartServiceW to RUNNING.
  bool StartAndAwaitAnnouncement(std::string* why, double* ms = nullptr);
  // The process of the latest start (0 before the first).
  DWORD pid() const { return pid_; }
  // True while the control manager reports the latest start's process running.
  bool IsRunning() const;

  struct StopOutcome {
    DWORD controlError = 0;  // what ControlService gave (0: accepted)
    bool stopped = false;    // STOPPED seen within the time limit
    double ms = 0;           // from the STOP control to STOPPED seen (or to giving up)
    DWORD lastState = 0;
    // Empty when STOPPED came within `limitMs`; otherwise what went wrong.
    std::string Problem(DWORD limitMs = kStopLimitMs) const;
  };
  // Sends STOP and polls (every 5 ms) until STOPPED, at most `timeoutMs`.
  StopOutcome Stop(DWORD timeoutMs = kStopTimeoutMs);
  // Waits until the latest start's process has ended: true and its exit code.
  bool WaitForExit(DWORD timeoutMs, DWORD* exitCode) const;
  // Ends the latest start's process when it still runs; true when it had to.
  bool EndProcess();

  // Status packets that reached the control centre's queue so far; waits for `count`.
  size_t StatusPackets() const;
  bool WaitForStatusPackets(size_t count, DWORD timeoutMs) const;

  // HKLM\SOFTWARE\Veltrane "WatchDog_SentrelSrv"; -1 when missing.
  static long long WatchdogFlag();
  // The service's log file.
  static std::wstring LogPath();
  // SentrelSrv.exe of the build (beside the folder of this program).
  static std::wstring ProgramPath();
  // "1234": whole milliseconds, for results and figures.
  static std::string Milliseconds(double ms);

 private:
  class ControlCentreQueue;

  std::string setupError_;
  std::unique_ptr<test_support::SamplePluginInstall> plugins_;
  std::unique_ptr<test_support::MachineValueGuard> watchdog_;
  std::unique_ptr<ControlCentreQueue> queue_;
  DWORD pid_ = 0;
  UniqueKernelHandle process_;
  // Every process of the service this object started, ended at destruction if alive.
  std::vector<UniqueKernelHandle> started_;
};

}  // namespace campaign
