// The filter core run in a child process of its own (it starts once per process), with
// the sample plug-ins installed where the machine's registry points, the control
// centre's queue served by this test, and the settings events set from here.
#include "core/SentrelCore.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/UniqueHandle.h"
#include "ipc/CollectingChannel.h"
#include "ipc/GenericPacket.h"
#include "ipc/SharedNames.h"
#include "log/Logger.h"
#include "support/ChildProcess.h"
#include "support/LogWatch.h"
#include "support/SamplePluginInstall.h"
#include "support/ScratchFiles.h"
#include "support/ScratchRegKey.h"

namespace {

using test_support::ChildProcess;
using test_support::LogWatch;
using test_support::MachineValueGuard;
using test_support::SamplePlugin;
using test_support::SamplePluginInstall;
using test_support::SamplePluginSettings;
using test_support::ScratchFolder;
using test_support::UniqueName;
using Calls = std::vector<std::string>;

constexpr DWORD kChildWaitMs = 60000;
constexpr wchar_t kWatchdogValue[] = L"WatchDog_SentrelSrv";

const wchar_t kWorkerStarted[] = L"SentrelCore::WorkerThreadFunc - worker thread started";
const wchar_t kShutdownAccepted[] = L"SentrelCore::WorkerThreadFunc - worker thread: Shutown event has been accepted.";
const wchar_t kHearthAccepted[] =
    L"SentrelCore::WorkerThreadFunc - Hearth Settings Change notification event has been accepted.";
const wchar_t kIdentitiesAccepted[] =
    L"SentrelCore::WorkerThreadFunc - IDTheft Settings Change notification event has been accepted.";
const wchar_t kMalwareAccepted[] =
    L"SentrelCore::WorkerThreadFunc - Malware Settings Change notification event has been accepted.";
const wchar_t kWillStopPlugins[] = L"  SentrelCore::WorkerThreadFunc - worker thread: will stop plugins....";
const wchar_t kPluginsStopped[] = L"  SentrelCore::WorkerThreadFunc - Pplugins stopped.";
const wchar_t kWorkerCompleted[] = L"SentrelCore::WorkerThreadFunc - worker thread completed";

void Signal(const std::wstring& name) {
  UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
  if (event) ::SetEvent(event.get());
}

bool WaitNamed(const std::wstring& name, DWORD ms) {
  UniqueKernelHandle event(::OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
  return event && ::WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0;
}

// The watchdog flag as stored; -1 when the value is missing.
long long WatchdogFlag() {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Veltrane", kWatchdogValue, RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS) {
    return -1;
  }
  return value;
}

// Waits until `done` holds, up to `ms`.
template <typename Condition>
bool Eventually(Condition done, DWORD ms) {
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  for (;;) {
    if (done()) return true;
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(20);
  }
}

// Index of the first entry equal to `text` at or after `from`; npos when none.
size_t Find(const std::vector<std::wstring>& texts, const std::wstring& text, size_t from = 0) {
  for (size_t i = from; i < texts.size(); ++i) {
    if (texts[i] == text) return i;
  }
  return std::wstring::npos;
}

// True when `expected` appear in `texts` in this order (other lines may lie between).
bool InOrder(const std::vector<std::wstring>& texts, const std::vector<std::wstring>& expected) {
  size_t at = 0;
  for (const std::wstring& text : expected) {
    at = Find(texts, text, at);
    if (at == std::wstring::npos) return false;
    ++at;
  }
  return true;
}

// Sets the identities event and waits for the worker's next line accepting it. The worker
// handles one event at a time, so by then every line of the events it took before is in
// the log; and a worker spinning on an event that comes before it in its wait never
// gets there.
bool IdentitiesAccepted(const LogWatch& log) {
  const size_t before = log.Count(kIdentitiesAccepted);
  Signal(SharedNames::kIdentitiesChangedEvent);
  return Eventually([&] { return log.Count(kIdentitiesAccepted) > before; }, 30000);
}

// A core run in a child process: started at once; told to stop with Stop(); the exit
// code says how the worker ended (0: within 30 s of Stop).
class CoreChild {
 public:
  CoreChild() : ready_(UniqueName(L"CoreReady")), stop_(UniqueName(L"CoreStop")) {
    readyEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, ready_.c_str()));
    stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, stop_.c_str()));
    child_ = ChildProcess::Start(L"core-run", {ready_, stop_});
    log_.Follow(child_.pid());
  }
  ~CoreChild() {
    ::SetEvent(stopEvent_.get());
    if (!child_.Wait(kChildWaitMs)) child_.Kill();
  }

  // True once Start has returned true in the child.
  bool WaitStarted() { return ::WaitForSingleObject(readyEvent_.get(), kChildWaitMs) == WAIT_OBJECT_0; }
  void Stop() { ::SetEvent(stopEvent_.get()); }
  DWORD Finish() {
    Stop();
    DWORD exitCode = 99;
    if (!child_.Wait(kChildWaitMs, &exitCode)) {
      child_.Kill();
      return 98;
    }
    return exitCode;
  }
  const LogWatch& log() const { return log_; }
  DWORD pid() const { return child_.pid(); }

 private:
  std::wstring ready_;
  std::wstring stop_;
  UniqueKernelHandle readyEvent_;
  UniqueKernelHandle stopEvent_;
  LogWatch log_{Logger::Instance().FilePath()};
  ChildProcess child_;
};

// The installed sample plug-ins with protection on, journals empty.
class MachineCore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(install_.valid());
    ASSERT_TRUE(install_.InstallAll());
    for (SamplePlugin plugin : {SamplePlugin::Hearth, SamplePlugin::Malware, SamplePlugin::IDTheft}) {
      ASSERT_TRUE(install_.WriteSettings(plugin, SamplePluginSettings()));
      ASSERT_TRUE(install_.ClearJournal(plugin));
    }
  }
  Calls Journal(SamplePlugin plugin) const { return install_.JournalCalls(plugin); }
  // The journal's calls without the load and unload marks.
  Calls Exports(SamplePlugin plugin) const {
    Calls calls;
    for (const std::string& call : Journal(plugin)) {
      if (call != "Attach" && call != "Detach") calls.push_back(call);
    }
    return calls;
  }
  bool JournalEndsWith(SamplePlugin plugin, const Calls& tail) const {
    const Calls calls = Exports(plugin);
    return calls.size() >= tail.size() && std::equal(tail.begin(), tail.end(), calls.end() - tail.size());
  }

  SamplePluginInstall install_;
  MachineValueGuard watchdog_{L"SOFTWARE\\Veltrane", kWatchdogValue};
};

}  // namespace

// args: ready event, stop event. Starts the core, says so, waits to be told to stop,
// stops it and waits for the worker.
SENTREL_CHILD(L"core-run", args) {
  if (!SentrelCore::Start()) return 2;
  Signal(args.at(0));
  WaitNamed(args.at(1), kChildWaitMs);
  const HANDLE worker = SentrelCore::Stop();
  if (worker == nullptr) return 3;
  return ::WaitForSingleObject(worker, 30000) == WAIT_OBJECT_0 ? 0 : 4;
}

// args: expected folders in front of PATH (none: PATH unchanged). Exit code 0 when
// PATH after Start is as expected.
SENTREL_CHILD(L"core-path", args) {
  wchar_t before[32767] = {};
  ::GetEnvironmentVariableW(L"PATH", before, 32767);
  if (!SentrelCore::Start()) return 2;
  wchar_t after[32767] = {};
  ::GetEnvironmentVariableW(L"PATH", after, 32767);
  std::wstring expected;
  for (const std::wstring& folder : args) expected += folder + L";";
  expected = args.empty() ? std::wstring(before) : expected + before;
  const HANDLE worker = SentrelCore::Stop();
  if (worker != nullptr) ::WaitForSingleObject(worker, 30000);
  return expected == after ? 0 : 1;
}

// args: a pause in ms. Starts, pauses, and stops, while another process may be setting
// the settings events.
SENTREL_CHILD(L"core-quick-stop", args) {
  if (!SentrelCore::Start()) return 2;
  ::Sleep(args.empty() ? 0 : static_cast<DWORD>(std::stoul(args.at(0))));
  const HANDLE worker = SentrelCore::Stop();
  if (worker == nullptr) return 3;
  return ::WaitForSingleObject(worker, 30000) == WAIT_OBJECT_0 ? 0 : 4;
}

// A Start that fails because a settings event cannot be created. Exit code: 0 when Start
// failed, Stop returned no worker and Stop closed every event Start had created (the
// process holds two handles fewer: the Hearth settings event and the shutdown event).
SENTREL_CHILD(L"core-start-fails", args) {
  // The handles this process holds, found by asking about every small handle value
  // (Wine does not count them for GetProcessHandleCount).
  const auto openHandles = [] {
    int count = 0;
    for (ULONG_PTR value = 4; value < 16384; value += 4) {
      DWORD flags = 0;
      if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
  };
  if (SentrelCore::Start()) return 2;
  const int before = openHandles();
  if (SentrelCore::Stop() != nullptr) return 4;
  const int closed = before - openHandles();
  return closed == 2 ? 0 : 10 + closed;
}

TEST_F(MachineCore, AnnouncesItselfToTheControlCentreOnce) {
  CollectingChannel controlCentre;
  ASSERT_TRUE(controlCentre.Create(SMIPCTNG::kServer, SharedNames::kControlCenterHighQueue,
                                   SharedNames::kControlCenterQueueSize));
  const long long before = static_cast<long long>(std::time(nullptr));
  CoreChild core;
  ASSERT_TRUE(core.WaitStarted());
  ASSERT_TRUE(controlCentre.WaitForItems(1, 30000));
  const long long after = static_cast<long long>(std::time(nullptr));

  const std::vector<ReceivedItem> items = controlCentre.Items();
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(L"91C2257D-77FF-463A-8E40-1CE2B0D3B84", items[0].channel);
  const std::string& payload = items[0].payload;
  ASSERT_GE(payload.size(), 4u);
  ASSERT_EQ(0u, payload.size() % 2);
  EXPECT_EQ(std::string(2, '\0'), payload.substr(payload.size() - 2)) << "the text ends with its NUL";
  const std::wstring wide(reinterpret_cast<const wchar_t*>(payload.data()), payload.size() / 2 - 1);
  const std::string json(wide.begin(), wide.end());
  const size_t creation = json.find("\"CreationTime\""), priority = json.find("\"Priority\""),
               service = json.find("\"Service\"");
  ASSERT_NE(std::string::npos, creation);
  EXPECT_LT(creation, priority);
  EXPECT_LT(priority, service);

  GenericPacket packet;
  ASSERT_TRUE(packet.GetPacket(json));
  EXPECT_EQ("ServiceType", packet.Type());
  EXPECT_EQ("SubTypeServiceStatus", packet.SubType());
  EXPECT_EQ("91C2257D-77FF-463A-8E40-1CE2B0D3B840", packet.ChannelId());
  EXPECT_EQ("high", packet.GetValue("Priority"));
  EXPECT_EQ("start", packet.GetValue("Service"));
  const long long created = std::stoll(packet.GetValue("CreationTime"));
  EXPECT_GE(created, before - 2);
  EXPECT_LE(created, after + 2);

  EXPECT_EQ(1, WatchdogFlag());
  EXPECT_EQ(0u, core.Finish());
  EXPECT_EQ(0, WatchdogFlag());
  EXPECT_EQ(1u, controlCentre.Items().size()) << "the packet is written once";
}

TEST_F(MachineCore, WithoutControlCentreTheOneWriteFailsAndTheWorkerGoesOn) {
  CoreChild core;
  ASSERT_TRUE(core.WaitStarted());
  const std::wstring failed = std::wstring(L"GenericPacket::WriteOnce: Failed to init IPC client : Queue : ") +
                              SharedNames::kControlCenterHighQueue + L".";
  ASSERT_TRUE(core.log().WaitFor(failed, 30000));
  Signal(SharedNames::kIdentitiesChangedEvent);
  EXPECT_TRUE(core.log().WaitFor(kIdentitiesAccepted, 30000));
  EXPECT_EQ(0u, core.Finish());
  EXPECT_EQ(1u, core.log().Count(failed));
}

TEST_F(MachineCore, SettingsEventsDriveThePluginsAndTheEndStopsThemInOrder) {
  CoreChild core;
  ASSERT_TRUE(core.WaitStarted());
  // Initial pass: both started plug-ins are on.
  ASSERT_TRUE(Eventually([&] { return JournalEndsWith(SamplePlugin::Hearth, {"Start", "OnNotifyChanges"}); }, 30000));
  ASSERT_TRUE(JournalEndsWith(SamplePlugin::Malware, {"GetProtectionStatus", "Start", "OnNotifyChanges"}));
  EXPECT_TRUE(InOrder(core.log().NewTexts(), {L"-- Manage MalwarePlugin --", L"-- Start MalwarePlugin ON --",
                                              L"-- Manage Hearth --", L"-- Start Hearth ON --"}));

  // Hearth switched off: notified, then stopped.
  SamplePluginSettings off;
  off.protectionStatus = 0;
  ASSERT_TRUE(install_.WriteSettings(SamplePlugin::Hearth, off));
  Signal(SharedNames::kHearthReloadSettingsEvent);
  ASSERT_TRUE(Eventually([&] { return JournalEndsWith(SamplePlugin::Hearth, {"OnNotifyChanges", "Stop"}); }, 30000));
  EXPECT_TRUE(core.log().WaitFor(L"-- Stop Hearth OFF --", 10000));

  // Malware still on: the running plug-in is only notified.
  const size_t malwareCalls = Exports(SamplePlugin::Malware).size();
  Signal(SharedNames::kMalwareSettingsChangedEvent);
  ASSERT_TRUE(core.log().WaitFor(kMalwareAccepted, 30000));
  ASSERT_TRUE(Eventually([&] { return Exports(SamplePlugin::Malware).size() >= malwareCalls + 2; }, 30000));
  EXPECT_TRUE(JournalEndsWith(SamplePlugin::Malware, {"GetProtectionStatus", "OnNotifyChanges"}));
  EXPECT_EQ(1u, core.log().Count(L"ExFilterDriver:Malware: StartPlugin : Plugin already active."));

  // Identities: its line and nothing else, up to the line of the next identities signal.
  ASSERT_TRUE(IdentitiesAccepted(core.log()));
  ASSERT_TRUE(IdentitiesAccepted(core.log()));
  const std::vector<std::wstring> texts = core.log().NewTexts();
  const size_t first = Find(texts, kIdentitiesAccepted);
  ASSERT_LT(first + 1, texts.size());
  EXPECT_EQ(kIdentitiesAccepted, texts[first + 1]) << "a line between the two identities lines";

  EXPECT_EQ(0u, core.Finish());
  EXPECT_TRUE(InOrder(core.log().NewTexts(),
                      {kShutdownAccepted, kWillStopPlugins,
                       L"ExFilterDriver:Malware:StopPlugin : Will attempt to Stop Malware Plugin...",
                       L"ExFilterDriver:Malware:StopPlugin : Malware Plugin stopped.",
                       L"ExFilterDriver:IDTheft:StopPlugin : Will attempt to Stop IDheft Plugin ...",
                       L"ExFilterDriver:Hearth:StopPlugin : Will attempt to Stop Hearth Plugin...",
                       L"ExFilterDriver:Hearth:StopPlugin : m_hHearthLibrary is NULL.", kPluginsStopped,
                       kWorkerCompleted}));
  EXPECT_TRUE(JournalEndsWith(SamplePlugin::Malware, {"Stop"}));
  EXPECT_TRUE(Journal(SamplePlugin::IDTheft).empty()) << "the identity-theft plug-in is never loaded";
  EXPECT_EQ(0, WatchdogFlag());
}

TEST_F(MachineCore, ShutdownSignalledWhileAPluginStartsIsHandledAfterIt) {
  SamplePluginSettings off;
  off.protectionStatus = 0;
  ASSERT_TRUE(install_.WriteSettings(SamplePlugin::Malware, off));
  ASSERT_TRUE(install_.Remove(SamplePlugin::Hearth));
  CoreChild core;
  ASSERT_TRUE(core.WaitStarted());
  ASSERT_TRUE(Eventually([&] { return JournalEndsWith(SamplePlugin::Malware, {"GetProtectionStatus"}); }, 30000));

  SamplePluginSettings slow;
  slow.startDelayMs = 3000;
  ASSERT_TRUE(install_.WriteSettings(SamplePlugin::Malware, slow));
  Signal(SharedNames::kMalwareSettingsChangedEvent);
  ASSERT_TRUE(core.log().WaitFor(L"-- Start MalwarePlugin ON --", 30000));
  core.Stop();  // while "Start" sleeps
  EXPECT_EQ(0u, core.Finish());

  const std::vector<std::wstring> texts = core.log().NewTexts();
  EXPECT_TRUE(InOrder(texts, {kMalwareAccepted, L"ExFilterDriver:Malware:StartPlugin : Malware Plugin started.",
                              kShutdownAccepted, L"ExFilterDriver:Malware:StopPlugin : Malware Plugin stopped."}));
  EXPECT_TRUE(JournalEndsWith(SamplePlugin::Malware, {"Start", "OnNotifyChanges", "Stop"}));
}

TEST_F(MachineCore, ExistingSuiteFoldersComeFirstInPathInTheirOrder) {
  ScratchFolder root(L"SuiteRoot");
  ScratchFolder antiVirus(L"AntiVirus");
  MachineValueGuard rootPath(L"SOFTWARE\\Veltrane", L"InstallPath");
  MachineValueGuard antiVirusPath(L"SOFTWARE\\Veltrane\\Anti-Virus", L"InstallPath");
  ASSERT_TRUE(rootPath.SetString(root.path()));
  ASSERT_TRUE(antiVirusPath.SetString(antiVirus.path()));

  ChildProcess child = ChildProcess::Start(
      L"core-path", {root.path(), install_.Folder(SamplePlugin::Hearth), install_.Folder(SamplePlugin::Malware),
                     install_.Folder(SamplePlugin::IDTheft), antiVirus.path(), install_.installPath()});
  DWORD exitCode = 99;
  ASSERT_TRUE(child.Wait(kChildWaitMs, &exitCode));
  EXPECT_EQ(0u, exitCode);
}

TEST(MachineCoreWithoutSuite, PathIsUnchangedWhenNoSuiteFolderExists) {
  MachineValueGuard rootPath(L"SOFTWARE\\Veltrane", L"InstallPath");
  MachineValueGuard antiVirusPath(L"SOFTWARE\\Veltrane\\Anti-Virus", L"InstallPath");
  MachineValueGuard webFilterPath(L"SOFTWARE\\Veltrane\\WebFilter", L"InstallPath");
  MachineValueGuard watchdog(L"SOFTWARE\\Veltrane", kWatchdogValue);
  ASSERT_TRUE(rootPath.Remove());
  ASSERT_TRUE(antiVirusPath.SetString(L"C:\\no\\such\\folder"));
  ASSERT_TRUE(webFilterPath.Remove());
  ChildProcess child = ChildProcess::Start(L"core-path");
  DWORD exitCode = 99;
  ASSERT_TRUE(child.Wait(kChildWaitMs, &exitCode));
  EXPECT_EQ(0u, exitCode);
}

// Stop closes the settings events while the worker waits on them, here while another
// thread keeps setting them, after pauses that let the worker reach its wait or not:
// the worker still ends through its shutdown line, every time. A round whose log shows a
// settings event accepted had its worker in its wait loop when Stop came; at least one
// round must, or the case this test is about never happened.
TEST(MachineCoreWithoutSuite, StopWhileTheWorkerWaitsEndsItCleanlyEveryTime) {
  MachineValueGuard webFilterPath(L"SOFTWARE\\Veltrane\\WebFilter", L"InstallPath");
  MachineValueGuard watchdog(L"SOFTWARE\\Veltrane", kWatchdogValue);
  ASSERT_TRUE(webFilterPath.Remove());
  // Joined however the test ends: a failed assertion must not leave a joinable thread
  // (that ends the whole program before the guards above put the machine values back).
  struct Storm {
    std::atomic<bool> done{false};
    std::thread thread;
    ~Storm() {
      done = true;
      if (thread.joinable()) thread.join();
    }
  } storm;
  storm.thread = std::thread([&storm] {
    while (!storm.done) {
      Signal(SharedNames::kHearthReloadSettingsEvent);
      Signal(SharedNames::kIdentitiesChangedEvent);
      Signal(SharedNames::kMalwareSettingsChangedEvent);
    }
  });
  int roundsInLoop = 0;
  for (int round = 0; round < 12; ++round) {
    LogWatch log(Logger::Instance().FilePath());
    ChildProcess child = ChildProcess::Start(L"core-quick-stop", {std::to_wstring(round % 4 * 20)});
    log.Follow(child.pid());
    DWORD exitCode = 99;
    ASSERT_TRUE(child.Wait(kChildWaitMs, &exitCode));
    EXPECT_EQ(0u, exitCode) << "round " << round;
    EXPECT_EQ(0u, log.TextsStartingWith(L"SentrelCore::WorkerThreadFunc - worker thread: Unexpected").size());
    EXPECT_EQ(1u, log.Count(kWorkerCompleted)) << "round " << round;
    const std::vector<std::wstring> texts = log.NewTexts();
    const size_t shutdown = Find(texts, kShutdownAccepted);
    EXPECT_NE(std::wstring::npos, shutdown) << "round " << round;
    for (const wchar_t* accepted : {kHearthAccepted, kIdentitiesAccepted, kMalwareAccepted}) {
      if (Find(texts, accepted) < shutdown) {
        ++roundsInLoop;
        break;
      }
    }
  }
  storm.done = true;
  storm.thread.join();
  std::printf("rounds whose worker was in its wait loop when Stop came: %d of 12\n", roundsInLoop);
  EXPECT_GT(roundsInLoop, 0) << "no round stopped the worker in its wait loop";
  EXPECT_EQ(0, WatchdogFlag());
}

// Another program created a settings event before the service, as a manual-reset event,
// and left it set: each setting still counts once, the worker does not spin on it.
TEST(MachineCoreWithoutSuite, ASettingsEventLeftSetByAManualResetOwnerCountsOnce) {
  MachineValueGuard webFilterPath(L"SOFTWARE\\Veltrane\\WebFilter", L"InstallPath");
  MachineValueGuard watchdog(L"SOFTWARE\\Veltrane", kWatchdogValue);
  ASSERT_TRUE(webFilterPath.Remove());
  UniqueKernelHandle squatted(::CreateEventW(nullptr, TRUE, TRUE, SharedNames::kHearthReloadSettingsEvent));
  ASSERT_TRUE(squatted.valid());

  CoreChild core;
  ASSERT_TRUE(core.WaitStarted());
  ASSERT_TRUE(core.log().WaitFor(kHearthAccepted, 30000));
  ASSERT_TRUE(IdentitiesAccepted(core.log())) << "the worker spins on the Hearth event";
  EXPECT_EQ(1u, core.log().Count(kHearthAccepted));
  ASSERT_TRUE(::SetEvent(squatted.get()));
  ASSERT_TRUE(Eventually([&] { return core.log().Count(kHearthAccepted) >= 2; }, 30000));
  ASSERT_TRUE(IdentitiesAccepted(core.log())) << "the worker spins on the Hearth event";
  EXPECT_EQ(2u, core.log().Count(kHearthAccepted));
  EXPECT_EQ(0u, core.Finish());
  EXPECT_EQ(1u, core.log().Count(kWorkerCompleted));
}

// "Global\\IdentitiesChanged" is taken by a mutex: Start fails with its line, no worker
// runs, no plug-in is touched, and Stop leaves no event of the failed Start open.
TEST_F(MachineCore, AnEventThatCannotBeCreatedFailsStartAndStopClosesWhatItMade) {
  UniqueKernelHandle squatter(::CreateMutexW(nullptr, FALSE, SharedNames::kIdentitiesChangedEvent));
  ASSERT_TRUE(squatter.valid());
  LogWatch log(Logger::Instance().FilePath());
  ChildProcess child = ChildProcess::Start(L"core-start-fails");
  log.Follow(child.pid());
  DWORD exitCode = 99;
  ASSERT_TRUE(child.Wait(kChildWaitMs, &exitCode));
  EXPECT_EQ(0u, exitCode);
  EXPECT_EQ(1u, log.Count(LogLevel::Error,
                          L"SentrelCore::StartWorkerThread - Failed to create the IDTheft settings changed event. "
                          L"GLE = 6"));
  EXPECT_EQ(0u, log.Count(kWorkerStarted));
  EXPECT_EQ(0u, log.Count(L"SentrelCore::StartWorkerThread - Failed to create the Malware settings changed event. "
                          L"GLE = 6"));
  for (SamplePlugin plugin : {SamplePlugin::Hearth, SamplePlugin::Malware, SamplePlugin::IDTheft}) {
    EXPECT_TRUE(Journal(plugin).empty());
  }
}

// Stop clears the process-wide resource manager, which opens the suite's resource mutex.
TEST(MachineCoreWithoutSuite, StopBeforeStartSignalsNothingAndReturnsNoWorker) {
  LogWatch log;
  EXPECT_EQ(nullptr, SentrelCore::Stop());
  EXPECT_EQ(1u, log.Count(LogLevel::Always, L"SentrelCore::Stop - invoked"));
  EXPECT_EQ(0u, log.Count(L"SentrelCore::Stop - stopping WorkerThreadFunc"));
  EXPECT_EQ(1u, log.Count(L"ResourceMgr::DeInit - invoked"));
}
