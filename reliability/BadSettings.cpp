// Scenario 8, bad settings: the service's registry settings stored with the wrong type,
// with zero bytes, with 64 KiB, or missing with their keys: the install paths, "Lang",
// "SuiteType", the logger's "level" and "max_size_mb", the watchdog value. In every case
// the service must start, use the default for what it cannot read (the plug-ins, the
// resource file and the log as if the value were missing), write the logger's defaults
// back as REG_DWORD, keep the watchdog flag as a REG_DWORD (1 while it runs, 0 after),
// and stop within 6 seconds. The install paths show in the service's PATH (read from its
// process while it runs): the stage's root and anti-virus folders are in front of it, and
// a case that breaks one of them leaves its folder out, as if the value were missing.
//
// The stage: the sample plug-ins installed under a web-filter folder that also holds a
// resource file (no language, so the resource manager looks right there), the root and
// anti-virus install paths naming existing folders, the logger's values at their
// defaults. Every value and key a case touches is saved before and put back after it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "ProcessProbe.h"
#include "SavedMachineKey.h"
#include "Scenario.h"
#include "ServiceRound.h"
#include "common/UniqueHandle.h"
#include "ipc/SharedNames.h"
#include "support/SamplePluginInstall.h"
#include "support/ScratchFiles.h"
#include "support/ScratchRegKey.h"

namespace campaign {
namespace {

constexpr wchar_t kRootKey[] = L"SOFTWARE\\Veltrane";
constexpr wchar_t kWebFilterKey[] = L"SOFTWARE\\Veltrane\\WebFilter";
constexpr wchar_t kAntiVirusKey[] = L"SOFTWARE\\Veltrane\\Anti-Virus";
constexpr wchar_t kLoggerKey[] = L"SOFTWARE\\Veltrane\\Logger\\SentrelSrv";
constexpr wchar_t kWatchdogValue[] = L"WatchDog_SentrelSrv";
constexpr DWORD kDefaultLevel = 2;
constexpr DWORD kDefaultMaxSizeMb = 10;

enum class Setting {
  InstallPath,
  AntiVirusInstallPath,
  WebFilterInstallPath,
  Language,
  SuiteType,
  LoggerLevel,
  LoggerMaxSize,
  Watchdog,
};

struct SettingInfo {
  Setting setting;
  const char* id;
  const wchar_t* key;
  const wchar_t* value;
  bool text;  // a string setting (else a DWORD)
};

const SettingInfo kSettings[] = {
    {Setting::InstallPath, "install-path", kRootKey, L"InstallPath", true},
    {Setting::AntiVirusInstallPath, "antivirus-install-path", kAntiVirusKey, L"InstallPath", true},
    {Setting::WebFilterInstallPath, "webfilter-install-path", kWebFilterKey, L"InstallPath", true},
    {Setting::Language, "lang", kRootKey, L"Lang", true},
    {Setting::SuiteType, "suite-type", kRootKey, L"SuiteType", true},
    {Setting::LoggerLevel, "logger-level", kLoggerKey, L"level", false},
    {Setting::LoggerMaxSize, "logger-max-size-mb", kLoggerKey, L"max_size_mb", false},
    {Setting::Watchdog, "watchdog", kRootKey, kWatchdogValue, false},
};

const SettingInfo& Info(Setting setting) {
  for (const SettingInfo& info : kSettings) {
    if (info.setting == setting) return info;
  }
  return kSettings[0];
}

enum class Bad {
  None,              // the stage as it is: the expectations' own check
  DwordForText,      // REG_DWORD 0x006B007A, whose bytes read as text spell "zk"
  TextForDword,      // REG_SZ "6"
  QwordForDword,     // REG_QWORD 1
  Empty,             // zero bytes of the setting's own type
  Huge,              // 64 KiB of the setting's own type: 'A's without a terminator, or bytes 0x06
  HugeHoldingValue,  // 64 KiB REG_SZ: the stage's text, its terminator, then zeros
  MissingValue,
  MissingKey,        // the setting's key missing, with all below it
  MissingRoot,       // SOFTWARE\Veltrane missing altogether
};

const char* BadId(Bad bad) {
  switch (bad) {
    case Bad::None: return "none";
    case Bad::DwordForText: return "dword";
    case Bad::TextForDword: return "text";
    case Bad::QwordForDword: return "qword";
    case Bad::Empty: return "empty";
    case Bad::Huge: return "64k";
    case Bad::HugeHoldingValue: return "64k-holding-value";
    case Bad::MissingValue: return "missing";
    case Bad::MissingKey: return "missing-key";
    case Bad::MissingRoot: return "missing-root";
  }
  return "?";
}

struct Case {
  Setting setting;
  Bad bad;
  bool inShortForm;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = [] {
    std::vector<Case> all;
    all.push_back({Setting::InstallPath, Bad::None, true});
    for (Setting text : {Setting::InstallPath, Setting::AntiVirusInstallPath, Setting::WebFilterInstallPath,
                         Setting::Language, Setting::SuiteType}) {
      for (Bad bad : {Bad::DwordForText, Bad::Empty, Bad::Huge, Bad::MissingValue}) {
        const bool inShort = (text == Setting::Language && bad == Bad::DwordForText) ||
                             (text == Setting::WebFilterInstallPath && bad == Bad::Huge) ||
                             (text == Setting::InstallPath && bad == Bad::DwordForText);
        all.push_back({text, bad, inShort});
      }
    }
    all.push_back({Setting::WebFilterInstallPath, Bad::HugeHoldingValue, false});
    all.push_back({Setting::WebFilterInstallPath, Bad::MissingKey, false});
    all.push_back({Setting::AntiVirusInstallPath, Bad::MissingKey, false});
    for (Setting number : {Setting::LoggerLevel, Setting::LoggerMaxSize, Setting::Watchdog}) {
      for (Bad bad : {Bad::TextForDword, Bad::QwordForDword, Bad::Empty, Bad::Huge, Bad::MissingValue}) {
        const bool inShort = (number == Setting::LoggerLevel && bad == Bad::TextForDword) ||
                             (number == Setting::Watchdog && bad == Bad::Huge);
        all.push_back({number, bad, inShort});
      }
    }
    all.push_back({Setting::LoggerLevel, Bad::MissingKey, true});
    all.push_back({Setting::InstallPath, Bad::MissingRoot, false});
    return all;
  }();
  return cases;
}

std::string CaseId(const Case& c) {
  if (c.bad == Bad::None) return "stage";
  if (c.bad == Bad::MissingRoot) return "root-key-missing";
  if (c.bad == Bad::MissingKey) {
    const SettingInfo& info = Info(c.setting);
    if (info.setting == Setting::LoggerLevel || info.setting == Setting::LoggerMaxSize) return "logger-key-missing";
    return std::string(info.id) + "-key-missing";
  }
  return std::string(Info(c.setting).id) + "-" + BadId(c.bad);
}

// What the run must show, from outside, for the default to have been used.
enum class Resource { Parsed, NotFoundRelative, NotParsed };

struct Expectation {
  bool pluginsManaged = true;
  Resource resource = Resource::Parsed;
  bool levelWrittenBack = false;
  bool maxSizeWrittenBack = false;
  bool rootInPath = true;       // the root install path's folder is in the service's PATH
  bool antiVirusInPath = true;  // ... the anti-virus install path's folder
};

Expectation Expect(const Case& c) {
  Expectation expected;
  // A text of 64 KiB is a string of the right type: it is taken as given and names no
  // folder, so nothing is found under it (as with no value), and no resource file.
  const bool textTakenAsGiven = c.bad == Bad::Huge && Info(c.setting).text;
  switch (c.setting) {
    case Setting::InstallPath:
      expected.rootInPath = c.bad == Bad::None;
      break;
    case Setting::AntiVirusInstallPath:
      expected.antiVirusInPath = false;
      break;
    case Setting::WebFilterInstallPath:
      if (c.bad == Bad::HugeHoldingValue) break;
      expected.pluginsManaged = false;
      expected.resource = textTakenAsGiven ? Resource::NotParsed : Resource::NotFoundRelative;
      break;
    case Setting::Language:
      if (textTakenAsGiven) expected.resource = Resource::NotParsed;
      break;
    case Setting::LoggerLevel:
      expected.levelWrittenBack = true;
      expected.maxSizeWrittenBack = c.bad == Bad::MissingKey;
      break;
    case Setting::LoggerMaxSize:
      expected.maxSizeWrittenBack = true;
      break;
    default:
      break;
  }
  if (c.bad == Bad::MissingRoot) {
    expected.pluginsManaged = false;
    expected.resource = Resource::NotFoundRelative;
    expected.levelWrittenBack = true;
    expected.maxSizeWrittenBack = true;
    expected.rootInPath = false;
    expected.antiVirusInPath = false;
  }
  return expected;
}

bool WriteMachineValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data,
                       DWORD size) {
  UniqueHKey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return ::RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

bool WriteMachineDword(const std::wstring& keyPath, const std::wstring& name, DWORD value) {
  return WriteMachineValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}

bool WriteMachineText(const std::wstring& keyPath, const std::wstring& name, const std::wstring& text) {
  return WriteMachineValue(keyPath, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// A value as it lies in the registry: its type and size; type REG_NONE when missing.
struct StoredValue {
  bool present = false;
  DWORD type = REG_NONE;
  DWORD size = 0;
  DWORD number = 0;  // the DWORD, when it is a 4-byte REG_DWORD
};

StoredValue ReadMachineValue(const std::wstring& keyPath, const std::wstring& name) {
  StoredValue stored;
  UniqueHKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return stored;
  std::vector<unsigned char> data(70000);
  DWORD size = static_cast<DWORD>(data.size());
  if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &stored.type, data.data(), &size) != ERROR_SUCCESS) {
    return stored;
  }
  stored.present = true;
  stored.size = size;
  if (stored.type == REG_DWORD && size == sizeof(DWORD)) std::memcpy(&stored.number, data.data(), sizeof(DWORD));
  return stored;
}

bool IsDword(const StoredValue& stored, DWORD value) {
  return stored.present && stored.type == REG_DWORD && stored.size == sizeof(DWORD) && stored.number == value;
}

std::string Describe(const StoredValue& stored) {
  if (!stored.present) return "missing";
  if (stored.type == REG_DWORD && stored.size == sizeof(DWORD)) return "REG_DWORD " + std::to_string(stored.number);
  return "type " + std::to_string(stored.type) + " of " + std::to_string(stored.size) + " bytes";
}

// Breaks the case's setting; the returned guards put it back when destroyed.
struct Breakage {
  std::unique_ptr<test_support::MachineValueGuard> value;
  std::unique_ptr<SavedMachineKey> key;
  std::string error;
};

Breakage Break(const Case& c, const std::wstring& stageText) {
  Breakage breakage;
  const SettingInfo& info = Info(c.setting);
  if (c.bad == Bad::None) return breakage;
  if (c.bad == Bad::MissingKey || c.bad == Bad::MissingRoot) {
    breakage.key.reset(new SavedMachineKey(c.bad == Bad::MissingRoot ? kRootKey : info.key));
    if (!breakage.key->saved() || !breakage.key->Remove()) breakage.error = "cannot save and remove the key";
    return breakage;
  }
  breakage.value.reset(new test_support::MachineValueGuard(info.key, info.value));
  bool written = false;
  switch (c.bad) {
    case Bad::DwordForText:
      written = WriteMachineDword(info.key, info.value, 0x006B007Au);
      break;
    case Bad::TextForDword:
      written = WriteMachineText(info.key, info.value, L"6");
      break;
    case Bad::QwordForDword: {
      const ULONGLONG one = 1;
      written = WriteMachineValue(info.key, info.value, REG_QWORD, &one, sizeof(one));
      break;
    }
    case Bad::Empty:
      written = WriteMachineValue(info.key, info.value, info.text ? REG_SZ : REG_DWORD, nullptr, 0);
      break;
    case Bad::Huge: {
      std::vector<unsigned char> bytes(64 * 1024, 0x06);
      if (info.text) {
        for (size_t i = 0; i < bytes.size(); i += 2) {
          bytes[i] = 'A';
          bytes[i + 1] = 0;
        }
      }
      written = WriteMachineValue(info.key, info.value, info.text ? REG_SZ : REG_DWORD, bytes.data(),
                                  static_cast<DWORD>(bytes.size()));
      break;
    }
    case Bad::HugeHoldingValue: {
      std::vector<unsigned char> bytes(64 * 1024, 0);
      std::memcpy(bytes.data(), stageText.c_str(), stageText.size() * sizeof(wchar_t));
      written = WriteMachineValue(info.key, info.value, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size()));
      break;
    }
    case Bad::MissingValue:
      written = breakage.value->Remove();
      break;
    default:
      break;
  }
  if (!written) breakage.error = "cannot write the bad value";
  return breakage;
}

std::string Seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f s", value);
  return text;
}

// The folders of the stage's root and anti-virus install paths, and the service's PATH
// as it read while running (`read` false when it could not be read).
struct PathStage {
  std::wstring root;
  std::wstring antiVirus;
  bool read = false;
  std::wstring path;
};

bool InPath(const std::wstring& path, const std::wstring& folder) {
  for (size_t at = 0; at <= path.size();) {
    const size_t end = std::min(path.find(L';', at), path.size());
    if (end - at == folder.size() && ::_wcsnicmp(path.c_str() + at, folder.c_str(), folder.size()) == 0) return true;
    at = end + 1;
  }
  return false;
}

bool ManagedPlugins(const ServiceRoundResult& round) {
  return round.HasLine(L"-- Manage MalwarePlugin --") && round.HasLine(L"-- Manage Hearth --");
}

bool NoPluginManaged(const ServiceRoundResult& round) {
  return !round.HasLine(L"-- Manage MalwarePlugin --") && !round.HasLine(L"-- Manage Hearth --");
}

// Checks the round of one case; returns the broken promise, or empty, and what it saw.
std::string CheckRound(const Case& c, const ServiceRoundOptions& options, const ServiceRoundResult& round,
                       const StoredValue& watchdogRunning, const PathStage& path, std::string* seen) {
  const Expectation expected = Expect(c);
  const std::string broken = BrokenRoundPromise(round, options);
  if (!broken.empty()) return broken;
  if (!round.HasLine(L"SentrelCore::WorkerThreadFunc - worker thread started") ||
      !round.HasLine(L"SentrelCore::WorkerThreadFunc - worker thread completed")) {
    return "the worker did not run and end";
  }

  std::string saw;
  if (expected.pluginsManaged) {
    if (!ManagedPlugins(round)) return "the plug-ins were not managed";
    saw = "plug-ins managed";
  } else {
    if (!NoPluginManaged(round)) return "a plug-in was managed although its folder is unknown";
    saw = "no plug-in found";
  }
  const bool parsed = round.HasLineStartingWith(L"JsonHelper Load - File ");
  switch (expected.resource) {
    case Resource::Parsed:
      if (!parsed || round.HasLineStartingWith(L"ResourceMgr::Load - File does not exist") ||
          round.HasLineStartingWith(L"ResourceMgr - Failed to load")) {
        return "the resource file at the default place was not loaded";
      }
      saw += ", resource file loaded";
      break;
    case Resource::NotFoundRelative:
      if (!round.HasLine(L"ResourceMgr::Load - File does not exist : resource.json")) {
        return "no line \"ResourceMgr::Load - File does not exist : resource.json\"";
      }
      saw += ", resource.json not found (no folder)";
      break;
    case Resource::NotParsed:
      if (parsed) return "a resource file was loaded under a name that names nothing";
      saw += ", no resource file";
      break;
  }

  if (!path.read) return "the service's PATH could not be read";
  const struct {
    const char* name;
    const std::wstring& folder;
    bool expected;
  } folders[] = {{"root", path.root, expected.rootInPath}, {"anti-virus", path.antiVirus, expected.antiVirusInPath}};
  for (const auto& folder : folders) {
    if (InPath(path.path, folder.folder) != folder.expected) {
      return std::string("the ") + folder.name + " folder is " + (folder.expected ? "not " : "") +
             "in the service's PATH";
    }
    saw += std::string(", ") + folder.name + " folder " + (folder.expected ? "in" : "not in") + " PATH";
  }

  const StoredValue level = ReadMachineValue(kLoggerKey, L"level");
  const StoredValue maxSize = ReadMachineValue(kLoggerKey, L"max_size_mb");
  if (expected.levelWrittenBack) {
    if (!IsDword(level, kDefaultLevel)) return "\"level\" is " + Describe(level) + " after the run, not REG_DWORD 2";
    saw += ", level written back as REG_DWORD 2";
  }
  if (expected.maxSizeWrittenBack) {
    if (!IsDword(maxSize, kDefaultMaxSizeMb)) {
      return "\"max_size_mb\" is " + Describe(maxSize) + " after the run, not REG_DWORD 10";
    }
    saw += ", max_size_mb written back as REG_DWORD 10";
  }
  if (!IsDword(watchdogRunning, 1)) return "the watchdog value is " + Describe(watchdogRunning) + " while running";
  if (round.watchdogAfter != 0) return "the watchdog value is not REG_DWORD 0 after the stop";
  saw += ", watchdog REG_DWORD 1 then 0";
  *seen = saw;
  return std::string();
}

}  // namespace

ScenarioResult RunBadSettings(const ScenarioScale& scale) {
  ScenarioResult result;
  result.name = "bad settings";
  std::vector<const Case*> cases;
  for (const Case& c : Cases()) {
    if (!scale.shortForm || c.inShortForm) cases.push_back(&c);
  }
  result.load = std::to_string(cases.size()) + " settings cases, 1 start/stop each";
  result.faults = "wrong type, 0 bytes, 64 KiB, missing values and keys";
  result.lost = "none";
  result.verdict = Verdict::Pass;

  // The stage. Guards made first are destroyed last: the stage's own values go back
  // after every case has put back what it broke.
  test_support::SamplePluginInstall install;
  test_support::ScratchFolder rootFolder(L"SettingsRoot");
  test_support::ScratchFolder antiVirusFolder(L"SettingsAntiVirus");
  test_support::MachineValueGuard installPath(kRootKey, L"InstallPath");
  test_support::MachineValueGuard antiVirusPath(kAntiVirusKey, L"InstallPath");
  test_support::MachineValueGuard language(kRootKey, L"Lang");
  test_support::MachineValueGuard watchdog(kRootKey, kWatchdogValue);
  test_support::MachineValueGuard level(kLoggerKey, L"level");
  test_support::MachineValueGuard maxSize(kLoggerKey, L"max_size_mb");
  const bool staged = install.valid() && install.InstallAll() &&
                      test_support::WriteBytes(install.installPath() + L"\\resource.json", "{\"bad\": \"settings\"}") &&
                      installPath.SetString(rootFolder.path()) && antiVirusPath.SetString(antiVirusFolder.path()) &&
                      language.Remove() && watchdog.Remove() && WriteMachineDword(kLoggerKey, L"level", kDefaultLevel) &&
                      WriteMachineDword(kLoggerKey, L"max_size_mb", kDefaultMaxSizeMb);
  if (!staged) {
    result.Fail("cannot set the stage (sample plug-ins, resource file, registry values)");
    return result;
  }
  SentrelSrvRegistration service;
  if (!service.valid()) {
    result.Fail(service.error());
    return result;
  }

  int passed = 0;
  double worstStop = 0;
  for (const Case* c : cases) {
    const std::string id = CaseId(*c);
    std::string problem, seen;
    double stopSeconds = 0;
    {
      Breakage breakage = Break(*c, Info(c->setting).setting == Setting::WebFilterInstallPath ? install.installPath()
                                                                                               : std::wstring());
      if (!breakage.error.empty()) {
        problem = breakage.error;
      } else {
        StoredValue watchdogRunning;
        // The core puts the suite's folders in front of PATH before the service reports RUNNING.
        PathStage path;
        path.root = rootFolder.path();
        path.antiVirus = antiVirusFolder.path();
        ServiceRoundOptions options;
        options.settleMs = 500;
        options.quietMs = 1000;
        options.whileRunning = [&watchdogRunning, &path](DWORD pid) {
          watchdogRunning = ReadMachineValue(kRootKey, kWatchdogValue);
          path.read = ProcessEnvironmentVariable(pid, L"PATH", &path.path);
        };
        const ServiceRoundResult round = RunServiceRound(options);
        stopSeconds = round.stopSeconds;
        problem = CheckRound(*c, options, round, watchdogRunning, path, &seen);
      }
    }
    if (stopSeconds > worstStop) worstStop = stopSeconds;
    if (problem.empty()) {
      ++passed;
      const bool takenAsGiven = c->bad == Bad::Huge && Info(c->setting).text;
      result.Figure("settings-" + id, std::string(takenAsGiven ? "text taken as given, names nothing: " : "defaults used: ") +
                                          seen + "; stop " + Seconds(stopSeconds));
    } else {
      result.Figure("settings-" + id, "FAIL (" + problem + ")");
      result.Fail(id + ": " + problem);
    }
  }
  result.Figure("settings-cases-passed", std::to_string(passed) + "/" + std::to_string(cases.size()));
  result.Figure("settings-stop-max", Seconds(worstStop));
  result.result = std::to_string(passed) + "/" + std::to_string(cases.size()) + " cases: defaults used, started, stop max " +
                  Seconds(worstStop);
  return result;
}

}  // namespace campaign
