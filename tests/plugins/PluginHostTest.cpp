// The plug-in host driving the real sample DLLs, installed in the folders that the
// machine's web-filter "InstallPath" names. The journal of each DLL shows what the host
// called; the process log shows what it said.
//
// This program never calls InitLocations, so every path is read from the registry afresh.
#include "plugins/PluginHost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/Logger.h"
#include "support/LogWatch.h"
#include "support/SamplePluginInstall.h"
#include "support/ScratchFiles.h"

namespace {

using test_support::LogWatch;
using test_support::SamplePlugin;
using test_support::SamplePluginInstall;
using test_support::SamplePluginSettings;
using test_support::SampleVariant;
using Calls = std::vector<std::string>;

namespace Hearth = ExFilterDriver::Hearth;
namespace Malware = ExFilterDriver::Malware;
namespace IDTheft = ExFilterDriver::IDTheft;

// One started plug-in: its operations and the texts its lines are made of.
struct Host {
  const wchar_t* name;  // "Hearth", "Malware"
  SamplePlugin plugin;
  bool (*isPluginAvailable)();
  unsigned char (*getProtectionStatus)();
  bool (*startPlugin)();
  void (*notifyChanges)();
  bool (*stopPlugin)();
  std::wstring (*path)();
  bool (*pathInto)(std::wstring&);
  const wchar_t* pathOperation;      // "GetHearthUrlFilterPath"
  const wchar_t* libraryField;       // "m_hHearthLibrary"
  const wchar_t* missingStatusEntry; // the whole line

  std::wstring Texts(const wchar_t* operation) const {
    return std::wstring(L"ExFilterDriver:") + name + L":" + operation + L" : ";
  }
  std::wstring Status(const wchar_t* text) const { return Texts(L"GetProtectionStatus") + text; }
  std::wstring Start(const wchar_t* text) const { return Texts(L"StartPlugin") + text; }
  std::wstring Stop(const wchar_t* text) const { return Texts(L"StopPlugin") + text; }
  std::wstring StartAttempt() const {
    return std::wstring(L"ExFilterDriver:") + name + L": StartPlugin : Will attempt to Start " + name + L" Plugin...";
  }
  std::wstring AlreadyActive() const {
    return std::wstring(L"ExFilterDriver:") + name + L": StartPlugin : Plugin already active.";
  }
  std::wstring Started() const { return Start((std::wstring(name) + L" Plugin started.").c_str()); }
  std::wstring StartFailed() const { return Start((std::wstring(L"Failed to START ") + name + L" Plugin.").c_str()); }
  std::wstring StopAttempt() const {
    return Stop((std::wstring(L"Will attempt to Stop ") + name + L" Plugin...").c_str());
  }
  std::wstring Stopped() const { return Stop((std::wstring(name) + L" Plugin stopped.").c_str()); }
  std::wstring StopFailed() const { return Stop((std::wstring(L"Failed to STOP ") + name + L" Plugin.").c_str()); }
  std::wstring NoLibrary() const { return Stop((std::wstring(libraryField) + L" is NULL.").c_str()); }
  std::wstring NotActive() const {
    return std::wstring(L"Cannot notify ") + name + L" plugin with changes , Plugin Not Active.";
  }
};

const Host kHosts[] = {
    {L"Hearth", SamplePlugin::Hearth, &Hearth::IsPluginAvailable, &Hearth::GetProtectionStatus,
     &Hearth::StartPlugin, &Hearth::NotifyChanges, &Hearth::StopPlugin, &Hearth::GetHearthUrlFilterPath,
     &Hearth::GetHearthUrlFilterPath, L"GetHearthUrlFilterPath", L"m_hHearthLibrary",
     L"ExFilterDriver:Hearth:Hearth:GetProtectionStatus : Failed to GetProcAddress PFNIDTHEFTGETPROTSTATUS."},
    {L"Malware", SamplePlugin::Malware, &Malware::IsPluginAvailable, &Malware::GetProtectionStatus,
     &Malware::StartPlugin, &Malware::NotifyChanges, &Malware::StopPlugin, &Malware::GetMalwarePluginPath,
     &Malware::GetMalwarePluginPath, L"GetMalwarePluginPath", L"MalwareLibrary",
     L"ExFilterDriver:Malware:GetProtectionStatus : Failed to GetProcAddress PFNIDTHEFTGETPROTSTATUS."},
};

const Host& HostOf(SamplePlugin plugin) { return plugin == SamplePlugin::Hearth ? kHosts[0] : kHosts[1]; }

class MachinePluginHost : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(install_.valid()); }
  // Nothing stays loaded into the next case or past the install's removal.
  void TearDown() override {
    Hearth::StopPlugin();
    Malware::StopPlugin();
  }

  void Use(const Host& host, SampleVariant variant, const SamplePluginSettings& settings) {
    ASSERT_FALSE(install_.IsLoadedHere(host.plugin));
    ASSERT_TRUE(install_.Install(host.plugin, variant));
    ASSERT_TRUE(install_.WriteSettings(host.plugin, settings));
    ASSERT_TRUE(install_.ClearJournal(host.plugin));
  }
  void Use(const Host& host, unsigned protectionStatus = 1) {
    SamplePluginSettings settings;
    settings.protectionStatus = protectionStatus;
    Use(host, SampleVariant::Complete, settings);
  }
  Calls JournalOf(const Host& host) const { return install_.JournalCalls(host.plugin); }
  bool Loaded(const Host& host) const { return install_.IsLoadedHere(host.plugin); }

  SamplePluginInstall install_;
};

TEST_F(MachinePluginHost, ProtectionOnStartsThenNotifiesAndOffNotifiesThenStops) {
  for (const Host& host : kHosts) {
    SCOPED_TRACE(std::string(host.name, host.name + wcslen(host.name)));
    Use(host, 1);
    LogWatch log;
    EXPECT_TRUE(host.isPluginAvailable());
    std::wstring path;
    EXPECT_TRUE(host.pathInto(path));
    EXPECT_EQ(install_.DllPath(host.plugin), path);
    EXPECT_EQ(install_.DllPath(host.plugin), host.path());

    // Protection on: the status comes from a load of its own, freed again.
    EXPECT_EQ(1, host.getProtectionStatus());
    EXPECT_FALSE(Loaded(host));
    EXPECT_TRUE(host.startPlugin());
    host.notifyChanges();
    EXPECT_TRUE(Loaded(host));
    EXPECT_EQ((Calls{"Attach", "GetProtectionStatus", "Detach", "Attach", "Start", "OnNotifyChanges"}),
              JournalOf(host));

    // Switched off while running: the query's own load leaves the slot's library as it
    // is, and the plug-in still takes the notification before it stops.
    SamplePluginSettings off;
    off.protectionStatus = 0;
    ASSERT_TRUE(install_.WriteSettings(host.plugin, off));
    EXPECT_EQ(0, host.getProtectionStatus());
    EXPECT_TRUE(Loaded(host));
    host.notifyChanges();
    EXPECT_TRUE(host.stopPlugin());
    EXPECT_FALSE(Loaded(host));
    EXPECT_EQ((Calls{"Attach", "GetProtectionStatus", "Detach", "Attach", "Start", "OnNotifyChanges",
                     "GetProtectionStatus", "OnNotifyChanges", "Stop", "Detach"}),
              JournalOf(host));

    EXPECT_EQ((std::vector<std::wstring>{
                  host.Status(L"invoked."), host.Status(L"Protection Status = ON"), host.StartAttempt(),
                  host.Started(), host.Status(L"invoked."), host.Status(L"Protection Status = OFF"),
                  host.StopAttempt(), host.Stopped()}),
              log.TextsStartingWith(L"ExFilterDriver:" + std::wstring(host.name)));
    EXPECT_EQ(2u, log.Count(LogLevel::Always, host.Status(L"invoked.")));
    EXPECT_EQ(1u, log.Count(LogLevel::Always, host.Status(L"Protection Status = ON")));
    EXPECT_EQ(1u, log.Count(LogLevel::Warn, host.Status(L"Protection Status = OFF")));
    EXPECT_EQ(1u, log.Count(LogLevel::Always, host.StartAttempt()));
    EXPECT_EQ(1u, log.Count(LogLevel::Always, host.Started()));
    EXPECT_EQ(1u, log.Count(LogLevel::Always, host.StopAttempt()));
    EXPECT_EQ(1u, log.Count(LogLevel::Always, host.Stopped()));
  }
}

TEST_F(MachinePluginHost, StartOfAnActivePluginCallsNoSecondStart) {
  for (const Host& host : kHosts) {
    Use(host);
    LogWatch log;
    EXPECT_TRUE(host.startPlugin());
    EXPECT_TRUE(host.startPlugin());
    host.notifyChanges();
    EXPECT_EQ((Calls{"Attach", "Start", "OnNotifyChanges"}), JournalOf(host));
    EXPECT_EQ(1u, log.Count(LogLevel::Always, host.AlreadyActive()));
    EXPECT_EQ(2u, log.Count(LogLevel::Always, host.StartAttempt()));
    EXPECT_TRUE(host.stopPlugin());
  }
}

TEST_F(MachinePluginHost, ProtectionStatusBytes) {
  struct Case {
    unsigned status;
    const wchar_t* shown;
    int level;
  } cases[] = {{0, L"OFF", LogLevel::Warn},
               {1, L"ON", LogLevel::Always},
               {2, L"OFF", LogLevel::Always},  // on for the caller, "OFF" in the line
               {255, L"OFF", LogLevel::Always}};
  for (const Host& host : kHosts) {
    for (const Case& c : cases) {
      Use(host, c.status);
      LogWatch log;
      EXPECT_EQ(c.status, host.getProtectionStatus());
      EXPECT_EQ(1u, log.Count(c.level, host.Status(L"Protection Status = ") + c.shown)) << c.status;
      EXPECT_FALSE(Loaded(host));
    }
  }
}

// Start returning false leaves the library loaded and inactive. Each further attempt
// frees it before loading again, so one stop unloads it whatever came before.
TEST_F(MachinePluginHost, FailedStartsLeaveOneLibraryThatOneStopFrees) {
  for (const Host& host : kHosts) {
    SamplePluginSettings settings;
    settings.startResult = false;
    Use(host, SampleVariant::Complete, settings);
    LogWatch log;
    for (int attempt = 0; attempt < 3; ++attempt) {
      EXPECT_FALSE(host.startPlugin());
      EXPECT_TRUE(Loaded(host));
    }
    host.notifyChanges();
    EXPECT_EQ(3u, log.Count(LogLevel::Error, host.StartFailed()));
    EXPECT_EQ(1u, log.Count(LogLevel::Warn, host.NotActive()));
    EXPECT_TRUE(host.stopPlugin());
    EXPECT_FALSE(Loaded(host)) << "a failed start kept a reference that the stop did not release";
    EXPECT_EQ((Calls{"Attach", "Start", "Detach", "Attach", "Start", "Detach", "Attach", "Start", "Stop", "Detach"}),
              JournalOf(host));

    // A stop that fails still frees the library; a stop with nothing loaded says so.
    settings.startResult = true;
    settings.stopResult = false;
    ASSERT_TRUE(install_.WriteSettings(host.plugin, settings));
    EXPECT_TRUE(host.startPlugin());
    EXPECT_FALSE(host.stopPlugin());
    EXPECT_FALSE(Loaded(host));
    EXPECT_EQ(1u, log.Count(LogLevel::Error, host.StopFailed()));
    EXPECT_FALSE(host.stopPlugin());
    EXPECT_EQ(1u, log.Count(LogLevel::Warn, host.NoLibrary()));
    EXPECT_EQ(3u, log.Count(LogLevel::Always, host.StopAttempt()));
  }
}

TEST_F(MachinePluginHost, EachMissingExportHasItsOwnLine) {
  struct Case {
    SamplePlugin plugin;
    SampleVariant variant;
    const wchar_t* startLine;  // null: the plug-in starts
    bool stopCallsStop;        // "Stop" was resolved by the failed load
  } cases[] = {
      {SamplePlugin::Hearth, SampleVariant::WithoutStart,
       L"ExFilterDriver:Hearth:StartPlugin : Failed to GetProcAddress-StartHTTPFltPlugin , GLE = 127", false},
      {SamplePlugin::Hearth, SampleVariant::WithoutStop,
       L"ExFilterDriver:Hearth:StartPlugin : Failed to GetProcAddress-StopHTTPFltPlugin , GLE = 127", false},
      {SamplePlugin::Hearth, SampleVariant::WithoutOnNotifyChanges,
       L"ExFilterDriver:Hearth:StartPlugin : Failed to GetProcAddress-pfnOnNotifyChanges , GLE = 127", true},
      {SamplePlugin::Hearth, SampleVariant::WithoutGenerateReports,
       L"ExFilterDriver:Hearth:StartPlugin : Failed to GetProcAddress-m_pfnGenerateReports , GLE = 127", true},
      {SamplePlugin::Malware, SampleVariant::WithoutStart,
       L"ExFilterDriver:Malware:StartPlugin : Failed to GetProcAddress-Start , GLE = 127", false},
      {SamplePlugin::Malware, SampleVariant::WithoutStop,
       L"ExFilterDriver:Malware:StartPlugin : Failed to GetProcAddress-Stop , GLE = 127", false},
      {SamplePlugin::Malware, SampleVariant::WithoutOnNotifyChanges,
       L"ExFilterDriver:Malware:StartPlugin : Failed to GetProcAddress-pfnOnNotifyChanges , GLE = 127", true},
      {SamplePlugin::Malware, SampleVariant::WithoutGenerateReports, nullptr, true},
  };
  for (const Case& c : cases) {
    const Host& host = HostOf(c.plugin);
    Use(host, c.variant, SamplePluginSettings());
    const std::string label = std::string(host.name, host.name + wcslen(host.name)) + " variant " +
                              std::to_string(static_cast<int>(c.variant));
    LogWatch log;
    EXPECT_EQ(c.startLine == nullptr, host.startPlugin()) << label;
    if (c.startLine != nullptr) {
      EXPECT_EQ(1u, log.Count(LogLevel::Error, c.startLine)) << label;
      EXPECT_EQ(0u, log.Count(host.Started())) << label;
    }
    // Without a resolved "Stop" the stop succeeds with its own line and frees the library.
    EXPECT_TRUE(host.stopPlugin()) << label;
    const std::wstring stopLine = c.stopCallsStop ? host.Stopped() : host.Stop(L"Stop pointer is NULL.");
    EXPECT_EQ(1u, log.Count(c.stopCallsStop ? LogLevel::Always : LogLevel::Warn, stopLine)) << label;
    EXPECT_FALSE(Loaded(host)) << label;
    Calls expected = {"Attach"};
    if (c.startLine == nullptr) expected.push_back("Start");
    if (c.stopCallsStop) expected.push_back("Stop");
    expected.push_back("Detach");
    EXPECT_EQ(expected, JournalOf(host)) << label;
  }

  // Without "GetProtectionStatus" the status is 0 and the plug-in still starts.
  for (const Host& host : kHosts) {
    Use(host, SampleVariant::WithoutGetProtectionStatus, SamplePluginSettings());
    LogWatch log;
    EXPECT_EQ(0, host.getProtectionStatus());
    EXPECT_EQ(1u, log.Count(LogLevel::Error, host.missingStatusEntry));
    EXPECT_EQ(0u, log.TextsStartingWith(host.Status(L"Protection Status")).size());
    EXPECT_FALSE(Loaded(host));
    EXPECT_TRUE(host.startPlugin());
    EXPECT_TRUE(host.stopPlugin());
  }
}

// A missing DLL and a folder that bears the DLL's name make no path, so the host says
// that it found no path rather than that the file does not exist; a file that is no
// DLL fails to load with the loader's error.
TEST_F(MachinePluginHost, MissingFolderNamedLikeTheDllOrUnloadableFile) {
  enum class Kind { Missing, Folder, NotADll };
  for (const Host& host : kHosts) {
    for (Kind kind : {Kind::Missing, Kind::Folder, Kind::NotADll}) {
      const std::wstring dll = install_.DllPath(host.plugin);
      if (kind == Kind::Folder) {
        ASSERT_TRUE(::CreateDirectoryW(dll.c_str(), nullptr));
      }
      if (kind == Kind::NotADll) {
        ASSERT_TRUE(test_support::WriteBytes(dll, std::string(4096, 'Z')));
      }
      const std::string label = std::string(host.name, host.name + wcslen(host.name)) + " case " +
                                std::to_string(static_cast<int>(kind));
      LogWatch log;
      std::wstring path = L"left over";
      const bool exists = kind == Kind::NotADll;
      EXPECT_EQ(exists, host.isPluginAvailable()) << label;
      EXPECT_EQ(exists, host.pathInto(path)) << label;
      EXPECT_EQ(exists ? dll : L"", path) << label;
      EXPECT_EQ(0, host.getProtectionStatus()) << label;
      EXPECT_FALSE(host.startPlugin()) << label;
      EXPECT_FALSE(host.stopPlugin()) << label;
      if (exists) {
        EXPECT_EQ(1u, log.Count(LogLevel::Error, host.Status(L"Failed to load-library , GLE = 193"))) << label;
        EXPECT_EQ(1u, log.Count(LogLevel::Error, host.Start(L"Failed to load-library , GLE = 193"))) << label;
      } else {
        const std::wstring noPath = std::wstring(L"Failed to ") + host.pathOperation + L".";
        EXPECT_EQ(1u, log.Count(LogLevel::Error, host.Status(noPath.c_str()))) << label;
        EXPECT_EQ(1u, log.Count(LogLevel::Error, host.Start(noPath.c_str()))) << label;
        EXPECT_EQ(0u, log.TextsStartingWith(host.Start(L"Plugin doesn't exists")).size()) << label;
        EXPECT_EQ(0u, log.TextsStartingWith(host.Status(L"Plugin doesn't exists")).size()) << label;
      }
      EXPECT_EQ(1u, log.Count(LogLevel::Warn, host.NoLibrary())) << label;
      if (kind == Kind::Folder) ::RemoveDirectoryW(dll.c_str());
      if (kind == Kind::NotADll) ::DeleteFileW(dll.c_str());
    }
  }
}

TEST_F(MachinePluginHost, SuiteTypeZkMakesEveryPluginUnavailable) {
  ASSERT_TRUE(install_.InstallAll());
  std::wstring path;
  EXPECT_TRUE(IDTheft::GetIDTheftPluginPath(path));
  EXPECT_EQ(install_.DllPath(SamplePlugin::IDTheft), path);
  EXPECT_EQ(path, IDTheft::GetIDTheftPluginPath());
  struct Case {
    const wchar_t* suiteType;
    bool available;
  } cases[] = {{L"zk", false}, {L"ZK", false}, {L"zK", false}, {L"zk2", true}, {L"", true}};
  for (const Case& c : cases) {
    ASSERT_TRUE(install_.SetSuiteType(c.suiteType));
    const std::string label(c.suiteType, c.suiteType + wcslen(c.suiteType));
    EXPECT_EQ(c.available, Hearth::IsPluginAvailable()) << label;
    EXPECT_EQ(c.available, Malware::IsPluginAvailable()) << label;
    EXPECT_EQ(c.available, IDTheft::IsPluginAvailable()) << label;
  }
  ASSERT_TRUE(install_.Remove(SamplePlugin::IDTheft));
  ASSERT_TRUE(install_.SetSuiteType(L"full"));
  EXPECT_FALSE(IDTheft::IsPluginAvailable());
  EXPECT_FALSE(IDTheft::GetIDTheftPluginPath(path));
  EXPECT_EQ(L"", path);
}

}  // namespace
