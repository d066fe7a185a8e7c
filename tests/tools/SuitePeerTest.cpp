// SuitePeer.exe run as a real process: serving, writing, signalling, stopping.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "common/UniqueHandle.h"
#include "ipc/SMIPCPManager.h"
#include "support/ChildProcess.h"

namespace {

std::wstring PeerPath() {
  std::wstring self = test_support::SelfPath();
  self.resize(self.find_last_of(L'\\') + 1);
  return self + L"..\\tools\\SuitePeer.exe";
}

// SuitePeer started with its stdout (and stdin) on pipes held by the test.
class Peer {
 public:
  explicit Peer(const std::vector<std::wstring>& args) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
    ::CreatePipe(&outRead, &outWrite, &inherit, 0);
    ::CreatePipe(&inRead, &inWrite, &inherit, 0);
    outRead_.reset(outRead);
    inWrite_.reset(inWrite);
    UniqueKernelHandle childOut(outWrite), childIn(inRead);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    std::wstring commandLine = test_support::QuoteArgument(PeerPath());
    for (const auto& arg : args) commandLine += L" " + test_support::QuoteArgument(arg);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn.get();
    startup.hStdOutput = childOut.get();
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
      ::CloseHandle(info.hThread);
      process_.reset(info.hProcess);
    }
  }
  ~Peer() {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) ::TerminateProcess(process_.get(), 9);
  }
  bool valid() const { return process_.valid(); }
  void CloseStdin() { inWrite_.reset(); }
  // Waits for the exit and returns the exit code (259 when it did not end in time).
  DWORD Finish(DWORD ms) {
    DWORD code = 259;
    if (::WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0) ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  // All that was written to stdout, read once the process has ended.
  std::vector<std::string> Lines() {
    std::string all;
    char buffer[4096];
    DWORD read = 0;
    DWORD available = 0;
    while (::PeekNamedPipe(outRead_.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ::ReadFile(outRead_.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
      all.append(buffer, read);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(all.substr(start, end - start));
    return lines;
  }

 private:
  UniqueKernelHandle process_, outRead_, inWrite_;
};

DWORD RunPeer(const std::vector<std::wstring>& args) {
  Peer peer(args);
  return peer.valid() ? peer.Finish(30000) : 1000;
}

bool WaitReady(const std::wstring& name, HANDLE event) {
  return ::WaitForSingleObject(event, 30000) == WAIT_OBJECT_0;
}

}  // namespace

TEST(SuitePeer, ServesAndPrintsTextsAndPacketsAsJsonLines) {
  const std::wstring queue = test_support::UniqueName(L"PeerServe");
  const std::wstring ready = test_support::UniqueName(L"PeerReady");
  UniqueKernelHandle readyEvent(::CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
  Peer server({L"serve", queue, L"--count", L"3", L"--timeout-ms", L"60000", L"--ready-event", ready});
  ASSERT_TRUE(server.valid()) << "SuitePeer.exe not found beside the tests";
  ASSERT_TRUE(WaitReady(ready, readyEvent.get()));

  EXPECT_EQ(0u, RunPeer({L"write", queue, L"--text", L"caf\u00e9 \"q\"\n"}));
  EXPECT_EQ(0u, RunPeer({L"write", queue, L"--packet", L"ServiceType", L"SubTypeServiceStatus",
                         L"91C2257D-77FF-463A-8E40-1CE2B0D3B840", L"Priority=high", L"Service=start"}));
  EXPECT_EQ(0u, RunPeer({L"write", queue, L"--channel", L"ch", L"--text", L"third"}));
  EXPECT_EQ(0u, server.Finish(30000));

  const auto lines = server.Lines();
  ASSERT_EQ(3u, lines.size());
  rapidjson::Document first, second, third;
  first.Parse(lines[0].c_str());
  second.Parse(lines[1].c_str());
  third.Parse(lines[2].c_str());
  ASSERT_TRUE(first.IsObject() && second.IsObject() && third.IsObject()) << lines[0];
  EXPECT_STREQ("SuitePeer", first["channel"].GetString());
  EXPECT_EQ(20u, first["size"].GetUint64());  // 9 characters and the NUL in UTF-16
  EXPECT_STREQ("caf\xC3\xA9 \"q\"\n", first["text"].GetString());
  EXPECT_STREQ("91C2257D-77FF-463A-8E40-1CE2B0D3B84", second["channel"].GetString());
  EXPECT_STREQ(
      "{\"type\":\"ServiceType\",\"subtype\":\"SubTypeServiceStatus\",\"channelid\":"
      "\"91C2257D-77FF-463A-8E40-1CE2B0D3B840\",\"keyvallist\":[{\"key\":\"Priority\",\"value\":\"high\"},"
      "{\"key\":\"Service\",\"value\":\"start\"}]}",
      second["text"].GetString());
  EXPECT_STREQ("ch", third["channel"].GetString());
  EXPECT_STREQ("third", third["text"].GetString());
}

// A typed-queue client of our own, as the suite's peers write typed items.
class TypedWriter : public SMIPCPManager {
 public:
  ~TypedWriter() override { Close(); }
  void OnNewData(std::vector<const TypedItemHeader*>) override {}
};

TEST(SuitePeer, ServesTypedItemsWithTypeWriterAndPayload) {
  const std::wstring queue = test_support::UniqueName(L"PeerTyped");
  const std::wstring ready = test_support::UniqueName(L"PeerTypedReady");
  UniqueKernelHandle readyEvent(::CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
  Peer server({L"serve", queue, L"--typed", L"--count", L"2", L"--timeout-ms", L"60000", L"--ready-event", ready});
  ASSERT_TRUE(server.valid());
  ASSERT_TRUE(WaitReady(ready, readyEvent.get()));

  TypedWriter writer;
  ASSERT_TRUE(writer.Create(2, queue, 20480));
  const unsigned char response[] = {0x01, 0xAB, 0x00, 0xFF};
  ASSERT_TRUE(writer.Write(8, response, sizeof(response)));
  ASSERT_TRUE(writer.Write(3, "hi", 2));
  EXPECT_EQ(0u, server.Finish(30000));

  const auto lines = server.Lines();
  ASSERT_EQ(2u, lines.size());
  rapidjson::Document first, second;
  first.Parse(lines[0].c_str());
  second.Parse(lines[1].c_str());
  ASSERT_TRUE(first.IsObject() && second.IsObject()) << lines[0];
  EXPECT_EQ(8u, first["type"].GetUint());
  EXPECT_EQ(4u, first["size"].GetUint64());
  EXPECT_EQ(::GetCurrentProcessId(), first["writer"].GetUint());
  EXPECT_STREQ("01ab00ff", first["hex"].GetString());
  EXPECT_EQ(3u, second["type"].GetUint());
  EXPECT_STREQ("6869", second["hex"].GetString());
}

TEST(SuitePeer, StopsOnItsStopEventOrWhenStdinCloses) {
  const std::wstring queue = test_support::UniqueName(L"PeerStop");
  const std::wstring stop = test_support::UniqueName(L"PeerStopEvent");
  const std::wstring ready = test_support::UniqueName(L"PeerReady");
  UniqueKernelHandle readyEvent(::CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
  {
    Peer server({L"serve", queue, L"--stop-event", stop, L"--ready-event", ready});
    ASSERT_TRUE(WaitReady(ready, readyEvent.get()));
    EXPECT_EQ(0u, RunPeer({L"signal", stop}));
    EXPECT_EQ(0u, server.Finish(30000));
  }
  ::ResetEvent(readyEvent.get());
  {
    Peer server({L"serve", queue, L"--ready-event", ready});
    ASSERT_TRUE(WaitReady(ready, readyEvent.get()));
    server.CloseStdin();
    EXPECT_EQ(0u, server.Finish(30000));
  }
}

TEST(SuitePeer, ReportsFailuresInItsExitCode) {
  const std::wstring queue = test_support::UniqueName(L"PeerFail");
  EXPECT_EQ(2u, RunPeer({L"write", queue, L"--text", L"nobody serves"}));
  EXPECT_EQ(2u, RunPeer({L"signal", test_support::UniqueName(L"NoSuchEvent")}));
  EXPECT_EQ(3u, RunPeer({L"serve", queue, L"--count", L"1", L"--timeout-ms", L"200"}));
  EXPECT_EQ(1u, RunPeer({L"serve"}));
  EXPECT_EQ(1u, RunPeer({L"write", queue}));
  EXPECT_EQ(1u, RunPeer({L"frobnicate", queue}));

  Peer help({L"--help"});
  EXPECT_EQ(0u, help.Finish(30000));
  const auto lines = help.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("SuitePeer: plays the suite's peers on a shared-memory queue.", lines[0]);
}
