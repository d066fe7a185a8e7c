// The shared-memory channel between real processes: servers, clients, room, order,
// and Close with a stuck receiver.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/UniqueHandle.h"
#include "ipc/SMIPCTNG.h"
#include "CollectingChannel.h"
#include "NewLogLines.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"

namespace {

using test_support::ChildProcess;
using test_support::OwnLogLinesContaining;
using test_support::UniqueName;

constexpr unsigned long long kQueueSize = 20480;

bool WaitEvent(HANDLE event, DWORD ms) { return ::WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }

// Payload i of a writer: `size` bytes of a pattern that depends on i.
std::string Pattern(size_t size, int i) {
  std::string payload(size, '\0');
  for (size_t k = 0; k < size; ++k) payload[k] = static_cast<char>('A' + (i * 7 + k) % 26);
  return payload;
}

}  // namespace

// args: queue, ready event, stop event. Serves the queue until told to stop.
SENTREL_CHILD(L"channel-server", args) {
  CollectingChannel server;
  if (!server.Create(SMIPCTNG::kServer, args.at(0), kQueueSize)) return 2;
  SignalNamedEvent(args.at(1));
  UniqueKernelHandle stop(::OpenEventW(SYNCHRONIZE, FALSE, args.at(2).c_str()));
  if (!stop || !WaitEvent(stop.get(), 60000)) return 3;
  server.Close();
  return 0;
}

// args: queue, "first write failed" event, "server is up" event.
SENTREL_CHILD(L"channel-late-client", args) {
  TestClient client;
  if (client.Create(SMIPCTNG::kClient, args.at(0), kQueueSize)) return 10;
  if (client.Write(L"late", "early", 6)) return 11;
  const std::wstring notReady = L"SMIPCTNG::Write: Shared memory Global\\" + args.at(0) + L" is not ready.";
  if (OwnLogLinesContaining(notReady).empty()) return 12;
  SignalNamedEvent(args.at(1));
  UniqueKernelHandle go(::OpenEventW(SYNCHRONIZE, FALSE, args.at(2).c_str()));
  if (!go || !WaitEvent(go.get(), 60000)) return 13;
  if (!client.Write(L"late", "later", 6)) return 14;
  return 0;
}

// args: queue, channel id, payload sizes... Writes Pattern(size, i) for each; the exit
// code has bit i set for a write that succeeded, bit 8 + i for one refused as full, and
// bit 16 when each refusal logged its "not enough room" line with the refused size.
SENTREL_CHILD(L"channel-writer", args) {
  TestClient client;
  if (!client.Create(SMIPCTNG::kClient, args.at(0), kQueueSize)) return 1 << 20;
  std::vector<std::unique_ptr<NewLogLines>> noRoomLines;
  for (size_t i = 2; i < args.size(); ++i)
    noRoomLines.emplace_back(new NewLogLines(L"SMIPCTNG::Write: not enough room to store size " + args[i]));
  int result = 0;
  for (size_t i = 2; i < args.size() && i < 10; ++i) {
    const int index = static_cast<int>(i - 2);
    const std::string payload = Pattern(std::stoul(args[i]), index);
    bool outOfStorage = false;
    if (client.Write(args.at(1), payload.data(), payload.size(), &outOfStorage)) result |= 1 << index;
    if (outOfStorage) result |= 1 << (8 + index);
  }
  bool linesMatch = true;
  for (size_t i = 0; i < noRoomLines.size() && i < 8; ++i)
    linesMatch = linesMatch && noRoomLines[i]->count() == ((result >> (8 + i)) & 1u);
  if (linesMatch) result |= 1 << 16;
  return result;
}

TEST(Channel, SecondServerIsRefusedWhileTheFirstLives) {
  const std::wstring queue = UniqueName(L"SecondServer");
  const std::wstring ready = UniqueName(L"ready"), stop = UniqueName(L"stop");
  UniqueKernelHandle readyEvent(CreateTestEvent(ready)), stopEvent(CreateTestEvent(stop));
  ChildProcess child = ChildProcess::Start(L"channel-server", {queue, ready, stop});
  ASSERT_TRUE(child.valid());
  ASSERT_TRUE(WaitEvent(readyEvent.get(), 30000));

  CollectingChannel second;
  EXPECT_FALSE(second.Create(SMIPCTNG::kServer, queue, kQueueSize));
  EXPECT_FALSE(second.IsReady());
  EXPECT_EQ(1u, OwnLogLinesContaining(L"SMIPCTNG::Create: another server is already listening on this event : Global\\Event_" +
                                      queue + L"_SrvRun")
                    .size());

  ::SetEvent(stopEvent.get());
  DWORD exitCode = 99;
  ASSERT_TRUE(child.Wait(30000, &exitCode));
  EXPECT_EQ(0u, exitCode);
  EXPECT_TRUE(second.Create(SMIPCTNG::kServer, queue, kQueueSize));
  EXPECT_TRUE(second.IsReady());
}

TEST(Channel, ClientWriteBeforeTheServerExistsFailsThenSucceeds) {
  const std::wstring queue = UniqueName(L"LateClient");
  const std::wstring failed = UniqueName(L"failed"), go = UniqueName(L"go");
  UniqueKernelHandle failedEvent(CreateTestEvent(failed)), goEvent(CreateTestEvent(go));
  ChildProcess child = ChildProcess::Start(L"channel-late-client", {queue, failed, go});
  ASSERT_TRUE(child.valid());
  ASSERT_TRUE(WaitEvent(failedEvent.get(), 30000)) << "the child's first write did not fail as expected";

  CollectingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  ::SetEvent(goEvent.get());
  DWORD exitCode = 99;
  ASSERT_TRUE(child.Wait(30000, &exitCode));
  EXPECT_EQ(0u, exitCode);
  ASSERT_TRUE(server.WaitForItems(1, 10000));
  const auto items = server.Items();
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(L"late", items[0].channel);
  EXPECT_EQ(std::string("later", 6), items[0].payload);
}

TEST(Channel, EmptyQueueTakes20378BytesAndRefusesOneMore) {
  const std::wstring queue = UniqueName(L"Room");
  CollectingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  ChildProcess child = ChildProcess::Start(L"channel-writer", {queue, L"room", L"20379", L"20378"});
  DWORD exitCode = 0;
  ASSERT_TRUE(child.Wait(30000, &exitCode));
  EXPECT_EQ(static_cast<DWORD>((1 << 16) | (1 << 8) | (1 << 1)), exitCode)
      << "first refused as full with its log line, second written";
  ASSERT_TRUE(server.WaitForItems(1, 10000));
  const auto items = server.Items();
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(Pattern(20378, 1), items[0].payload);
}

TEST(Channel, ChannelIdentifierOf36CharactersIsStoredAs35AndANul) {
  const std::wstring queue = UniqueName(L"ChannelField");
  CollectingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  ChildProcess child =
      ChildProcess::Start(L"channel-writer", {queue, L"91C2257D-77FF-463A-8E40-1CE2B0D3B840", L"10"});
  DWORD exitCode = 0;
  ASSERT_TRUE(child.Wait(30000, &exitCode));
  EXPECT_EQ(static_cast<DWORD>((1 << 16) | 1), exitCode);
  ASSERT_TRUE(server.WaitForItems(1, 10000));
  const auto item = server.Items().at(0);
  EXPECT_EQ(L"91C2257D-77FF-463A-8E40-1CE2B0D3B84", item.channel);
  EXPECT_EQ(L'\0', item.channelField[35]);
}

namespace {

// Blocks its first delivery until the test opens the gate.
class GatedChannel : public CollectingChannel {
 public:
  GatedChannel() : entered_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), gate_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~GatedChannel() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    ::SetEvent(entered_.get());
    ::WaitForSingleObject(gate_.get(), 30000);
    CollectingChannel::OnNewData(std::move(items));
  }
  HANDLE entered() const { return entered_.get(); }
  void Open() { ::SetEvent(gate_.get()); }

 private:
  UniqueKernelHandle entered_, gate_;
};

}  // namespace

TEST(Channel, WritesBeforeTheListenerWakesArriveInOneDeliveryInOrder) {
  const std::wstring queue = UniqueName(L"Batch");
  GatedChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  TestClient client;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  ASSERT_TRUE(client.Write(L"warm-up", "w", 1));
  ASSERT_TRUE(WaitEvent(server.entered(), 10000));  // the listener is busy with the warm-up

  ChildProcess child = ChildProcess::Start(L"channel-writer", {queue, L"batch", L"5", L"300", L"1", L"4000", L"77"});
  DWORD exitCode = 0;
  ASSERT_TRUE(child.Wait(30000, &exitCode));
  EXPECT_EQ(static_cast<DWORD>((1 << 16) | 0x1F), exitCode);
  server.Open();
  ASSERT_TRUE(server.WaitForItems(6, 10000));
  const auto batches = server.Batches();
  ASSERT_EQ(2u, batches.size());
  ASSERT_EQ(5u, batches[1].size());
  const size_t sizes[] = {5, 300, 1, 4000, 77};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Pattern(sizes[i], i), batches[1][i].payload) << i;
    EXPECT_EQ(L"batch", batches[1][i].channel);
  }
}

TEST(Channel, CloseReturnsWhileTheReceiverIsStuckAndNothingBreaksLater) {
  UniqueKernelHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueKernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const std::wstring queue = UniqueName(L"Stuck");
  NewLogLines terminated(L"SMIPCTNG::Write: threadListener terminated.");

  auto* stuck = new StuckChannel(entered.get(), release.get());
  ASSERT_TRUE(stuck->Create(SMIPCTNG::kServer, queue, kQueueSize));
  TestClient client;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  ASSERT_TRUE(client.Write(L"c", "stuck", 5));
  ASSERT_TRUE(WaitEvent(entered.get(), 10000));

  const ULONGLONG start = ::GetTickCount64();
  EXPECT_TRUE(stuck->Close());
  const ULONGLONG elapsed = ::GetTickCount64() - start;
  EXPECT_LT(elapsed, 6000u) << "Close waits about 3 s for a stuck listener, not for ever";
  delete stuck;  // the receiver is gone while its listener is still inside OnNewData

  // The name is free again: a new server takes it and receives what clients write.
  CollectingChannel next;
  ASSERT_TRUE(next.Create(SMIPCTNG::kServer, queue, kQueueSize));
  ASSERT_TRUE(client.Write(L"c", "after", 5));
  ASSERT_TRUE(next.WaitForItems(1, 10000));
  EXPECT_EQ("after", next.Items().at(0).payload);

  // The old listener comes back from its receiver, ends, and frees its state itself.
  ::SetEvent(release.get());
  EXPECT_TRUE(terminated.WaitForCount(1, 5000));
  ASSERT_TRUE(client.Write(L"c", "still", 5));
  ASSERT_TRUE(next.WaitForItems(2, 10000));
  EXPECT_EQ(2u, next.Items().size());
}

TEST(Channel, RefusesEmptyAndNullWritesAndWritesAfterClose) {
  const std::wstring queue = UniqueName(L"Refuse");
  CollectingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  TestClient client;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  NewLogLines invalidInput(L"SMIPCTNG::Write: invalid data input.");
  EXPECT_FALSE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));  // already created
  EXPECT_FALSE(client.Write(L"c", nullptr, 4));
  EXPECT_FALSE(client.Write(L"c", "x", 0));  // an empty item would cost the whole drain
  EXPECT_EQ(2u, invalidInput.count());
  EXPECT_TRUE(client.Close());
  EXPECT_TRUE(client.Close());
  EXPECT_FALSE(client.Write(L"c", "x", 1));
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  EXPECT_TRUE(client.Write(L"c", "x", 1));
  ASSERT_TRUE(server.WaitForItems(1, 10000));
  EXPECT_EQ(1u, server.Items().size());
}

TEST(Channel, StringWriteSendsUtf16TextWithItsNulAndRetriesWhenFull) {
  const std::wstring queue = UniqueName(L"StringWrite");
  GatedChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  TestClient client;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  ASSERT_TRUE(client.Write(std::string("chan"), std::string("hello"), 0));
  ASSERT_TRUE(WaitEvent(server.entered(), 10000));  // listener held: the queue fills up

  const std::string big(9000, 'b');  // 18002 bytes of UTF-16 with its NUL
  NewLogLines retries(L"SMIPCTNG::Write: Out of storage retry attempt #");
  NewLogLines succeeded(L" for Shared memory Global\\" + queue + L" - Succeeded");
  ASSERT_TRUE(client.Write(std::string("chan"), big, 0));
  EXPECT_FALSE(client.Write(std::string("chan"), big, 0)) << "full queue, no retries asked";
  EXPECT_EQ(0u, retries.count());
  EXPECT_FALSE(client.Write(std::string("chan"), big, 2));
  EXPECT_EQ(2u, retries.count());
  EXPECT_EQ(1u, OwnLogLinesContaining(L"SMIPCTNG::Write: Out of storage retry attempt #1 for Shared memory Global\\" + queue).size());
  // The listener is let go while the writer retries: a later attempt gets through.
  std::thread opener([&server] {
    ::Sleep(200);
    server.Open();
  });
  EXPECT_TRUE(client.Write(std::string("chan"), big, 200));
  opener.join();
  EXPECT_EQ(1u, succeeded.count());
  ASSERT_TRUE(server.WaitForItems(3, 10000));
  const auto items = server.Items();
  const std::wstring hello = L"hello";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(hello.c_str()), 12), items[0].payload);
  EXPECT_EQ(18002u, items[1].payload.size());
  EXPECT_EQ(L"chan", items[2].channel);
}
