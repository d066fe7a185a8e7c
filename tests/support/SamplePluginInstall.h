// The sample filter plug-ins (samples/plugins) put where the service looks for them,
// their settings written and their journals read back.
//
// SamplePluginInstall lays out a web-filter install folder with the DLLs in
// Plugins\Hearth, Plugins\Malware and Plugins\IDTheft, and points the machine's
// HKLM\SOFTWARE\Veltrane\WebFilter "InstallPath" at it (removing "SuiteType" of
// SOFTWARE\Veltrane), restoring both values when destroyed: for Machine* tests only.
// The free functions work on a sample DLL anywhere.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ScratchFiles.h"
#include "support/ScratchRegKey.h"

namespace test_support {

enum class SamplePlugin { Hearth, Malware, IDTheft };

// Which build of the sample to install: complete, or lacking one export.
enum class SampleVariant {
  Complete,
  WithoutStart,
  WithoutStop,
  WithoutOnNotifyChanges,
  WithoutGenerateReports,
  WithoutGetProtectionStatus,
};

// What the sample plug-in does, written to "<dll base>.settings.ini" beside it and read
// by the plug-in on every call, so that a running plug-in can be switched.
struct SamplePluginSettings {
  unsigned protectionStatus = 1;  // byte returned by "GetProtectionStatus"
  bool startResult = true;
  bool stopResult = true;
  DWORD startDelayMs = 0;
  DWORD stopDelayMs = 0;
  bool stopHangs = false;         // "Stop" never returns
  std::wstring signalEvent;       // an existing event set after each export call
  bool journal = true;            // false: no journal lines (for measurements)
};

// One line of "<dll base>.journal.txt".
struct JournalLine {
  std::string call;     // export name, "Attach" (loaded) or "Detach" (freed)
  std::string time;     // local time at the call's start, yyyy-mm-ddThh:mm:ss.mmm
  long long qpc = 0;    // QueryPerformanceCounter at the call's start
  DWORD pid = 0;
  DWORD tid = 0;
  std::string result;   // what the call returned: "1", "0", a status byte, "-", "hang"
};

// <build>\samples\plugins, where the build puts the DLLs, found from this program.
std::wstring SamplePluginBuildFolder();
// "HearthPlugin.dll", "MalwarePlugin.dll", "IDTheft.dll".
const wchar_t* SamplePluginFileName(SamplePlugin plugin);
// The built DLL of `variant` (the complete one is the plug-in's own file).
std::wstring SamplePluginBuiltDll(SamplePlugin plugin, SampleVariant variant = SampleVariant::Complete);

// Beside any sample DLL: its settings file, its journal.
std::wstring SampleSettingsPath(const std::wstring& dllPath);
std::wstring SampleJournalPath(const std::wstring& dllPath);
bool WriteSampleSettings(const std::wstring& dllPath, const SamplePluginSettings& settings);
std::vector<JournalLine> ReadSampleJournal(const std::wstring& dllPath);
// Deletes the journal (a running plug-in starts a new one with its next call).
bool ClearSampleJournal(const std::wstring& dllPath);
// Parses a journal's text; lines that do not parse are left out.
std::vector<JournalLine> ParseSampleJournal(const std::string& text);
// Just the call names, in order.
std::vector<std::string> CallsOf(const std::vector<JournalLine>& lines);

class SamplePluginInstall {
 public:
  // An install in a scratch folder of its own, removed when destroyed; or in
  // `installPath` (created when missing, left in place).
  SamplePluginInstall();
  explicit SamplePluginInstall(const std::wstring& installPath);
  ~SamplePluginInstall();
  SamplePluginInstall(const SamplePluginInstall&) = delete;
  SamplePluginInstall& operator=(const SamplePluginInstall&) = delete;

  // True when the folders exist and the registry value was set.
  bool valid() const { return valid_; }
  const std::wstring& installPath() const { return installPath_; }
  std::wstring Folder(SamplePlugin plugin) const;   // <install>\Plugins\<name>
  std::wstring DllPath(SamplePlugin plugin) const;  // <folder>\<file name>

  // Copies the built DLL (or a variant) into the plug-in's folder under the plug-in's
  // file name, replacing what is there; fails while the file there is loaded.
  bool Install(SamplePlugin plugin, SampleVariant variant = SampleVariant::Complete) const;
  bool InstallAll() const;
  // Deletes the plug-in's DLL.
  bool Remove(SamplePlugin plugin) const;

  bool WriteSettings(SamplePlugin plugin, const SamplePluginSettings& settings) const;
  std::vector<JournalLine> Journal(SamplePlugin plugin) const;
  std::vector<std::string> JournalCalls(SamplePlugin plugin) const;
  bool ClearJournal(SamplePlugin plugin) const;

  // "SuiteType" of SOFTWARE\Veltrane (restored when destroyed).
  bool SetSuiteType(const std::wstring& suiteType) const;
  // Whether this process has the installed DLL loaded (GetModuleHandleW on its path).
  bool IsLoadedHere(SamplePlugin plugin) const;

 private:
  void Prepare();

  std::unique_ptr<ScratchFolder> scratch_;
  std::wstring installPath_;
  MachineValueGuard webFilterInstallPath_;
  MachineValueGuard suiteType_;
  bool valid_ = false;
};

}  // namespace test_support
