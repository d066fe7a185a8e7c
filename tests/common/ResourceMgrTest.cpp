#include "common/ResourceMgr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <cwctype>
#include <string>
#include <thread>
#include <vector>

#include "common/ExCommon.h"
#include "common/UniqueHandle.h"
#include "ipc/NewLogLines.h"
#include "log/Logger.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"
#include "support/ScratchFiles.h"
#include "support/ScratchRegKey.h"

namespace {

using test_support::ChildProcess;
using test_support::CountContaining;
using test_support::LoggedText;
using test_support::MachineValueGuard;
using test_support::ScratchFolder;
using Table = ResourceMgr::ResourceTable;

// The names of the temporary copies this process's log says were parsed from `folder`.
std::vector<std::wstring> CopiesParsedFrom(const std::wstring& folder) {
  const std::wstring opening = L"JsonHelper Load - File ";
  std::vector<std::wstring> names;
  for (const auto& line : test_support::OwnLogLinesContaining(opening + folder)) {
    names.push_back(line.substr(line.find(opening) + opening.size()));
  }
  return names;
}

// "<folder>\ResourceMgr.<digits>.tmp"
bool IsCopyName(const std::wstring& name, const std::wstring& folder) {
  const std::wstring prefix = folder + L"\\ResourceMgr.";
  const std::wstring suffix = L".tmp";
  if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < name.size() - suffix.size(); ++i) {
    if (name[i] < L'0' || name[i] > L'9') return false;
  }
  return true;
}

// Points TEMP (the run-time library's environment, which the copy name is formed from)
// at `folder` and puts the old value back afterwards.
class TempVariable {
 public:
  explicit TempVariable(const std::wstring& folder) {
    const wchar_t* old = _wgetenv(L"TEMP");
    hadValue_ = old != nullptr;
    if (hadValue_) old_ = old;
    _wputenv((L"TEMP=" + folder).c_str());
  }
  ~TempVariable() { _wputenv((L"TEMP=" + (hadValue_ ? old_ : std::wstring())).c_str()); }
  TempVariable(const TempVariable&) = delete;
  TempVariable& operator=(const TempVariable&) = delete;

 private:
  bool hadValue_ = false;
  std::wstring old_;
};

TEST(ResourceMgrNames, ResourceFileAndCopyNames) {
  struct PathCase {
    const wchar_t* folder;
    const wchar_t* language;
    const wchar_t* path;
  };
  const PathCase paths[] = {
      {L"C:\\WF", L"en", L"C:\\WF\\en\\resource.json"},
      {L"C:\\WF\\", L"en", L"C:\\WF\\en\\resource.json"},
      {L"C:\\WF", L"", L"C:\\WF\\resource.json"},
      {L"C:\\WF\\", L"", L"C:\\WF\\resource.json"},
      {L"D:", L"", L"D:resource.json"},
      {L"", L"en", L"en\\resource.json"},
      {L"", L"", L"resource.json"},
  };
  for (const PathCase& c : paths) {
    EXPECT_EQ(ResourceMgr::WebFilterResourcePath(c.folder, c.language), c.path)
        << c.folder << L" / " << c.language;
  }

  EXPECT_EQ(ResourceMgr::TempCopyName(L"C:\\T", 1700000000, 41),
            L"C:\\T\\ResourceMgr.170000000041.tmp");
  EXPECT_EQ(ResourceMgr::TempCopyName(L"C:\\T", 5, 0), L"C:\\T\\ResourceMgr.50.tmp");
  EXPECT_EQ(ResourceMgr::TempCopyName(L"C:\\T\\", 17, 32767), L"C:\\T\\\\ResourceMgr.1732767.tmp");
  // Without TEMP the copy goes to the root folder of the current drive.
  EXPECT_EQ(ResourceMgr::TempCopyName(L"", 17, 3), L"\\ResourceMgr.173.tmp");
}

// An instance of its own (with a mutex of its own), a folder for the resource files and
// TEMP pointed at an empty folder of the test.
class ResourceMgrLoad : public ::testing::Test {
 protected:
  ResourceMgrLoad()
      : root_(L"resources"),
        temp_(root_ / L"temp"),
        mutexName_(L"Global\\" + test_support::UniqueName(L"ResourceMgrTest")) {
    ::CreateDirectoryW(temp_.c_str(), nullptr);
    tempVariable_.reset(new TempVariable(temp_));
    manager_.reset(new ResourceMgr(mutexName_));
  }

  std::wstring Write(const std::wstring& name, const std::string& bytes) {
    const std::wstring path = root_ / name;
    EXPECT_TRUE(test_support::WriteBytes(path, bytes));
    return path;
  }
  std::vector<std::wstring> FilesInTemp() const { return test_support::FilesIn(temp_); }
  std::vector<std::wstring> Lines() const {
    return test_support::OwnLogLinesContaining(root_.path());
  }

  ScratchFolder root_;
  std::wstring temp_;
  std::wstring mutexName_;
  std::unique_ptr<TempVariable> tempVariable_;
  std::unique_ptr<ResourceMgr> manager_;
};

TEST_F(ResourceMgrLoad, EachPathOnceUntilDeInit) {
  const std::wstring path = Write(L"res.json", R"({"Title":"Hello","MiXed":"Keep Case"})");
  const Table first = {{L"mixed", L"Keep Case"}, {L"title", L"Hello"}};
  ASSERT_TRUE(manager_->Load(path));
  EXPECT_EQ(manager_->Resources(), first);
  EXPECT_TRUE(FilesInTemp().empty());

  // The same path in other letters is the same file: neither copied nor parsed again.
  Write(L"res.json", R"({"Title":"Changed"})");
  std::wstring shouted = path;
  for (wchar_t& c : shouted) c = static_cast<wchar_t>(std::towupper(c));
  EXPECT_TRUE(manager_->Load(shouted));
  EXPECT_TRUE(manager_->Load(path));
  EXPECT_EQ(manager_->Resources(), first);
  EXPECT_EQ(CopiesParsedFrom(temp_).size(), 1u);
  const std::wstring already = L"ResourceMgr::Load - File already proceedded: ";
  const auto lines = test_support::OwnLogLinesContaining(already);
  EXPECT_EQ(CountContaining(lines, LoggedText(LogLevel::Warn, already + shouted)), 1u);
  EXPECT_EQ(CountContaining(lines, LoggedText(LogLevel::Warn, already + path)), 1u);

  // After DeInit the file is copied and parsed again.
  NewLogLines deInitLines(LoggedText(LogLevel::Always, L"ResourceMgr::DeInit - invoked"));
  EXPECT_TRUE(manager_->DeInit());
  EXPECT_EQ(deInitLines.count(), 1u);
  EXPECT_TRUE(manager_->Resources().empty());
  ASSERT_TRUE(manager_->Load(path));
  EXPECT_EQ(manager_->Resources(), (Table{{L"title", L"Changed"}}));

  const auto copies = CopiesParsedFrom(temp_);
  ASSERT_EQ(copies.size(), 2u);
  for (const auto& copy : copies) {
    EXPECT_TRUE(IsCopyName(copy, temp_)) << copy;
    EXPECT_FALSE(ExCommon::IsFile(copy)) << copy;
  }
  EXPECT_TRUE(FilesInTemp().empty());
}

TEST_F(ResourceMgrLoad, MissingFileIsNeitherCopiedNorParsed) {
  const std::wstring missing = root_ / L"none.json";
  const std::wstring folder = root_ / L"folder.json";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_FALSE(manager_->Load(missing));
  EXPECT_FALSE(manager_->Load(folder));
  const auto lines = Lines();
  EXPECT_EQ(
      CountContaining(lines, LoggedText(LogLevel::Warn,
                                        L"ResourceMgr::Load - File does not exist : " + missing)),
      1u);
  EXPECT_EQ(
      CountContaining(lines, LoggedText(LogLevel::Warn,
                                        L"ResourceMgr::Load - File does not exist : " + folder)),
      1u);
  EXPECT_TRUE(CopiesParsedFrom(temp_).empty());
  EXPECT_TRUE(FilesInTemp().empty());
  EXPECT_TRUE(manager_->Resources().empty());
}

TEST_F(ResourceMgrLoad, ParseFailureKeepsTheTableAndIsTriedAgain) {
  ASSERT_TRUE(manager_->Load(Write(L"good.json", R"({"A":"1"})")));
  const std::wstring bad = Write(L"bad.json", R"({"A":"2","B":3})");
  EXPECT_FALSE(manager_->Load(bad));
  EXPECT_FALSE(manager_->Load(bad));
  EXPECT_EQ(manager_->Resources(), (Table{{L"a", L"1"}}));
  EXPECT_TRUE(FilesInTemp().empty());

  const auto lines = Lines();
  EXPECT_EQ(
      CountContaining(lines, LoggedText(LogLevel::Error, L"ResourceMgr - Failed to load " + bad)),
      2u);
  // Each try parsed a copy of its own, which is gone.
  const auto copies = CopiesParsedFrom(temp_);
  ASSERT_EQ(copies.size(), 3u);
  for (size_t i = 1; i < copies.size(); ++i) {
    EXPECT_EQ(
        CountContaining(test_support::OwnLogLinesContaining(copies[i]),
                        LoggedText(LogLevel::Error,
                                   L"JsonHelper Load- - failed to parse the file " + copies[i])),
        1u);
    EXPECT_FALSE(ExCommon::IsFile(copies[i]));
  }
  EXPECT_NE(copies[1], copies[2]);

  // Not marked as processed: once repaired it loads.
  Write(L"bad.json", R"({"A":"2","B":"3"})");
  EXPECT_TRUE(manager_->Load(bad));
  EXPECT_EQ(manager_->Resources(), (Table{{L"a", L"2"}, {L"b", L"3"}}));
  EXPECT_TRUE(FilesInTemp().empty());
}

// Files put at the names the next copy would take are neither written nor removed: the
// copy goes to a name that was free.
TEST_F(ResourceMgrLoad, NeverWritesThroughAFilePlantedAtTheCopyName) {
  const std::wstring path = Write(L"res.json", R"({"Title":"Hello"})");

  // The copy name's number comes from the run-time library's generator on this thread:
  // seeded here, its first number is known.
  const unsigned seed = 20240601;
  std::srand(seed);
  const int first = std::rand();
  std::srand(seed);

  const long long now = static_cast<long long>(std::time(nullptr));
  std::vector<std::wstring> planted;
  for (long long second = now; second <= now + 30; ++second) {
    planted.push_back(ResourceMgr::TempCopyName(temp_, second, first));
    ASSERT_TRUE(test_support::WriteBytes(planted.back(), "planted"));
  }
  // CopyFileOver would have cleared this attribute and overwritten the file.
  ASSERT_TRUE(::SetFileAttributesW(planted[0].c_str(), FILE_ATTRIBUTE_READONLY));
  const DWORD readOnlyAttributes = ::GetFileAttributesW(planted[0].c_str());
  const DWORD plantedAttributes = ::GetFileAttributesW(planted[1].c_str());

  ASSERT_TRUE(manager_->Load(path));
  EXPECT_EQ(manager_->Resources(), (Table{{L"title", L"Hello"}}));

  for (size_t i = 0; i < planted.size(); ++i) {
    EXPECT_EQ(test_support::ReadBytes(planted[i]), "planted") << planted[i];
    EXPECT_EQ(::GetFileAttributesW(planted[i].c_str()),
              i == 0 ? readOnlyAttributes : plantedAttributes)
        << planted[i];
  }
  EXPECT_EQ(FilesInTemp().size(), planted.size());
  const auto copies = CopiesParsedFrom(temp_);
  ASSERT_EQ(copies.size(), 1u);
  for (const auto& name : planted) EXPECT_NE(copies[0], name);
  EXPECT_FALSE(ExCommon::IsFile(copies[0]));
  EXPECT_GE(CountContaining(Lines(), LoggedText(LogLevel::Warn,
                                                L"ResourceMgr - Load - temporary name taken: ")),
            1u);

  ::SetFileAttributesW(planted[0].c_str(), FILE_ATTRIBUTE_NORMAL);
}

// The first copy fails (the source is locked) after the mutex wait timed out; the retry
// waits for the mutex again and gets it once the holder has let the source go.
TEST_F(ResourceMgrLoad, CopyIsRetriedOnceAfterAFailedCopy) {
  const std::wstring path = Write(L"res.json", R"({"Title":"Hello"})");
  const std::wstring failedCopy = L"ResourceMgr - Load - Failed to copy file " + path + L" into ";

  UniqueKernelHandle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  bool sawFailure = false;
  std::thread holder([&] {
    UniqueKernelHandle mutex(
        ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutexName_.c_str()));
    if (!mutex || ::WaitForSingleObject(mutex.get(), 0) != WAIT_OBJECT_0) {
      ::SetEvent(ready.get());
      return;
    }
    UniqueKernelHandle lock(
        ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ::SetEvent(ready.get());
    // Let go of the source, then of the mutex, once the first copy has failed.
    for (int i = 0; i < 1200 && !sawFailure; ++i) {
      sawFailure = CountContaining(Lines(), failedCopy) != 0;
      if (!sawFailure) ::Sleep(50);
    }
    lock.reset();
    ::ReleaseMutex(mutex.get());
  });
  ::WaitForSingleObject(ready.get(), INFINITE);

  const bool loaded = manager_->Load(path);
  holder.join();
  ASSERT_TRUE(sawFailure);
  EXPECT_TRUE(loaded);
  EXPECT_EQ(manager_->Resources(), (Table{{L"title", L"Hello"}}));

  const auto lines = Lines();
  const auto failures = test_support::OwnLogLinesContaining(LoggedText(LogLevel::Warn, failedCopy));
  ASSERT_EQ(failures.size(), 1u);
  // A sharing violation, after a wait that timed out.
  EXPECT_NE(failures[0].find(L" . Error=32, dwLockRes = 258"), std::wstring::npos) << failures[0];
  const std::wstring copyName = failures[0].substr(failures[0].find(L" into ") + 6);
  EXPECT_TRUE(IsCopyName(copyName.substr(0, copyName.find(L" . Error=")), temp_)) << copyName;
  EXPECT_EQ(CountContaining(lines, L"ResourceMgr - Load Retry - "), 0u);
  EXPECT_TRUE(FilesInTemp().empty());
}

// Both copies fail: the file is not processed and nothing is left in TEMP. The mutex
// name is taken by an event, so the instance has no mutex and every wait fails at once.
TEST(ResourceMgrCopy, GivesUpAfterTheRetry) {
  ScratchFolder root(L"resources");
  const std::wstring temp = root / L"temp";
  ASSERT_TRUE(::CreateDirectoryW(temp.c_str(), nullptr));
  TempVariable tempVariable(temp);
  const std::wstring name = L"Global\\" + test_support::UniqueName(L"ResourceMgrTaken");
  UniqueKernelHandle squatter(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(squatter.valid());
  ResourceMgr manager(name);

  const std::wstring path = root / L"res.json";
  ASSERT_TRUE(test_support::WriteBytes(path, R"({"Title":"Hello"})"));
  {
    UniqueKernelHandle lock(
        ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock.valid());
    EXPECT_FALSE(manager.Load(path));
  }
  const std::wstring intoCopy = L" into " + temp + L"\\ResourceMgr.";
  const auto first = test_support::OwnLogLinesContaining(
      LoggedText(LogLevel::Warn, L"ResourceMgr - Load - Failed to copy file " + path + intoCopy));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_NE(first[0].find(L".tmp . Error=32, dwLockRes = -1"), std::wstring::npos) << first[0];
  const auto retry = test_support::OwnLogLinesContaining(LoggedText(
      LogLevel::Error, L"ResourceMgr - Load Retry - Failed to copy file " + path + intoCopy));
  ASSERT_EQ(retry.size(), 1u);
  EXPECT_NE(retry[0].find(L".tmp . Error=32"), std::wstring::npos) << retry[0];
  EXPECT_TRUE(CopiesParsedFrom(temp).empty());
  EXPECT_TRUE(test_support::FilesIn(temp).empty());
  EXPECT_TRUE(manager.Resources().empty());

  // Not processed: with the source free it loads.
  EXPECT_TRUE(manager.Load(path));
  EXPECT_EQ(manager.Resources(), (Table{{L"title", L"Hello"}}));
  EXPECT_TRUE(test_support::FilesIn(temp).empty());
}

// The process-wide instance, run in a child so that its tables, its mutex and the
// cached language are the child's own. Arguments: the resource file expected and the
// text expected under "greeting". Each failed check sets one bit of the exit code.
SENTREL_CHILD(L"resource-web-filter", args) {
  if (args.size() != 2) return 1 << 30;
  const std::wstring& expectedPath = args[0];
  const std::wstring& expectedText = args[1];
  ResourceMgr& manager = ResourceMgr::Instance();
  int failures = 0;
  if (&manager != &ResourceMgr::Instance()) failures |= 1;
  UniqueKernelHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\VeltraneResourceMgr.mtx"));
  if (!mutex) failures |= 2;

  NewLogLines invoked(LoggedText(LogLevel::Always, L"ResourceMgr::AddWebFilterResource - invoked"));
  NewLogLines loaded(L"JsonHelper Load - Loading File ");
  NewLogLines again(
      LoggedText(LogLevel::Warn, L"ResourceMgr::Load - File already proceedded: " + expectedPath));
  if (!manager.AddWebFilterResource()) failures |= 4;
  const auto table = manager.Resources();
  if (table.size() != 1 || table.count(L"greeting") == 0 || table.at(L"greeting") != expectedText)
    failures |= 8;
  if (!manager.AddWebFilterResource()) failures |= 16;
  if (again.count() != 1 || loaded.count() != 1) failures |= 32;

  manager.DeInit();
  if (!manager.Resources().empty()) failures |= 64;
  if (!manager.AddWebFilterResource()) failures |= 128;
  if (loaded.count() != 2 || again.count() != 1 || invoked.count() != 3) failures |= 256;
  if (manager.Resources() != table) failures |= 512;

  // Every copy parsed is gone.
  for (const auto& line : test_support::OwnLogLinesContaining(L"JsonHelper Load - File ")) {
    const std::wstring copy = line.substr(line.find(L"JsonHelper Load - File ") + 23);
    if (ExCommon::IsFile(copy)) failures |= 1024;
  }
  return failures;
}

TEST(MachineResourceMgr, WebFilterResourceOfTheInstalledLanguage) {
  MachineValueGuard webFilter(L"SOFTWARE\\Veltrane\\WebFilter", L"InstallPath");
  MachineValueGuard language(L"SOFTWARE\\Veltrane", L"Lang");
  ScratchFolder install(L"webfilter");
  ASSERT_TRUE(::CreateDirectoryW((install / L"en").c_str(), nullptr));
  ASSERT_TRUE(test_support::WriteBytes(install / L"en\\resource.json", R"({"Greeting":"Hello"})"));
  ASSERT_TRUE(
      test_support::WriteBytes(install / L"resource.json", R"({"Greeting":"No language"})"));
  ASSERT_TRUE(webFilter.SetString(install.path()));

  struct Case {
    const wchar_t* language;  // null: value missing
    std::wstring path;
    const wchar_t* text;
  };
  const Case cases[] = {
      {L"en", install / L"en\\resource.json", L"Hello"},
      {nullptr, install / L"resource.json", L"No language"},
      {L"", install / L"resource.json", L"No language"},
  };
  for (const Case& c : cases) {
    if (c.language)
      ASSERT_TRUE(language.SetString(c.language));
    else
      ASSERT_TRUE(language.Remove());
    ChildProcess child = ChildProcess::Start(L"resource-web-filter", {c.path, c.text});
    ASSERT_TRUE(child.valid());
    DWORD exitCode = 999;
    ASSERT_TRUE(child.Wait(60000, &exitCode));
    EXPECT_EQ(exitCode, 0u) << "failed checks (bits): " << exitCode << L" for " << c.path;
  }
}

}  // namespace
