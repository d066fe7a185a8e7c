// Scenario 5, hostile queue contents: a local process opens a server's mapping under the
// queue's mutex, as any process may, and writes contents at the edges (counts, sizes and
// next offsets near 0, the mapping size, 2^32 and 2^64; wrong flags and types; random
// bytes), then sets the new-data event. The server must drain each of them on its own,
// drop every drain that holds an item that is not whole with its log lines, deliver the
// well-formed ones, and go on delivering the good items written through the queue's own
// Write between them. A channel queue (SMIPCTNG) takes most rounds, a typed queue
// (SMIPCPManager) the rest.
//
// The servers run in a helper process started from a copy of this program under a
// module name of its own, so that a crash ends only the helper (and is counted) and the
// helper's log lines, counted at the end, are its own.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ChildSignals.h"
#include "HostileContent.h"
#include "ItemSeal.h"
#include "PrivateModule.h"
#include "RawQueue.h"
#include "Scenario.h"
#include "SharedBlock.h"
#include "ipc/SMIPCPManager.h"
#include "ipc/SMIPCTNG.h"
#include "support/ChildProcess.h"
#include "support/LogWatch.h"

namespace campaign {
namespace {

using QueueLayout::ItemKind;
using test_support::ChildProcess;

constexpr unsigned long long kChannelQueueSize = 20480;
constexpr unsigned long long kTypedQueueSize = 8192;
constexpr DWORD kChildWaitMs = 30000;
constexpr DWORD kDrainWaitMs = 10000;
constexpr DWORD kServeMs = 3600000;
constexpr uint32_t kMaxGoodItems = 1u << 20;
enum { kChannel = 0, kTyped = 1 };

// What the servers saw, per queue (kChannel, kTyped).
struct ServerBoard {
  volatile LONG64 deliveries[2];
  volatile LONG64 items[2];      // every item handed to a receiver
  volatile LONG64 good[2];       // good items, each counted once
  volatile LONG64 replayed[2];   // good items handed over again (hostile bytes can replay an old one)
  volatile LONG64 refused;       // typed items the item check refused
};

// Counts one delivery's items on the board; true when a good item came for the first time.
class GoodItemTally {
 public:
  GoodItemTally(ServerBoard* board, int queue) : board_(board), queue_(queue), seen_(kMaxGoodItems, false) {}

  bool Count(const unsigned char* payload, uint64_t size) {
    ::InterlockedIncrement64(&board_->items[queue_]);
    SealedName name;
    if (OpenSeal(payload, size, &name) != SealCheck::Whole || name.writer != static_cast<uint32_t>(queue_) ||
        name.sequence >= kMaxGoodItems) {
      return false;
    }
    if (seen_[name.sequence]) {
      ::InterlockedIncrement64(&board_->replayed[queue_]);
      return false;
    }
    seen_[name.sequence] = true;
    ::InterlockedIncrement64(&board_->good[queue_]);
    return true;
  }
  void Delivered(bool gotGood, HANDLE got) {
    ::InterlockedIncrement64(&board_->deliveries[queue_]);
    if (gotGood) ::SetEvent(got);
  }

 private:
  ServerBoard* board_;
  int queue_;
  std::vector<bool> seen_;
};

class HostileChannelServer : public SMIPCTNG {
 public:
  HostileChannelServer(ServerBoard* board, HANDLE got) : tally_(board, kChannel), got_(got) {}
  ~HostileChannelServer() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    bool gotGood = false;
    for (const QueueItemHeader* item : items) gotGood = tally_.Count(ItemPayload(item), item->size) || gotGood;
    tally_.Delivered(gotGood, got_);
  }

 private:
  GoodItemTally tally_;
  HANDLE got_;
};

class HostileTypedServer : public SMIPCPManager {
 public:
  HostileTypedServer(ServerBoard* board, HANDLE got) : board_(board), tally_(board, kTyped), got_(got) {}
  ~HostileTypedServer() override { Close(); }
  void OnNewData(std::vector<const TypedItemHeader*> items) override {
    bool gotGood = false;
    for (const TypedItemHeader* item : items) {
      if (GetItemProperties(item) == nullptr) {
        ::InterlockedIncrement64(&board_->items[kTyped]);
        ::InterlockedIncrement64(&board_->refused);
        continue;
      }
      gotGood = tally_.Count(GetItemData(item), item->size) || gotGood;
    }
    tally_.Delivered(gotGood, got_);
  }

 private:
  ServerBoard* board_;
  GoodItemTally tally_;
  HANDLE got_;
};

class ChannelClient : public SMIPCTNG {
 public:
  ~ChannelClient() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*>) override {}
};

class TypedClient : public SMIPCPManager {
 public:
  ~TypedClient() override { Close(); }
  void OnNewData(std::vector<const TypedItemHeader*>) override {}
};

// Waits until the server has taken the hostile contents out of the mapping: it resets the
// header to count 0, next offset 16 (contents never leave that header themselves).
bool WaitForDrain(const RawQueue& raw) {
  const ULONGLONG deadline = ::GetTickCount64() + kDrainWaitMs;
  for (unsigned spin = 0;; ++spin) {
    const QueueLayout::QueueHeader header = raw.Header();
    if (header.itemCount == 0 && header.nextOffset == 16) return true;
    if (spin < 2000) {
      ::SwitchToThread();
    } else {
      if (::GetTickCount64() > deadline) return false;
      ::Sleep(1);
    }
  }
}

// How many of the items that a well-formed content hands over are good items of the
// campaign (writer `goodWriter`) that still lay in the mapping from an earlier round and
// that the receiver takes as such: a typed one only when it passes the item check.
uint64_t OldGoodItems(ItemKind kind, const unsigned char* image, const DrainForecast& forecast,
                      uint32_t goodWriter) {
  if (forecast.outcome != DrainForecast::Outcome::Delivered) return 0;
  const uint64_t header = kind == ItemKind::Channel ? sizeof(QueueItemHeader) : sizeof(TypedItemHeader);
  uint64_t old = 0;
  uint64_t offset = 16;
  for (uint64_t i = 0; i < forecast.delivered; ++i) {
    const unsigned char* item = image + offset;
    uint64_t itemSize = 0;
    std::memcpy(&itemSize, item + (kind == ItemKind::Channel ? offsetof(QueueItemHeader, size)
                                                             : offsetof(TypedItemHeader, size)), 8);
    bool checked = true;
    if (kind == ItemKind::Typed) {
      TypedItemHeader typed;
      std::memcpy(&typed, item, sizeof(typed));
      checked = typed.type >= 1 && typed.type <= 8 && typed.size != 0 && typed.flag == QueueLayout::kItemFlag;
    }
    SealedName name;
    if (checked && OpenSeal(item + header, itemSize, &name) == SealCheck::Whole && name.writer == goodWriter) ++old;
    offset += header + itemSize;
  }
  return old;
}

// The log lines that the servers write for hostile contents, and the counts expected.
struct LineCount {
  const wchar_t* text;
  uint64_t expected;
  uint64_t found;
};

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

// args: channel queue, typed queue, board, ready signal, got signal, stop signal. Serves
// both queues until told to stop. Exit code 0, or 2 when a server could not be created.
SENTREL_CHILD(L"hostile-queue-server", args) {
  SharedBlock<ServerBoard> board = SharedBlock<ServerBoard>::Open(args.at(2));
  UniqueKernelHandle got(::OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(4).c_str()));
  if (!board.valid() || !got) return 2;
  HostileChannelServer channel(board.get(), got.get());
  HostileTypedServer typed(board.get(), got.get());
  if (!channel.Create(SMIPCTNG::kServer, args.at(0), kChannelQueueSize) ||
      !typed.Create(SMIPCPManager::kServer, args.at(1), kTypedQueueSize)) {
    return 2;
  }
  RaiseSignal(args.at(3));
  WaitSignal(args.at(5), kServeMs);
  channel.Close();
  typed.Close();
  return 0;
}

ScenarioResult RunHostileQueue(const ScenarioScale& scale) {
  ScenarioResult result;
  result.name = "hostile queue contents";
  const int rounds = scale.Pick(100000, 2000);
  result.load = std::to_string(rounds) + " hostile mappings, each drained alone, a good item after each";
  result.faults = "counts/sizes/offsets at 0, mapping size, 2^32, 2^64; bad flags, types, bytes";

  // The helper's log holds two lines per dropped drain: no rotation in one run.
  PrivateModule module(L"HostileQueue", 2, 512);
  const std::wstring stem = test_support::UniqueName(L"hostile");
  const std::wstring queueNames[2] = {stem + L"_channel", stem + L"_typed"};
  const unsigned long long sizes[2] = {kChannelQueueSize, kTypedQueueSize};
  SharedBlock<ServerBoard> board = SharedBlock<ServerBoard>::Create(L"Local\\" + stem + L"_board");
  UniqueKernelHandle signals[] = {CreateSignal(stem + L"_ready"), CreateSignal(stem + L"_got"),
                                  CreateSignal(stem + L"_stop")};
  if (!module.valid() || !board.valid() || !signals[1]) {
    result.Fail("the helper program, its board or its signals could not be made");
    return result;
  }
  test_support::LogWatch watch(module.LogPath());
  ChildProcess server = module.Start(L"hostile-queue-server", {queueNames[0], queueNames[1], L"Local\\" + stem + L"_board",
                                                               stem + L"_ready", stem + L"_got", stem + L"_stop"});
  watch.Follow(server.pid());
  if (!server.valid() || !WaitSignal(stem + L"_ready", kChildWaitMs)) {
    if (server.valid()) server.Kill();
    result.Fail("the servers' helper process did not start");
    return result;
  }
  RawQueue raw[2] = {RawQueue(queueNames[0], sizes[0]), RawQueue(queueNames[1], sizes[1])};
  ChannelClient channelClient;
  TypedClient typedClient;
  if (!raw[0].valid() || !raw[1].valid() || !channelClient.Create(SMIPCTNG::kClient, queueNames[0], sizes[0]) ||
      !typedClient.Create(SMIPCPManager::kClient, queueNames[1], sizes[1])) {
    server.Kill();
    result.Fail("the queues could not be opened beside their servers");
    return result;
  }

  std::mt19937_64 random(0x5EED5);
  std::vector<unsigned char> image(static_cast<size_t>(kChannelQueueSize));
  uint64_t roundsOf[2] = {0, 0}, drains[2] = {0, 0}, goodWritten[2] = {0, 0}, goodLate = 0;
  uint64_t delivered[2] = {0, 0}, dropSize[2] = {0, 0}, dropFlag = 0, empty = 0;
  uint64_t badType = 0, badSize = 0, badFlag = 0, replays[2] = {0, 0};
  bool serverGone = false;
  const ULONGLONG started = ::GetTickCount64();
  for (int round = 0; round < rounds; ++round) {
    const int q = round % 5 == 4 ? kTyped : kChannel;
    const ItemKind kind = q == kTyped ? ItemKind::Typed : ItemKind::Channel;
    const size_t size = static_cast<size_t>(sizes[q]);
    if (!raw[q].Lock(kChildWaitMs)) {
      result.Fail("round " + std::to_string(round) + ": the queue's mutex was not had within 30 s");
      break;
    }
    WriteHostileContents(kind, random, raw[q].bytes(), size);
    std::memcpy(image.data(), raw[q].bytes(), size);
    raw[q].Unlock();
    const DrainForecast forecast = ForecastDrain(kind, image.data(), size);
    raw[q].Announce();
    ++roundsOf[q];
    switch (forecast.outcome) {
      case DrainForecast::Outcome::Empty: ++empty; break;
      case DrainForecast::Outcome::Delivered: delivered[q] += forecast.delivered; break;
      case DrainForecast::Outcome::DroppedSize: ++dropSize[q]; break;
      case DrainForecast::Outcome::DroppedFlag: ++dropFlag; break;
    }
    badType += forecast.badType;
    badSize += forecast.badSize;
    badFlag += forecast.badFlag;
    replays[q] += OldGoodItems(kind, image.data(), forecast, static_cast<uint32_t>(q));
    if (!WaitForDrain(raw[q])) {
      serverGone = server.Wait(0);
      result.Fail("round " + std::to_string(round) + (serverGone ? ": the servers' process ended"
                                                                 : ": the server did not drain the contents within 10 s"));
      break;
    }
    ++drains[q];

    // A good item through the queue's own Write: its own drain, since the mapping is empty.
    const uint32_t sequence = static_cast<uint32_t>(goodWritten[q]);
    const std::vector<unsigned char> payload = SealPayload(static_cast<uint32_t>(q), sequence, 16 + random() % 240);
    const bool written = q == kChannel ? channelClient.Write(L"good", payload.data(), payload.size())
                                       : typedClient.Write(1 + sequence % 8, payload.data(), payload.size());
    if (!written) {
      result.Fail("round " + std::to_string(round) + ": the good item could not be written");
      break;
    }
    ++goodWritten[q];
    while (static_cast<uint64_t>(board->good[q]) < goodWritten[q]) {
      if (::WaitForSingleObject(signals[1].get(), kDrainWaitMs) != WAIT_OBJECT_0) {
        ++goodLate;
        break;
      }
    }
    if (goodLate > 0) {
      serverGone = server.Wait(0);
      result.Fail("round " + std::to_string(round) + ": the good item was not delivered within 10 s");
      break;
    }
  }
  const double seconds = (::GetTickCount64() - started) / 1000.0;

  RaiseSignal(stem + L"_stop");
  DWORD exitCode = 0;
  const bool ended = server.Wait(kChildWaitMs, &exitCode);
  if (!ended) server.Kill();
  const uint64_t crashes = (ended && exitCode != 0) || serverGone ? 1 : 0;
  if (!ended) result.Fail("the servers did not stop within 30 s");
  else if (exitCode != 0) result.Fail("the servers' process ended with code " + std::to_string(exitCode));

  // Every drain that was to be dropped, with its lines; nothing else logged as an error.
  LineCount lines[] = {
      {L"SMIPCTNG::GetItemProperties: Invalid Item Size.", dropSize[kChannel], 0},
      {L"SMIPCTNG::GetItemProperties: Invalid Item Flag.", dropFlag, 0},
      {L"SMIPCTNG::Read: NULL Item Property.", dropSize[kChannel] + dropFlag, 0},
      {L"SMIPCPManager::Read: Item reaches past the queue.", dropSize[kTyped], 0},
      {L"SMIPCPManager::Read: delivery dropped.", dropSize[kTyped], 0},
      {L"GetItemProperties: Invalid Item Type.", badType, 0},
      {L"GetItemProperties: Invalid Item Size.", badSize, 0},
      {L"GetItemProperties: Invalid Item Flag.", badFlag, 0},
  };
  uint64_t otherErrors = 0;
  std::wstring firstOther;
  for (const test_support::LogWatch::Entry& entry : watch.NewEntries()) {
    bool known = false;
    for (LineCount& line : lines) {
      if (entry.text == line.text) {
        ++line.found;
        known = true;
      }
    }
    if (!known && (entry.level == 4 || entry.level == 5)) {
      if (otherErrors++ == 0) firstOther = entry.text;
    }
  }
  uint64_t linesMissing = 0, linesExtra = 0;
  for (const LineCount& line : lines) {
    if (line.found < line.expected) linesMissing += line.expected - line.found;
    if (line.found > line.expected) linesExtra += line.found - line.expected;
    if (line.found != line.expected && result.detail.empty()) {
      result.Fail("\"" + Narrow(line.text) + "\" logged " + std::to_string(line.found) + " times, expected " +
                  std::to_string(line.expected));
    }
  }
  if (otherErrors > 0) result.Fail(std::to_string(otherErrors) + " other error lines, first: " + Narrow(firstOther));

  const uint64_t good = static_cast<uint64_t>(board->good[kChannel] + board->good[kTyped]);
  const uint64_t written = goodWritten[kChannel] + goodWritten[kTyped];
  const uint64_t goodLost = written - good;
  const uint64_t dropped = dropSize[kChannel] + dropSize[kTyped] + dropFlag;
  for (int q = 0; q < 2; ++q) {
    const uint64_t items = static_cast<uint64_t>(board->items[q]);
    if (items != delivered[q] + goodWritten[q]) {
      result.Fail(std::string(q == kChannel ? "channel" : "typed") + " queue: " + std::to_string(items) +
                  " items handed over, expected " + std::to_string(delivered[q] + goodWritten[q]));
    }
    if (static_cast<uint64_t>(board->replayed[q]) != replays[q]) {
      result.Fail("good items handed over again: " + std::to_string(board->replayed[q]) + ", from old bytes " +
                  std::to_string(replays[q]));
    }
  }
  if (goodLost > 0) result.Fail(std::to_string(goodLost) + " good items not delivered");

  result.Figure("hostile-queue-rounds", static_cast<long long>(roundsOf[kChannel] + roundsOf[kTyped]));
  result.Figure("hostile-queue-channel-rounds", static_cast<long long>(roundsOf[kChannel]));
  result.Figure("hostile-queue-typed-rounds", static_cast<long long>(roundsOf[kTyped]));
  result.Figure("hostile-queue-drains", static_cast<long long>(drains[kChannel] + drains[kTyped]));
  result.Figure("hostile-queue-bad-drains-dropped", static_cast<long long>(dropped));
  result.Figure("hostile-queue-empty-drains", static_cast<long long>(empty));
  result.Figure("hostile-queue-hostile-items-handed-over", static_cast<long long>(delivered[kChannel] + delivered[kTyped]));
  result.Figure("hostile-queue-typed-items-refused", static_cast<long long>(board->refused));
  result.Figure("hostile-queue-log-lines-missing", static_cast<long long>(linesMissing));
  result.Figure("hostile-queue-log-lines-unexpected", static_cast<long long>(linesExtra + otherErrors));
  result.Figure("hostile-queue-good-items-written", static_cast<long long>(written));
  result.Figure("hostile-queue-good-items-delivered", static_cast<long long>(good));
  result.Figure("hostile-queue-good-items-lost", static_cast<long long>(goodLost));
  result.Figure("hostile-queue-crashes", static_cast<long long>(crashes));
  char rate[32];
  std::snprintf(rate, sizeof(rate), "%.0f", (roundsOf[0] + roundsOf[1]) / (seconds > 0 ? seconds : 1));
  result.Figure("hostile-queue-rounds-per-second", rate);

  result.result = std::to_string(dropped) + " bad drains dropped with their lines, " +
                  std::to_string(delivered[kChannel] + delivered[kTyped]) + " well-formed hostile items handed over (" +
                  std::to_string(board->refused) + " typed ones refused by the item check), " +
                  std::to_string(crashes) + " crashes";
  result.lost = std::to_string(goodLost) + " of " + std::to_string(written) + " good items";
  if (result.detail.empty()) result.verdict = Verdict::Pass;
  return result;
}

}  // namespace campaign
