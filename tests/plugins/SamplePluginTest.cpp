// The sample plug-in DLLs on their own: exports of each build, settings read on every
// call, the journal, the event set after each call and a "Stop" that hangs.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"
#include "support/SamplePluginInstall.h"
#include "support/ScratchFiles.h"

namespace {

using test_support::JournalLine;
using test_support::SamplePlugin;
using test_support::SamplePluginSettings;
using test_support::SampleVariant;

using ByteFn = unsigned char (*)();
using VoidFn = void (*)();

const char* const kExports[] = {"Start", "Stop", "OnNotifyChanges", "GenerateReports", "GetProtectionStatus"};

// A copy of a built sample DLL in a scratch folder of its own, under `fileName`.
class SampleCopy {
 public:
  SampleCopy(SampleVariant variant, const wchar_t* fileName)
      : path_(folder_ / fileName) {
    copied_ = ::CopyFileW(test_support::SamplePluginBuiltDll(SamplePlugin::Hearth, variant).c_str(),
                          path_.c_str(), FALSE) != FALSE;
  }
  bool copied() const { return copied_; }
  const std::wstring& path() const { return path_; }
  std::vector<JournalLine> Journal() const { return test_support::ReadSampleJournal(path_); }

 private:
  test_support::ScratchFolder folder_{L"SamplePlugin"};
  std::wstring path_;
  bool copied_ = false;
};

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(::GetProcAddress(module, name));
}

TEST(SamplePlugin, EachBuildExportsTheContractLessItsOneMissingExport) {
  struct Case {
    SamplePlugin plugin;
    SampleVariant variant;
    const char* missing;  // null: all five
  } cases[] = {
      {SamplePlugin::Hearth, SampleVariant::Complete, nullptr},
      {SamplePlugin::Malware, SampleVariant::Complete, nullptr},
      {SamplePlugin::IDTheft, SampleVariant::Complete, nullptr},
      {SamplePlugin::Hearth, SampleVariant::WithoutStart, "Start"},
      {SamplePlugin::Hearth, SampleVariant::WithoutStop, "Stop"},
      {SamplePlugin::Hearth, SampleVariant::WithoutOnNotifyChanges, "OnNotifyChanges"},
      {SamplePlugin::Hearth, SampleVariant::WithoutGenerateReports, "GenerateReports"},
      {SamplePlugin::Hearth, SampleVariant::WithoutGetProtectionStatus, "GetProtectionStatus"},
  };
  for (const Case& c : cases) {
    const std::wstring built = test_support::SamplePluginBuiltDll(c.plugin, c.variant);
    UniqueModule module(::LoadLibraryExW(built.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    ASSERT_TRUE(module.valid()) << "not built: " << std::string(built.begin(), built.end());
    for (const char* name : kExports) {
      const bool expected = c.missing == nullptr || std::string(name) != c.missing;
      EXPECT_EQ(expected, ::GetProcAddress(module.get(), name) != nullptr)
          << name << " in " << std::string(built.begin(), built.end());
    }
  }
}

// A file's time is only as fine as the clock that set it (about 16 ms on Windows, 2 s
// on FAT): settings rewritten that soon keep their time, and here their size too. The
// new values are still the ones the next call sees.
TEST(SamplePlugin, SettingsRewrittenWithinOneTickOfTheClockAreSeen) {
  SampleCopy copy(SampleVariant::Complete, L"MalwarePlugin.dll");
  ASSERT_TRUE(copy.copied());
  const std::wstring settingsPath = test_support::SampleSettingsPath(copy.path());
  SamplePluginSettings settings;
  settings.protectionStatus = 3;
  ASSERT_TRUE(test_support::WriteSampleSettings(copy.path(), settings));
  WIN32_FILE_ATTRIBUTE_DATA first = {};
  ASSERT_TRUE(::GetFileAttributesExW(settingsPath.c_str(), GetFileExInfoStandard, &first));

  UniqueModule module(::LoadLibraryW(copy.path().c_str()));
  ASSERT_TRUE(module.valid());
  const auto getStatus = Export<ByteFn>(module.get(), "GetProtectionStatus");
  EXPECT_EQ(3, getStatus());

  settings.protectionStatus = 4;
  ASSERT_TRUE(test_support::WriteSampleSettings(copy.path(), settings));
  {
    UniqueKernelHandle file(::CreateFileW(settingsPath.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &first.ftLastWriteTime));
  }
  WIN32_FILE_ATTRIBUTE_DATA second = {};
  ASSERT_TRUE(::GetFileAttributesExW(settingsPath.c_str(), GetFileExInfoStandard, &second));
  ASSERT_EQ(first.nFileSizeLow, second.nFileSizeLow);
  ASSERT_EQ(0, ::CompareFileTime(&first.ftLastWriteTime, &second.ftLastWriteTime));
  EXPECT_EQ(4, getStatus());
}

TEST(SamplePlugin, JournalsEveryCallAndReadsItsSettingsOnEachCall) {
  SampleCopy copy(SampleVariant::Complete, L"MalwarePlugin.dll");
  ASSERT_TRUE(copy.copied());
  SamplePluginSettings settings;
  settings.protectionStatus = 0;
  settings.startResult = false;
  ASSERT_TRUE(test_support::WriteSampleSettings(copy.path(), settings));

  // Owned, so that a failed assertion does not leave the DLL loaded and its scratch
  // folder undeletable.
  UniqueModule module(::LoadLibraryW(copy.path().c_str()));
  ASSERT_TRUE(module.valid());
  const auto getStatus = Export<ByteFn>(module.get(), "GetProtectionStatus");
  const auto start = Export<ByteFn>(module.get(), "Start");
  const auto stop = Export<ByteFn>(module.get(), "Stop");
  const auto notify = Export<ByteFn>(module.get(), "OnNotifyChanges");
  const auto reports = Export<VoidFn>(module.get(), "GenerateReports");

  EXPECT_EQ(0, getStatus());
  EXPECT_EQ(0, start());
  // Switched while loaded: the next calls see the new values.
  settings.protectionStatus = 2;
  settings.startResult = true;
  settings.stopResult = false;
  ASSERT_TRUE(test_support::WriteSampleSettings(copy.path(), settings));
  EXPECT_EQ(2, getStatus());
  EXPECT_EQ(1, start());
  EXPECT_EQ(1, notify());
  reports();
  EXPECT_EQ(0, stop());
  module.reset();

  const std::vector<JournalLine> journal = copy.Journal();
  const std::vector<std::string> expectedCalls = {"Attach", "GetProtectionStatus", "Start", "GetProtectionStatus",
                                                  "Start",  "OnNotifyChanges",     "GenerateReports", "Stop",
                                                  "Detach"};
  const std::vector<std::string> expectedResults = {"-", "0", "0", "2", "1", "1", "-", "0", "-"};
  ASSERT_EQ(expectedCalls, test_support::CallsOf(journal));
  for (size_t i = 0; i < journal.size(); ++i) {
    EXPECT_EQ(expectedResults[i], journal[i].result) << journal[i].call;
    EXPECT_EQ(::GetCurrentProcessId(), journal[i].pid);
    EXPECT_EQ(::GetCurrentThreadId(), journal[i].tid);
    EXPECT_EQ(23u, journal[i].time.size()) << journal[i].time;  // yyyy-mm-ddThh:mm:ss.mmm
    if (i > 0) {
      EXPECT_LE(journal[i - 1].qpc, journal[i].qpc);
    }
  }

  // Without settings file the plug-in is on and succeeds; with the journal off it
  // writes nothing.
  ::DeleteFileW(test_support::SampleSettingsPath(copy.path()).c_str());
  ASSERT_TRUE(test_support::ClearSampleJournal(copy.path()));
  module.reset(::LoadLibraryW(copy.path().c_str()));
  ASSERT_TRUE(module.valid());
  EXPECT_EQ(1, Export<ByteFn>(module.get(), "GetProtectionStatus")());
  EXPECT_EQ(1, Export<ByteFn>(module.get(), "Start")());
  settings = SamplePluginSettings();
  settings.journal = false;
  ASSERT_TRUE(test_support::WriteSampleSettings(copy.path(), settings));
  EXPECT_EQ(1, Export<ByteFn>(module.get(), "Stop")());
  module.reset();
  EXPECT_EQ((std::vector<std::string>{"Attach", "GetProtectionStatus", "Start"}),
            test_support::CallsOf(copy.Journal()));
}

TEST(SamplePlugin, SetsItsEventAfterEachCall) {
  SampleCopy copy(SampleVariant::Complete, L"HearthPlugin.dll");
  ASSERT_TRUE(copy.copied());
  const std::wstring eventName = test_support::UniqueName(L"SampleCall");
  UniqueKernelHandle event(::CreateEventW(nullptr, FALSE, FALSE, eventName.c_str()));
  ASSERT_TRUE(event.valid());
  SamplePluginSettings settings;
  settings.signalEvent = eventName;
  settings.startDelayMs = 50;
  ASSERT_TRUE(test_support::WriteSampleSettings(copy.path(), settings));

  UniqueModule module(::LoadLibraryW(copy.path().c_str()));
  ASSERT_TRUE(module.valid());
  EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(event.get(), 0)) << "loading is no call";
  for (const char* name : {"GetProtectionStatus", "Start", "OnNotifyChanges", "Stop"}) {
    EXPECT_EQ(1, Export<ByteFn>(module.get(), name)());
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event.get(), 0)) << name;
  }
}

DWORD WINAPI CallStop(void* stop) {
  reinterpret_cast<ByteFn>(stop)();
  return 0;
}

}  // namespace

// args: DLL path. Calls "Stop" on a thread of its own and ends (taking that thread with
// it) once the call is journaled: 0 when the call was still running then.
SENTREL_CHILD(L"sample-stop-hangs", args) {
  HMODULE module = ::LoadLibraryW(args.at(0).c_str());
  if (module == nullptr) return 1;
  UniqueKernelHandle thread(
      ::CreateThread(nullptr, 0, &CallStop, reinterpret_cast<void*>(Export<ByteFn>(module, "Stop")), 0, nullptr));
  if (!thread.valid()) return 2;
  for (int i = 0; i < 1000 && test_support::ReadSampleJournal(args.at(0)).size() < 2; ++i) ::Sleep(10);
  return ::WaitForSingleObject(thread.get(), 200) == WAIT_TIMEOUT ? 0 : 3;
}

// args: DLL path, start event, calls. Loads the DLL, waits for the start signal and
// asks "GetProtectionStatus" `calls` times.
SENTREL_CHILD(L"sample-journal-writer", args) {
  UniqueModule module(::LoadLibraryW(args.at(0).c_str()));
  if (!module.valid()) return 1;
  const auto getStatus = Export<ByteFn>(module.get(), "GetProtectionStatus");
  UniqueKernelHandle start(::OpenEventW(SYNCHRONIZE, FALSE, args.at(1).c_str()));
  if (getStatus == nullptr || !start.valid() || ::WaitForSingleObject(start.get(), 60000) != WAIT_OBJECT_0) return 2;
  const int calls = std::stoi(args.at(2));
  for (int i = 0; i < calls; ++i) getStatus();
  return 0;
}

namespace {

// Processes that load the same DLL and call it at once share its journal: no line is lost.
TEST(SamplePlugin, JournalKeepsEveryLineOfProcessesCallingAtOnce) {
  SampleCopy copy(SampleVariant::Complete, L"HearthPlugin.dll");
  ASSERT_TRUE(copy.copied());
  const std::wstring startName = test_support::UniqueName(L"SampleJournalStart");
  UniqueKernelHandle start(::CreateEventW(nullptr, TRUE, FALSE, startName.c_str()));
  ASSERT_TRUE(start.valid());
  constexpr int kWriters = 4;
  constexpr int kCalls = 300;
  // No assertion returns early while writers run: they hold the DLL loaded, which would
  // keep the scratch folder from being removed.
  std::vector<test_support::ChildProcess> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.push_back(
        test_support::ChildProcess::Start(L"sample-journal-writer", {copy.path(), startName, std::to_wstring(kCalls)}));
    EXPECT_TRUE(writers.back().valid());
  }
  // Every writer has loaded the DLL (its Attach line) before they all start together.
  for (int wait = 0; wait < 600 && copy.Journal().size() < kWriters; ++wait) ::Sleep(100);
  EXPECT_TRUE(::SetEvent(start.get()));
  for (test_support::ChildProcess& writer : writers) {
    DWORD exitCode = 99;
    if (!writer.Wait(120000, &exitCode)) writer.Kill();
    EXPECT_EQ(0u, exitCode);
  }
  size_t statusLines = 0;
  for (const JournalLine& line : copy.Journal()) statusLines += line.call == "GetProtectionStatus" ? 1 : 0;
  EXPECT_EQ(static_cast<size_t>(kWriters * kCalls), statusLines);
}

TEST(SamplePlugin, StopCanBeMadeToHang) {
  SampleCopy copy(SampleVariant::Complete, L"IDTheft.dll");
  ASSERT_TRUE(copy.copied());
  SamplePluginSettings settings;
  settings.stopHangs = true;
  ASSERT_TRUE(test_support::WriteSampleSettings(copy.path(), settings));
  test_support::ChildProcess child = test_support::ChildProcess::Start(L"sample-stop-hangs", {copy.path()});
  ASSERT_TRUE(child.valid());
  DWORD exitCode = 99;
  if (!child.Wait(60000, &exitCode)) {
    child.Kill();  // it holds the DLL loaded, which keeps the scratch folder from going
    FAIL() << "the child did not end";
  }
  EXPECT_EQ(0u, exitCode);
  const std::vector<JournalLine> journal = copy.Journal();
  ASSERT_EQ((std::vector<std::string>{"Attach", "Stop"}), test_support::CallsOf(journal));
  EXPECT_EQ("hang", journal[1].result);
  EXPECT_EQ(child.pid(), journal[1].pid);
}

}  // namespace
