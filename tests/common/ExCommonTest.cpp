#include "common/ExCommon.h"

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"
#include "support/ScratchRegKey.h"

namespace {

using test_support::ChildProcess;
using test_support::OwnLogLinesContaining;
using test_support::UniqueName;

TEST(ExCommonText, ServiceNameForPath) {
  struct Case {
    const wchar_t* path;
    const wchar_t* service;
  };
  const Case cases[] = {
      {L"C:\\Program Files\\Veltrane\\SentrelSrv.exe", L"SentrelSrv"},
      {L"c:\\x\\SENTRELSRV.EXE", L"SentrelSrv"},
      {L"C:\\x\\ZENTMGR.exe", L"ZENTMGR"},
      {L"C:\\x\\zentmgr10.exe", L"ZENTMGR"},
      {L"C:\\x\\ZENT.exe", L"ZENT"},
      {L"C:\\x\\KeeperSrv.exe", L"k.Keeper"},
      // The whole path is searched: a folder named after a known program matches.
      {L"C:\\KeeperSrv.exe.d\\other.exe", L"k.Keeper"},
      // First row wins: ZENTMGR.exe before SentrelSrv.exe.
      {L"C:\\zentmgr.exe\\SentrelSrv.exe", L"ZENTMGR"},
      {L"C:\\x\\tests_common.exe", L""},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(ExCommon::ServiceNameForPath(c.path), c.service) << c.path;

  EXPECT_EQ(ExCommon::StopRequestEventNameFor(L"SentrelSrv"),
            L"Global\\SentrelSrv_REQUEST_STOP_SERVICE");
  EXPECT_EQ(ExCommon::StopRequestEventNameFor(L""), L"Global\\_REQUEST_STOP_SERVICE");
  EXPECT_EQ(ExCommon::StopRequestEventNameFor(L"{0}"), L"Global\\{0}_REQUEST_STOP_SERVICE");
}

TEST(ExCommonText, ReplaceAll) {
  struct Case {
    const wchar_t* text;
    const wchar_t* what;
    const wchar_t* with;
    const wchar_t* result;
  };
  const Case cases[] = {
      {L"Global\\{0}_REQUEST_STOP_SERVICE", L"{0}", L"SentrelSrv",
       L"Global\\SentrelSrv_REQUEST_STOP_SERVICE"},
      {L"{0}{0}", L"{0}", L"x", L"xx"},
      {L"aaa", L"a", L"aa", L"aaaaaa"},  // inserted text is not searched again
      {L"abc", L"", L"x", L"abc"},
      {L"abc", L"b", L"b", L"abc"},
      {L"abc", L"b", L"", L"ac"},
      {L"", L"a", L"b", L""},
  };
  for (const Case& c : cases) {
    std::wstring text = c.text;
    ExCommon::ReplaceAll(text, c.what, c.with);
    EXPECT_EQ(text, c.result) << c.text << L" / " << c.what;
  }
}

TEST(ExCommonText, SmallConversions) {
  EXPECT_EQ(ExCommon::ToDecimal(0), L"0");
  EXPECT_EQ(ExCommon::ToDecimal(1234567), L"1234567");  // no grouping
  EXPECT_EQ(ExCommon::ToDecimal(4294967295ul), L"4294967295");

  EXPECT_TRUE(ExCommon::EqualsNoCase(L"Hub.Events", L"hub.EVENTS"));
  EXPECT_TRUE(ExCommon::EqualsNoCase(L"", L""));
  EXPECT_FALSE(ExCommon::EqualsNoCase(L"abc", L"abcd"));
  EXPECT_FALSE(ExCommon::EqualsNoCase(L".dll", L".exe"));
  EXPECT_EQ(ExCommon::ToLower(L"C:\\Path\\SentrelSrv.EXE"), L"c:\\path\\sentrelsrv.exe");

  EXPECT_EQ(ExCommon::BuildPrependedPath({L"A", L"B"}, L"P"), L"A;B;P");
  EXPECT_EQ(ExCommon::BuildPrependedPath({L"A"}, L""), L"A;");
}

TEST(ExCommonProcess, PrependToPathPutsFoldersFirst) {
  const DWORD size = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
  std::vector<wchar_t> saved(size + 1, L'\0');
  ::GetEnvironmentVariableW(L"PATH", saved.data(), size + 1);

  ASSERT_TRUE(::SetEnvironmentVariableW(L"PATH", L"P"));
  EXPECT_TRUE(ExCommon::PrependToPath({}));
  EXPECT_TRUE(ExCommon::PrependToPath({L"A", L"B"}));
  wchar_t path[64] = {};
  ::GetEnvironmentVariableW(L"PATH", path, 64);
  EXPECT_STREQ(path, L"A;B;P");

  ::SetEnvironmentVariableW(L"PATH", saved.data());
}

TEST(ExCommonFiles, CreateFolderPathAndFileChecks) {
  const std::wstring temp = ExCommon::GetTempFolder();
  ASSERT_FALSE(temp.empty());
  const std::wstring root = temp + L"\\" + UniqueName(L"Folders");
  const std::wstring nested = root + L"\\one/two\\three";
  ExCommon::CreateFolderPath(nested);
  EXPECT_TRUE(ExCommon::IsDirectory(nested));
  EXPECT_FALSE(ExCommon::IsFile(nested));
  ExCommon::CreateFolderPath(nested);  // an existing folder is fine
  EXPECT_TRUE(ExCommon::IsDirectory(nested));

  // A file without a version resource has no version string; a missing one neither.
  const std::wstring file = root + L"\\plain.txt";
  {
    UniqueKernelHandle handle(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(handle.valid());
    DWORD written = 0;
    ::WriteFile(handle.get(), "data", 4, &written, nullptr);
  }
  EXPECT_TRUE(ExCommon::IsFile(file));
  EXPECT_FALSE(ExCommon::IsDirectory(file));
  EXPECT_EQ(ExCommon::GetFileVersionString(file), L"");
  EXPECT_EQ(ExCommon::GetFileVersionString(L""), L"");
  EXPECT_EQ(ExCommon::GetFileVersionString(root + L"\\missing.dll"), L"");

  // A read-only target is overwritten.
  const std::wstring copy = root + L"\\copy.txt";
  ASSERT_TRUE(ExCommon::CopyFileOver(file, copy));
  ASSERT_TRUE(::SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(ExCommon::CopyFileOver(file, copy));
  EXPECT_FALSE(ExCommon::CopyFileOver(root + L"\\missing.txt", copy));
  EXPECT_FALSE(ExCommon::CopyFileOver(file, L""));

  ::SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW(copy.c_str());
  ::DeleteFileW(file.c_str());
  ::RemoveDirectoryW(nested.c_str());
  ::RemoveDirectoryW((root + L"\\one\\two").c_str());
  ::RemoveDirectoryW((root + L"\\one").c_str());
  ::RemoveDirectoryW(root.c_str());
}

TEST(ExCommonFiles, VersionOfAVersionedSystemDll) {
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring version = ExCommon::GetFileVersionString(std::wstring(system) + L"\\kernel32.dll");
  // Four decimal numbers joined by dots.
  size_t dots = 0;
  for (wchar_t c : version) {
    if (c == L'.') ++dots;
    else EXPECT_TRUE(c >= L'0' && c <= L'9') << version;
  }
  EXPECT_EQ(dots, 3u) << version;
}

TEST(ExCommonProcess, ModulePathAndSession) {
  EXPECT_EQ(ExCommon::GetModulePath(), test_support::SelfPath());
  EXPECT_NE(ExCommon::GeCurrentSessionId(), 0xFFFFFFFFu);
  // The test program is no known service: the name is empty and the line is logged.
  EXPECT_EQ(ExCommon::ProcessPathToServiceName(), L"");
  EXPECT_FALSE(OwnLogLinesContaining(L"ProcessPathToServiceName - Not a known service: ").empty());
  EXPECT_EQ(ExCommon::GetStopRequestEventName(), L"Global\\_REQUEST_STOP_SERVICE");
}

// The watchdog value lives in the fixed suite key; a unique service name keeps the
// value apart from a real one.
TEST(MachineWatchDog, FlagIsADwordUnderTheSuiteKey) {
  const std::wstring service = UniqueName(L"WdSvc");
  test_support::MachineValueGuard marker(L"SOFTWARE\\Veltrane", L"TestMarker_" + service);
  ASSERT_TRUE(marker.SetString(L"present"));  // makes sure the key exists
  test_support::MachineValueGuard flag(L"SOFTWARE\\Veltrane", L"WatchDog_" + service);

  for (DWORD value : {DWORD{1}, DWORD{0}}) {
    ExCommon::SetWatchDogFlag(service, value);
    UniqueHKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Veltrane", 0, KEY_READ, key.put()),
              ERROR_SUCCESS);
    DWORD type = 0, data = 99, size = sizeof(data);
    const LONG result = ::RegQueryValueExW(key.get(), (L"WatchDog_" + service).c_str(), nullptr, &type,
                                           reinterpret_cast<BYTE*>(&data), &size);
    ASSERT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, value);
  }
  EXPECT_EQ(ExCommon::ReadMachineString(L"SOFTWARE\\Veltrane", L"TestMarker_" + service), L"present");
  EXPECT_EQ(ExCommon::ReadMachineString(L"SOFTWARE\\Veltrane", L"Missing_" + service), L"");
  EXPECT_EQ(ExCommon::ReadMachineString(L"SOFTWARE\\NoSuchKey_" + service, L"x"), L"");
}

TEST(ExCommonEvents, SetNamedEventOnMissingEventFails) {
  const std::wstring requester = UniqueName(L"Requester");
  EXPECT_FALSE(ExCommon::SetNamedEvent(L"Global\\" + UniqueName(L"NoSuchEvent"), requester));
  const auto lines = OwnLogLinesContaining(L"SetNamedEvent " + requester + L" - 0");
  EXPECT_EQ(lines.size(), 1u);
}

// Plays the service's stop-request listener: creates the event, reports ready, takes
// one signal and answers it with SetNamedEvent. Exit code 0 when it saw the signal.
SENTREL_CHILD(L"stop-request-listener", args) {
  if (args.size() != 2) return 10;
  const std::wstring eventName = args[0];
  UniqueKernelHandle event(::CreateEventW(nullptr, FALSE, FALSE, eventName.c_str()));
  UniqueKernelHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[1].c_str()));
  if (!event || !ready) return 11;
  ::SetEvent(ready.get());
  if (::WaitForSingleObject(event.get(), 20000) != WAIT_OBJECT_0) return 1;
  return ExCommon::SetNamedEvent(eventName, L"listener") ? 0 : 2;
}

TEST(ExCommonEvents, RequestServiceStopSupportAcrossProcesses) {
  const std::wstring service = UniqueName(L"StopSvc");
  const std::wstring eventName = L"Global\\" + service + L"_REQUEST_STOP_SERVICE";
  const std::wstring readyName = L"Global\\" + UniqueName(L"ListenerReady");
  const std::wstring requester = UniqueName(L"Requester");
  UniqueKernelHandle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
  ASSERT_TRUE(ready.valid());

  ChildProcess child = ChildProcess::Start(L"stop-request-listener", {eventName, readyName});
  ASSERT_TRUE(child.valid());
  ASSERT_EQ(::WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0);
  // Let the listener get into its wait: a signal sent before it waits would be taken
  // back by the requester's own wait, which the protocol allows.
  ::Sleep(300);

  ExCommon::RequestServiceStopSupport(service, requester, 20000);

  DWORD exitCode = 99;
  ASSERT_TRUE(child.Wait(20000, &exitCode));
  EXPECT_EQ(exitCode, 0u) << "the listener did not see the request";

  EXPECT_EQ(OwnLogLinesContaining(L"RequestServiceStopSupport : Recovering using " + service +
                                  L"...").size(), 1u);
  EXPECT_EQ(OwnLogLinesContaining(L"RequestServiceStopSupport for " + service + L", eventName: " +
                                  eventName + L", by: " + requester).size(), 1u);
  EXPECT_EQ(OwnLogLinesContaining(L"SetNamedEvent " + requester + L" - 1").size(), 1u);
  // The wait ended by the listener's answer (0), not by a time-out (258).
  const auto waitLines = OwnLogLinesContaining(L"RequestServiceStopSupport wait res ");
  ASSERT_FALSE(waitLines.empty());
  EXPECT_NE(waitLines.back().find(L"RequestServiceStopSupport wait res 0"), std::wstring::npos)
      << waitLines.back();
}

}  // namespace
