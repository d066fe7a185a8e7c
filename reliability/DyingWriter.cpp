// Scenario 4, dying writer: writer processes are killed while they hold the queue's
// mutex, some of them with an item half written into the mapping. Each time, the writers
// that come later must take the abandoned mutex and go on, the server (in this process)
// must keep draining, and at most the items of the drain that holds a torn item may be
// lost. Every item is sealed (writer, sequence number, CRC), so the server counts what
// was lost, duplicated or corrupted.
//
// A round: a dying writer takes the mutex and, as its death says, leaves nothing, a half
// header, or a counted item half written (a peer's write raises the item count first);
// or it writes in a loop and is killed at a random moment. A survivor already waits for
// the mutex when the dying writer is killed; a second survivor starts writing after.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ChildSignals.h"
#include "FileIdentity.h"
#include "ItemSeal.h"
#include "PrivateModule.h"
#include "RawQueue.h"
#include "Scenario.h"
#include "SharedBlock.h"
#include "common/UniqueHandle.h"
#include "ipc/QueueLayout.h"
#include "ipc/SMIPCTNG.h"
#include "log/Logger.h"
#include "support/ChildProcess.h"
#include "support/LogWatch.h"

namespace campaign {
namespace {

using test_support::ChildProcess;

constexpr unsigned long long kQueueSize = 20480;
constexpr uint32_t kMaxWriters = 256;
constexpr uint32_t kWarmUpWriter = kMaxWriters - 1;
constexpr uint32_t kBarrierWriter = kMaxWriters - 2;
constexpr DWORD kChildWaitMs = 30000;
constexpr size_t kFixedItemBytes = 64;
constexpr size_t kMaxItemBytes = 512;
constexpr uint64_t kTornPayloadBytes = 200;
constexpr wchar_t kDroppedDrainLine[] = L"SMIPCTNG::Read: NULL Item Property.";
// Rounds whose drop lines may lie in a log file moved aside meanwhile go without their
// loss checks; a round writes a few lines, so this process's log fills up at most once in
// a run of the scenario (more would leave the losses of too many rounds unchecked).
constexpr uint64_t kMaxRoundsUncounted = 1;

// How far each writer got, as the writers say it.
struct WriterBoard {
  // Items whose Write returned true, per writer id (sequence numbers 0..n-1).
  volatile LONG confirmed[kMaxWriters];
  // 1 while a looping writer holds the queue's mutex around its write.
  volatile LONG holding[kMaxWriters];
};

// How a dying writer leaves the queue when it is killed.
struct Death {
  const wchar_t* name;
  bool torn;     // a half-written item lies at the next offset
  bool counted;  // ... and the item count already includes it
};
const Death kDeaths[] = {
    {L"counted", true, true},   // count raised (a peer's first step), header half written
    {L"loop", false, false},    // killed at a random moment of a write loop
    {L"header", true, false},   // header half written, nothing counted yet
    {L"payload", true, true},   // count raised, header whole, payload half written
    {L"held", false, false},    // mutex taken, nothing written
};
constexpr int kDeathCount = sizeof(kDeaths) / sizeof(kDeaths[0]);

size_t ItemBytes(uint32_t writer, uint32_t sequence, bool fixedSize) {
  if (fixedSize) return kFixedItemBytes;
  return kSealBytes + (writer * 7919u + sequence * 104729u) % (kMaxItemBytes - kSealBytes);
}

class WriterClient : public SMIPCTNG {
 public:
  ~WriterClient() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*>) override {}
};

// One write attempt of a sealed item. *full tells a full queue from a failure.
bool WriteSealedOnce(SMIPCTNG& client, uint32_t writer, uint32_t sequence, bool fixedSize, bool* full) {
  const std::vector<unsigned char> payload = SealPayload(writer, sequence, ItemBytes(writer, sequence, fixedSize));
  return client.Write(L"dying-writer", payload.data(), payload.size(), full);
}

// Writes one sealed item, waiting while the queue is full (about 10 s at the most).
bool WriteSealed(SMIPCTNG& client, uint32_t writer, uint32_t sequence, bool fixedSize) {
  for (int attempt = 0; attempt < 10000; ++attempt) {
    bool full = false;
    if (WriteSealedOnce(client, writer, sequence, fixedSize, &full)) return true;
    if (!full) return false;
    ::Sleep(1);
  }
  return false;
}

bool TakeMutex(HANDLE mutex) {
  const DWORD waited = ::WaitForSingleObject(mutex, kChildWaitMs);
  return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

// The server: tallies every sealed item it receives, per writer and sequence number.
class TallyServer : public SMIPCTNG {
 public:
  TallyServer() : seen_(kMaxWriters) {}
  ~TallyServer() override { Close(); }

  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const QueueItemHeader* item : items) {
      SealedName name;
      const SealCheck check = OpenSeal(ItemPayload(item), item->size, &name);
      if (check == SealCheck::Whole && name.writer < kMaxWriters) {
        std::vector<uint32_t>& row = seen_[name.writer];
        if (row.size() <= name.sequence) row.resize(name.sequence + 1, 0);
        ++row[name.sequence];
      } else if (check == SealCheck::Corrupted) {
        ++corrupted_;
      } else {
        ++foreign_;
      }
    }
  }

  std::vector<uint32_t> SeenOf(uint32_t writer) {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_[writer];
  }
  uint64_t corrupted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return corrupted_;
  }
  uint64_t foreign() {
    std::lock_guard<std::mutex> lock(mutex_);
    return foreign_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<uint32_t>> seen_;
  uint64_t corrupted_ = 0;
  uint64_t foreign_ = 0;
};

// What the server got of one writer's confirmed items.
struct WriterOutcome {
  uint64_t delivered = 0;
  uint64_t lost = 0;
  uint64_t lostRuns = 0;      // runs of consecutive lost sequence numbers
  uint64_t duplicated = 0;
  uint64_t unconfirmed = 0;   // delivered, but past what the writer confirmed (in flight at its death)
};

WriterOutcome OutcomeOf(const std::vector<uint32_t>& seen, uint32_t confirmed) {
  WriterOutcome outcome;
  bool inRun = false;
  for (uint32_t sequence = 0; sequence < std::max<size_t>(confirmed, seen.size()); ++sequence) {
    const uint32_t count = sequence < seen.size() ? seen[sequence] : 0;
    if (count > 1) outcome.duplicated += count - 1;
    if (sequence >= confirmed) {
      outcome.unconfirmed += count > 0 ? 1 : 0;
      continue;
    }
    if (count == 0) {
      ++outcome.lost;
      if (!inRun) ++outcome.lostRuns;
      inRun = true;
    } else {
      ++outcome.delivered;
      inRun = false;
    }
  }
  return outcome;
}

// Writes items of the campaign's own barrier writer until the server delivers one (at
// most 5 items, 2 s each). The listener drains one drain after another, so once one is
// delivered every earlier drain has been delivered or dropped, its lines logged. (A
// barrier item that shares a drain with a torn item is dropped with it; the next one
// then comes through.)
bool Barrier(TallyServer& server, SMIPCTNG& own, WriterBoard& board) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const uint32_t sequence = static_cast<uint32_t>(board.confirmed[kBarrierWriter]);
    if (!WriteSealed(own, kBarrierWriter, sequence, false)) return false;
    ::InterlockedExchange(&board.confirmed[kBarrierWriter], static_cast<LONG>(sequence + 1));
    for (int waited = 0; waited < 100; ++waited) {
      const std::vector<uint32_t> seen = server.SeenOf(kBarrierWriter);
      if (seen.size() > sequence && seen[sequence] > 0) return true;
      ::Sleep(20);
    }
  }
  return false;
}

// Kills the children that are still running when a round ends early.
struct KillOnExit {
  std::vector<ChildProcess*> children;
  ~KillOnExit() {
    for (ChildProcess* child : children) {
      if (child->valid() && !child->Wait(0)) child->Kill();
    }
  }
};

}  // namespace

// args: queue, death, holding signal. Takes the queue's mutex itself, leaves the mapping
// as the death says, signals, and waits to be killed.
SENTREL_CHILD(L"dying-writer-tear", args) {
  RawQueue queue(args.at(0), kQueueSize);
  if (!queue.valid() || !queue.Lock(kChildWaitMs)) return 2;
  unsigned char* bytes = queue.bytes();
  QueueLayout::QueueHeader header = QueueLayout::ReadHeader(bytes);
  const std::wstring death = args.at(1);
  if (death != L"held") {
    if (!QueueLayout::HasRoom(header.nextOffset, QueueLayout::kChannelItemHeaderSize + kTornPayloadBytes,
                              kQueueSize)) {
      return 3;
    }
    const QueueItemHeader item = QueueLayout::MakeChannelItemHeader(L"torn", kTornPayloadBytes);
    unsigned char* at = bytes + header.nextOffset;
    if (death == L"counted" || death == L"payload") {
      ++header.itemCount;
      QueueLayout::WriteHeader(bytes, header);
    }
    if (death == L"payload") {
      std::memcpy(at, &item, sizeof(item));
      std::memset(at + sizeof(item), 0x7E, static_cast<size_t>(kTornPayloadBytes / 2));
    } else {
      std::memcpy(at, &item, 40);  // the flag and half the channel field
    }
  }
  RaiseSignal(args.at(2));
  ::Sleep(kChildWaitMs * 2);
  return 4;  // never killed
}

// args: queue, writer id, board, fixed size (1/0), started signal. Writes sealed items in
// a loop, each under the queue's mutex taken around the whole write, until it is killed.
SENTREL_CHILD(L"dying-writer-loop", args) {
  const uint32_t writer = static_cast<uint32_t>(std::stoul(args.at(1)));
  SharedBlock<WriterBoard> board = SharedBlock<WriterBoard>::Open(args.at(2));
  const bool fixedSize = args.at(3) == L"1";
  WriterClient client;
  if (!board.valid() || writer >= kMaxWriters || !client.Create(SMIPCTNG::kClient, args.at(0), kQueueSize)) return 2;
  UniqueKernelHandle mutex(
      ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, (L"Global\\Mutex_" + args.at(0)).c_str()));
  if (!mutex) return 3;
  uint32_t sequence = 0;
  for (int attempt = 0; attempt < 1000000; ++attempt) {
    if (!TakeMutex(mutex.get())) return 4;
    board->holding[writer] = 1;
    bool full = false;
    const bool written = WriteSealedOnce(client, writer, sequence, fixedSize, &full);
    if (written) ::InterlockedExchange(&board->confirmed[writer], static_cast<LONG>(sequence + 1));
    board->holding[writer] = 0;
    ::ReleaseMutex(mutex.get());
    if (!written) {
      if (!full) return 5;
      ::Sleep(1);
      continue;
    }
    if (sequence == 0) RaiseSignal(args.at(4));
    ++sequence;
  }
  return 6;
}

// args: queue, writer id, items, board, fixed size (1/0), ready signal, go signal. Writes
// its items once told to go. Exit code 0, or 1 + the sequence number of the first write
// that failed for another reason than a full queue.
SENTREL_CHILD(L"dying-writer-survivor", args) {
  const uint32_t writer = static_cast<uint32_t>(std::stoul(args.at(1)));
  const uint32_t items = static_cast<uint32_t>(std::stoul(args.at(2)));
  SharedBlock<WriterBoard> board = SharedBlock<WriterBoard>::Open(args.at(3));
  const bool fixedSize = args.at(4) == L"1";
  WriterClient client;
  if (!board.valid() || writer >= kMaxWriters || !client.Create(SMIPCTNG::kClient, args.at(0), kQueueSize)) {
    return 1000000;
  }
  RaiseSignal(args.at(5));
  if (!WaitSignal(args.at(6), kChildWaitMs)) return 1000001;
  for (uint32_t sequence = 0; sequence < items; ++sequence) {
    if (!WriteSealed(client, writer, sequence, fixedSize)) return static_cast<int>(1 + sequence);
    ::InterlockedExchange(&board->confirmed[writer], static_cast<LONG>(sequence + 1));
  }
  return 0;
}

ScenarioResult RunDyingWriter(const ScenarioScale& scale) {
  ScenarioResult result;
  result.name = "dying writer";
  const int rounds = scale.Pick(20, 3);
  const uint32_t survivorItems = static_cast<uint32_t>(scale.Pick(200, 60));
  result.load = std::to_string(rounds) + " rounds, 2 surviving writers x " + std::to_string(survivorItems) +
                " items each";
  int holdingDeaths = 0, halfWritten = 0;
  for (int round = 0; round < rounds; ++round) {
    const Death& death = kDeaths[round % kDeathCount];
    holdingDeaths += std::wstring(death.name) == L"loop" ? 0 : 1;
    halfWritten += death.torn ? 1 : 0;
  }
  result.faults = std::to_string(rounds) + " writers killed: " + std::to_string(holdingDeaths) +
                  " holding the queue mutex (" + std::to_string(halfWritten) + " mid-item), " +
                  std::to_string(rounds - holdingDeaths) + " at random in a write loop";

  const std::wstring queue = test_support::UniqueName(L"DyingWriter");
  const std::wstring stem = test_support::UniqueName(L"dying");
  SharedBlock<WriterBoard> board = SharedBlock<WriterBoard>::Create(L"Local\\" + stem + L"_board");
  TallyServer server;
  if (!board.valid() || !server.Create(SMIPCTNG::kServer, queue, kQueueSize)) {
    result.Fail("the server or the writers' board could not be created");
    return result;
  }
  RawQueue raw(queue, kQueueSize);
  WriterClient own;
  if (!raw.valid() || !own.Create(SMIPCTNG::kClient, queue, kQueueSize)) {
    result.Fail("the queue could not be opened beside its server");
    return result;
  }
  // Dropped drains are counted from the server's lines in this process's log, which no
  // other process may write: processes of one program share their log file, and a line of
  // one can land where a line of another was. The writers run from a copy of this program
  // under a module name of their own, with logging off.
  const std::wstring ownLog = Logger::Instance().FilePath();
  if (!Logger::Instance().IsEnabled()) {
    result.Fail("this process's log is off: the dropped drains cannot be counted");
    return result;
  }
  PrivateModule writerProgram(L"DyingWriter", 0, 1);
  if (!writerProgram.valid()) {
    result.Fail("the writers' program could not be copied");
    return result;
  }
  std::mt19937 random(4242);

  // Warm-up: ten items in one drain, so that the mapping holds old whole items behind the
  // first slot from the start, as it does after any busy moment.
  std::vector<uint32_t> allWriters = {kWarmUpWriter, kBarrierWriter};
  if (raw.Lock(kChildWaitMs)) {
    for (uint32_t sequence = 0; sequence < 10; ++sequence) {
      if (WriteSealed(own, kWarmUpWriter, sequence, true)) board->confirmed[kWarmUpWriter] = sequence + 1;
    }
    raw.Unlock();
    raw.Announce();
  }
  if (!Barrier(server, own, *board.get())) {
    result.Fail("the server did not deliver the first items");
    return result;
  }

  uint64_t kills = 0, killsHolding = 0, drainsDropped = 0, roundsUncounted = 0;
  for (int round = 0; round < rounds && result.detail.empty(); ++round) {
    const Death& death = kDeaths[round % kDeathCount];
    const bool loop = std::wstring(death.name) == L"loop";
    const bool fixedSize = round % 2 == 0;
    const uint32_t dying = static_cast<uint32_t>(round * 3);
    const uint32_t early = dying + 1;
    const uint32_t late = dying + 2;
    const std::wstring roundStem = stem + L"_" + std::to_wstring(round);
    const std::wstring reached = roundStem + L"_reached";
    UniqueKernelHandle signals[] = {CreateSignal(reached),
                                    CreateSignal(roundStem + L"_ready1"), CreateSignal(roundStem + L"_go1"),
                                    CreateSignal(roundStem + L"_ready2"), CreateSignal(roundStem + L"_go2")};
    const std::wstring boardName = L"Local\\" + stem + L"_board";
    const std::wstring fixedArg = fixedSize ? L"1" : L"0";

    ChildProcess dyingChild =
        loop ? writerProgram.Start(L"dying-writer-loop", {queue, std::to_wstring(dying), boardName, fixedArg, reached})
             : writerProgram.Start(L"dying-writer-tear", {queue, death.name, reached});
    ChildProcess survivors[2];
    for (int s = 0; s < 2; ++s) {
      const std::wstring n = std::to_wstring(s + 1);
      survivors[s] = writerProgram.Start(
          L"dying-writer-survivor", {queue, std::to_wstring(s == 0 ? early : late), std::to_wstring(survivorItems),
                                     boardName, fixedArg, roundStem + L"_ready" + n, roundStem + L"_go" + n});
    }
    KillOnExit guard{{&dyingChild, &survivors[0], &survivors[1]}};
    const std::string roundName = "round " + std::to_string(round) + " (" +
                                  std::string(death.name, death.name + wcslen(death.name)) + ")";
    if (!dyingChild.valid() || !survivors[0].valid() || !survivors[1].valid()) {
      result.Fail(roundName + ": a writer process could not be started");
      break;
    }
    // The drains dropped in this round, unless the log is moved aside meanwhile (full).
    const test_support::LogWatch roundLines;
    const unsigned long long logBefore = PathIdentity(ownLog);
    if (!WaitSignal(reached, kChildWaitMs) || !WaitSignal(roundStem + L"_ready1", kChildWaitMs) ||
        !WaitSignal(roundStem + L"_ready2", kChildWaitMs)) {
      result.Fail(roundName + ": a writer did not get ready");
      break;
    }
    // The first survivor starts writing: with a torn death it now waits for the mutex that
    // the dying writer holds; with the looping one it writes beside it.
    RaiseSignal(roundStem + L"_go1");
    ::Sleep(loop ? 50 + random() % 250 : 300);
    dyingChild.Kill();
    ++kills;
    const bool heldAtDeath = loop ? board->holding[dying] != 0 : true;
    killsHolding += heldAtDeath ? 1 : 0;
    RaiseSignal(roundStem + L"_go2");

    for (int s = 0; s < 2; ++s) {
      DWORD exitCode = 0;
      if (!survivors[s].Wait(120000, &exitCode)) {
        result.Fail(roundName + ": a surviving writer did not finish within 120 s");
      } else if (exitCode != 0) {
        result.Fail(roundName + ": a surviving writer failed its write #" + std::to_string(exitCode - 1) +
                    " after the kill (exit code " + std::to_string(exitCode) + ")");
      }
    }
    const std::vector<uint32_t> writers = {dying, early, late};
    if (!Barrier(server, own, *board.get())) {
      result.Fail(roundName + ": the server stopped draining");
      break;
    }
    const size_t dropped = roundLines.Count(kDroppedDrainLine);
    drainsDropped += dropped;
    allWriters.insert(allWriters.end(), writers.begin(), writers.end());
    if (PathIdentity(ownLog) != logBefore) {
      // Lines of this round may lie in the file moved aside: the round's count is short.
      ++roundsUncounted;
      continue;
    }

    uint64_t roundLost = 0;
    for (uint32_t writer : writers) {
      const WriterOutcome outcome = OutcomeOf(server.SeenOf(writer), static_cast<uint32_t>(board->confirmed[writer]));
      roundLost += outcome.lost;
      if (outcome.lostRuns > dropped) {
        result.Fail(roundName + ": writer " + std::to_string(writer) + " lost " + std::to_string(outcome.lost) +
                    " items in " + std::to_string(outcome.lostRuns) + " runs, but only " + std::to_string(dropped) +
                    " drains were dropped");
      }
    }
    if (dropped > 0 && !death.counted && !loop) {
      result.Fail(roundName + ": " + std::to_string(dropped) + " drains dropped though no torn item was counted");
    }
    if (roundLost > 0 && dropped == 0) {
      result.Fail(roundName + ": " + std::to_string(roundLost) + " items lost without a dropped drain");
    }
  }

  uint64_t written = 0, delivered = 0, lost = 0, duplicated = 0, unconfirmed = 0;
  for (uint32_t writer : allWriters) {
    const uint32_t confirmed = static_cast<uint32_t>(board->confirmed[writer]);
    const WriterOutcome outcome = OutcomeOf(server.SeenOf(writer), confirmed);
    if (writer == kBarrierWriter && outcome.lostRuns > drainsDropped) {
      result.Fail(std::to_string(outcome.lost) + " barrier items lost outside the dropped drains");
    }
    written += confirmed;
    delivered += outcome.delivered;
    lost += outcome.lost;
    duplicated += outcome.duplicated;
    unconfirmed += outcome.unconfirmed;
  }
  const uint64_t corrupted = server.corrupted();
  const uint64_t foreign = server.foreign();
  server.Close();

  if (roundsUncounted > kMaxRoundsUncounted) {
    result.Fail(std::to_string(roundsUncounted) + " rounds went without their loss checks (the log moved aside), more than " +
                std::to_string(kMaxRoundsUncounted));
  }
  if (duplicated > 0) result.Fail(std::to_string(duplicated) + " items delivered more than once");
  if (corrupted > 0) result.Fail(std::to_string(corrupted) + " items delivered corrupted");
  if (foreign > 0) result.Fail(std::to_string(foreign) + " items delivered that no writer wrote");

  result.Figure("dying-writer-rounds", rounds);
  result.Figure("dying-writer-kills", static_cast<long long>(kills));
  result.Figure("dying-writer-kills-holding-mutex", static_cast<long long>(killsHolding));
  result.Figure("dying-writer-half-written-items", halfWritten);
  result.Figure("dying-writer-items-written", static_cast<long long>(written));
  result.Figure("dying-writer-items-delivered", static_cast<long long>(delivered));
  result.Figure("dying-writer-items-lost", static_cast<long long>(lost));
  result.Figure("dying-writer-items-duplicated", static_cast<long long>(duplicated));
  result.Figure("dying-writer-items-corrupted", static_cast<long long>(corrupted + foreign));
  result.Figure("dying-writer-in-flight-delivered", static_cast<long long>(unconfirmed));
  result.Figure("dying-writer-drains-dropped", static_cast<long long>(drainsDropped));
  result.Figure("dying-writer-rounds-log-rotated", std::to_string(roundsUncounted) + " (loss checks skipped; at most " +
                                                      std::to_string(kMaxRoundsUncounted) + ")");

  result.result = std::to_string(kills) + " kills, " + std::to_string(killsHolding) +
                  " holding the mutex; after each, later writers went on and the server kept draining; " + std::to_string(drainsDropped) +
                  " drains dropped, each holding a counted half-written item";
  result.lost = std::to_string(lost) + " of " + std::to_string(written) + " items" +
                (lost > 0 ? ", all in the dropped drains" : "");
  if (result.detail.empty()) result.verdict = Verdict::Pass;
  return result;
}

}  // namespace campaign
