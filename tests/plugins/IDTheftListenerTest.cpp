// The identity-theft response listener: user responses written by another process into
// a typed queue, decoded and handed to the user-response entry; invalid items, other
// types, payloads that stop short, and the identity-theft stop that closes it all.
#include "plugins/IDTheftIpcListener.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "ipc/QueueLayout.h"
#include "log/Logger.h"
#include "plugins/PluginHost.h"
#include "support/ChildProcess.h"
#include "support/GuardPageBuffer.h"
#include "support/LogWatch.h"

namespace {

namespace IDTheft = ExFilterDriver::IDTheft;
using test_support::LogWatch;

constexpr unsigned long long kQueueSize = 8192;

struct Response {
  unsigned char block;
  unsigned char modify;
  std::wstring rule;
  bool operator==(const Response& other) const {
    return block == other.block && modify == other.modify && rule == other.rule;
  }
};

std::ostream& operator<<(std::ostream& out, const Response& r) {
  out << "{block " << int(r.block) << ", modify " << int(r.modify) << ", rule";
  for (wchar_t c : r.rule) out << ' ' << std::hex << int(c) << std::dec;
  return out << "}";
}

// The user-response entry of these tests: records what reaches it.
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Response> responses;
};
Recorder g_recorder;

bool RecordResponse(unsigned char block, unsigned char modify, const std::wstring& rule) {
  std::lock_guard<std::mutex> lock(g_recorder.mutex);
  g_recorder.responses.push_back(Response{block, modify, rule});
  g_recorder.changed.notify_all();
  return true;
}

// An entry that records its response, reports that it was reached and then holds the
// listener thread until the identity-theft stop has cleared the entry.
HANDLE g_entryReached = nullptr;

bool RecordAndHoldUntilCleared(unsigned char block, unsigned char modify, const std::wstring& rule) {
  RecordResponse(block, modify, rule);
  ::SetEvent(g_entryReached);
  for (int wait = 0; wait < 3000 && IDTheft::GetUserResponseEntry() != nullptr; ++wait) ::Sleep(10);
  return true;
}

std::vector<Response> WaitForResponses(size_t count, DWORD ms = 20000) {
  std::unique_lock<std::mutex> lock(g_recorder.mutex);
  g_recorder.changed.wait_for(lock, std::chrono::milliseconds(ms),
                              [&] { return g_recorder.responses.size() >= count; });
  return g_recorder.responses;
}

// Payload of a user response: block, modify, the rule's UTF-16LE units, then `zeros`
// zero bytes (2 is the terminator the sender is meant to write).
std::string ResponsePayload(unsigned char block, unsigned char modify, const std::wstring& rule, size_t zeros = 2) {
  std::string bytes;
  bytes.push_back(static_cast<char>(block));
  bytes.push_back(static_cast<char>(modify));
  for (wchar_t c : rule) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  bytes.append(zeros, '\0');
  return bytes;
}

struct QueuedItem {
  unsigned int type;
  std::string payload;
};

const std::wstring kUnicodeRule = L"R\x00E8gle \x20AC\x4E2D";

// The items of one scenario, written by the child as a single delivery.
std::vector<QueuedItem> ScenarioItems(const std::wstring& scenario) {
  if (scenario == L"responses") {
    return {{8, ResponsePayload(1, 0, L"rule-a")},
            {8, ResponsePayload(2, 255, kUnicodeRule)},
            {7, "seven"},
            {8, ResponsePayload(0, 1, L"")}};
  }
  if (scenario == L"invalid-second") {
    return {{8, ResponsePayload(1, 1, L"first")}, {9, "nine"}, {8, ResponsePayload(0, 0, L"third")}};
  }
  if (scenario == L"after") return {{8, ResponsePayload(3, 4, L"after")}};
  if (scenario == L"during-stop") return {{8, ResponsePayload(1, 0, L"before")}, {8, ResponsePayload(0, 1, L"during")}};
  return {};
}

}  // namespace

// args: queue, scenario. Writes the scenario's items while holding the queue's mutex,
// so that the listener takes them in one delivery.
SENTREL_CHILD(L"idtheft-responses", args) {
  IDTheft::IpcListener writer;
  if (!writer.Create(SMIPCPManager::kClient, args.at(0), kQueueSize)) return 1;
  UniqueKernelHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, (L"Global\\Mutex_" + args.at(0)).c_str()));
  if (!mutex || ::WaitForSingleObject(mutex.get(), 10000) != WAIT_OBJECT_0) return 2;
  int result = 0;
  for (const QueuedItem& item : ScenarioItems(args.at(1))) {
    if (!writer.Write(item.type, item.payload.data(), item.payload.size())) result = 3;
  }
  ::ReleaseMutex(mutex.get());
  return result;
}

namespace {

class IDTheftListener : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(g_recorder.mutex);
      g_recorder.responses.clear();
    }
    IDTheft::SetUserResponseEntry(&RecordResponse);
  }
  void TearDown() override { IDTheft::StopPlugin(); }

  void RunWriter(const std::wstring& queue, const wchar_t* scenario) {
    test_support::ChildProcess child = test_support::ChildProcess::Start(L"idtheft-responses", {queue, scenario});
    ASSERT_TRUE(child.valid());
    DWORD exitCode = 99;
    ASSERT_TRUE(child.Wait(30000, &exitCode));
    ASSERT_EQ(0u, exitCode) << "writer failed";
  }
};

TEST_F(IDTheftListener, ResponsesFromAnotherProcessReachTheEntry) {
  const std::wstring queue = test_support::UniqueName(L"IDTheftResponses");
  IDTheft::IpcListener& listener = IDTheft::GetIpcListener();
  ASSERT_TRUE(listener.Create(SMIPCPManager::kServer, queue, kQueueSize));
  LogWatch log;
  RunWriter(queue, L"responses");

  const std::vector<Response> expected = {{1, 0, L"rule-a"}, {2, 255, kUnicodeRule}, {0, 1, L""}};
  EXPECT_EQ(expected, WaitForResponses(3));
  EXPECT_EQ(1u, log.Count(LogLevel::Error, L"ExFilterDriver::OnNewData - Invalid command 7"));
  EXPECT_EQ(3u, log.Count(LogLevel::Always, L"ExFilterDriver::OnNewData - ITYPE_IDTHEFTEVENTMGR_NOTIFY_USER_RESPONSE"));
  EXPECT_EQ(1u, log.Count(LogLevel::Always,
                          L"IDTheft_EventManagerSetUserResponse user response : rule rule-a , block 1 , modify 0"));
  EXPECT_EQ(1u, log.Count(LogLevel::Always, L"IDTheft_EventManagerSetUserResponse user response : rule " +
                                                kUnicodeRule + L" , block 2 , modify 255"));
  EXPECT_EQ(1u, log.Count(LogLevel::Always,
                          L"IDTheft_EventManagerSetUserResponse user response : rule  , block 0 , modify 1"));
}

TEST_F(IDTheftListener, AnInvalidItemEndsItsDelivery) {
  const std::wstring queue = test_support::UniqueName(L"IDTheftInvalid");
  IDTheft::IpcListener& listener = IDTheft::GetIpcListener();
  ASSERT_TRUE(listener.Create(SMIPCPManager::kServer, queue, kQueueSize));
  LogWatch log;
  RunWriter(queue, L"invalid-second");
  EXPECT_EQ((std::vector<Response>{{1, 1, L"first"}}), WaitForResponses(1));
  // The next delivery is handled again.
  RunWriter(queue, L"after");
  EXPECT_EQ((std::vector<Response>{{1, 1, L"first"}, {3, 4, L"after"}}), WaitForResponses(2));

  const std::vector<LogWatch::Entry> entries = log.NewEntries();
  std::vector<std::wstring> texts;
  for (const LogWatch::Entry& entry : entries) {
    if (entry.text.find(L"OnNewData") != std::wstring::npos || entry.text.find(L"GetItemProperties") == 0)
      texts.push_back(entry.text);
  }
  EXPECT_EQ((std::vector<std::wstring>{L"ExFilterDriver::OnNewData - ITYPE_IDTHEFTEVENTMGR_NOTIFY_USER_RESPONSE",
                                       L"GetItemProperties: Invalid Item Type.",
                                       L"ExFilterDriver::OnNewData : empty Property.",
                                       L"ExFilterDriver::OnNewData - ITYPE_IDTHEFTEVENTMGR_NOTIFY_USER_RESPONSE"}),
            texts);
  EXPECT_EQ(1u, log.Count(LogLevel::Error, L"ExFilterDriver::OnNewData : empty Property."));
}

// Items placed so that the payload's last byte lies right before an inaccessible page:
// a rule that the sender did not end inside the payload is read up to the payload's
// end and not one byte further (a read past it faults).
TEST_F(IDTheftListener, RuleIsReadOnlyUpToThePayloadsEnd) {
  struct Case {
    std::string payload;
    bool delivered;
    std::wstring rule;
    std::wstring ruleInLog;
  } cases[] = {
      {ResponsePayload(1, 0, L"ab", 0), true, L"ab", L"ab"},
      {ResponsePayload(1, 0, L"ab", 0) + "c", true, L"ab", L"ab"},  // a last odd byte is no character
      {ResponsePayload(5, 6, L"", 0), true, L"", L""},
      {ResponsePayload(1, 0, L"ab", 2), true, L"ab", L"ab"},
      {ResponsePayload(1, 0, L"a\r\nFORGED", 0), true, L"a\r\nFORGED", L"a??FORGED"},  // one line in the log
      {std::string(1, '\x01'), false, L"", L""},  // no room for the modify flag
      // Too long for one log line: the line shows the rule's start, the entry gets all of it.
      {ResponsePayload(7, 0, std::wstring(3000, L'x'), 2), true, std::wstring(3000, L'x'),
       std::wstring(1024, L'x') + L"..."},
  };
  IDTheft::IpcListener& listener = IDTheft::GetIpcListener();
  size_t expectedCount = 0;
  for (const Case& c : cases) {
    test_support::GuardPageBuffer buffer(sizeof(TypedItemHeader) + c.payload.size());
    ASSERT_TRUE(buffer.valid());
    const TypedItemHeader header = QueueLayout::MakeTypedItemHeader(8, c.payload.size(), 1);
    std::memcpy(buffer.data(), &header, sizeof(header));
    std::memcpy(buffer.data() + sizeof(header), c.payload.data(), c.payload.size());
    LogWatch log;
    listener.OnNewData({reinterpret_cast<const TypedItemHeader*>(buffer.data())});
    if (c.delivered) {
      ++expectedCount;
      const std::vector<Response> responses = WaitForResponses(expectedCount, 0);
      ASSERT_EQ(expectedCount, responses.size());
      EXPECT_EQ(c.rule, responses.back().rule);
      EXPECT_EQ(static_cast<unsigned char>(c.payload[0]), responses.back().block);
      EXPECT_EQ(1u, log.TextsStartingWith(L"IDTheft_EventManagerSetUserResponse user response : rule " +
                                          c.ruleInLog + L" , block ")
                        .size());
    } else {
      EXPECT_EQ(1u, log.Count(LogLevel::Error, L"ExFilterDriver::OnNewData - user response too short (1 bytes)."));
    }
  }
  EXPECT_EQ(expectedCount, WaitForResponses(expectedCount, 0).size());
}

// A response that arrives while the stop runs is logged but not passed on: the stop
// clears the entry before it closes the listener, and the close waits for the thread.
TEST_F(IDTheftListener, AResponseArrivingDuringTheStopIsLoggedButNotPassedOn) {
  UniqueKernelHandle reached(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(reached.valid());
  g_entryReached = reached.get();
  IDTheft::SetUserResponseEntry(&RecordAndHoldUntilCleared);
  const std::wstring queue = test_support::UniqueName(L"IDTheftDuringStop");
  ASSERT_TRUE(IDTheft::GetIpcListener().Create(SMIPCPManager::kServer, queue, kQueueSize));
  LogWatch log;
  RunWriter(queue, L"during-stop");
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(reached.get(), 30000));

  // The listener thread is inside the entry with the second response still to come.
  EXPECT_FALSE(IDTheft::StopPlugin());
  const std::wstring duringLine = L"IDTheft_EventManagerSetUserResponse user response : rule during , block 0 , modify 1";
  for (int wait = 0; wait < 300 && log.Count(LogLevel::Always, duringLine) == 0; ++wait) ::Sleep(100);
  EXPECT_EQ(1u, log.Count(LogLevel::Always, duringLine));
  EXPECT_EQ((std::vector<Response>{{1, 0, L"before"}}), WaitForResponses(1, 0));
  g_entryReached = nullptr;
}

TEST_F(IDTheftListener, StopClearsTheEntryAndClosesTheListener) {
  // Never started: the stop still succeeds in closing it, and reports the missing library.
  LogWatch log;
  EXPECT_FALSE(IDTheft::StopPlugin());
  EXPECT_EQ(nullptr, IDTheft::GetUserResponseEntry());
  EXPECT_EQ(1u, log.Count(LogLevel::Always, L"ExFilterDriver:IDTheft:StopPlugin : Will attempt to Stop IDheft Plugin ..."));
  EXPECT_EQ(1u, log.Count(LogLevel::Warn, L"ExFilterDriver:IDTheft:StopPlugin : m_hLibrary is NULL."));

  IDTheft::SetUserResponseEntry(&RecordResponse);
  IDTheft::IpcListener& listener = IDTheft::GetIpcListener();
  ASSERT_TRUE(listener.Create(SMIPCPManager::kServer, test_support::UniqueName(L"IDTheftStop"), kQueueSize));
  ASSERT_TRUE(listener.IsReady());
  EXPECT_FALSE(IDTheft::StopPlugin());
  EXPECT_FALSE(listener.IsReady());
  EXPECT_EQ(nullptr, IDTheft::GetUserResponseEntry());
  // Close waits at most 3 s for the listener thread; on a loaded machine its last line
  // may come later, so wait for it instead of expecting it at once.
  const std::wstring terminated = L"SMIPCPManager::threadListener terminated.";
  for (int wait = 0; wait < 300 && log.Count(LogLevel::Always, terminated) == 0; ++wait) ::Sleep(100);
  EXPECT_EQ(1u, log.Count(LogLevel::Always, terminated));

  // With no entry a response is logged and goes no further.
  const std::string payload = ResponsePayload(1, 1, L"late");
  std::vector<unsigned char> item(sizeof(TypedItemHeader) + payload.size());
  const TypedItemHeader header = QueueLayout::MakeTypedItemHeader(8, payload.size(), 1);
  std::memcpy(item.data(), &header, sizeof(header));
  std::memcpy(item.data() + sizeof(header), payload.data(), payload.size());
  listener.OnNewData({reinterpret_cast<const TypedItemHeader*>(item.data())});
  EXPECT_EQ(1u, log.Count(LogLevel::Always,
                          L"IDTheft_EventManagerSetUserResponse user response : rule late , block 1 , modify 1"));
  EXPECT_TRUE(WaitForResponses(1, 0).empty());
}

}  // namespace
