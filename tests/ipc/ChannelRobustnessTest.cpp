// The channel when servers hand the queue over, when Close meets a drain, and when
// other local processes hold or plant the queue's shared objects: nothing that a write
// reported as written is lost, and no process can make the listener spin.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/OpenSecurityAttributes.h"
#include "common/UniqueHandle.h"
#include "ipc/QueueLayout.h"
#include "ipc/SMIPCPManager.h"
#include "ipc/SMIPCTNG.h"
#include "CollectingChannel.h"
#include "NewLogLines.h"
#include "support/ChildProcess.h"
#include "support/ImportHook.h"

namespace {

using test_support::ChildProcess;
using test_support::ImportHook;
using test_support::UniqueName;

constexpr unsigned long long kQueueSize = 20480;
constexpr DWORD kChildWaitMs = 30000;

// Events shared with a child process, named from one stem.
std::wstring StemEvent(const std::wstring& stem, const std::wstring& what) { return stem + L"_" + what; }

bool WaitEvent(HANDLE event, DWORD ms) { return ::WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }

// Takes the queue's mutex as a writer of another process would; empty on failure.
UniqueKernelHandle TakeQueueMutex(const std::wstring& queue) {
  UniqueKernelHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, (L"Global\\Mutex_" + queue).c_str()));
  if (!mutex || ::WaitForSingleObject(mutex.get(), 10000) != WAIT_OBJECT_0) return UniqueKernelHandle();
  return mutex;
}

// CPU time (kernel + user) this process has used, in milliseconds.
ULONGLONG OwnCpuMs() {
  FILETIME creation, exit, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return (ticks(kernel) + ticks(user)) / 10000;
}

// A raw view of a queue's mapping, as any process that opens it by name has it.
class RawQueueView {
 public:
  explicit RawQueueView(const std::wstring& queue)
      : mapping_(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, (L"Global\\" + queue).c_str())),
        view_(mapping_ ? ::MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kQueueSize) : nullptr) {}
  bool valid() const { return view_.valid(); }
  unsigned char* bytes() const { return static_cast<unsigned char*>(view_.get()); }
  QueueLayout::QueueHeader header() const { return QueueLayout::ReadHeader(bytes()); }
  // Appends one channel item the way a writer does, without taking the mutex.
  bool Append(const std::string& payload) {
    const QueueItemHeader item = QueueLayout::MakeChannelItemHeader(L"raw", payload.size());
    return QueueLayout::AppendItem(bytes(), kQueueSize, &item, sizeof(item), payload.data(), payload.size());
  }

 private:
  UniqueKernelHandle mapping_;
  UniqueMappedView view_;
};

// Waits seen through the program's import table, for showing that a race test reached
// the interleaving it is about. The watched thread's waits that do not get their object
// at once (a mutex held by another thread or process) are counted and set `blocked`; its
// waits that get their object after the closer thread began a WaitForMultipleObjects
// are counted too. The closer's first such wait sets `closeWaiting`.
struct WaitWatch {
  std::atomic<DWORD> watched{0};
  std::atomic<HANDLE> blocked{nullptr};
  std::atomic<DWORD> closer{0};
  std::atomic<HANDLE> closeWaiting{nullptr};
  std::atomic<bool> closerWaits{false};
  std::atomic<int> blockedWaits{0};
  std::atomic<int> takenAfterCloserWaited{0};
};
// Lives as long as the process: a thread may still be inside a replacement below.
WaitWatch g_waitWatch;

template <typename Function>
Function Kernel32(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

DWORD WINAPI WatchedWaitForSingleObject(HANDLE object, DWORD ms) {
  static const auto original = Kernel32<decltype(&::WaitForSingleObject)>("WaitForSingleObject");
  if (::GetCurrentThreadId() != g_waitWatch.watched || ms == 0) return original(object, ms);
  DWORD result = original(object, 0);
  if (result == WAIT_TIMEOUT) {
    ++g_waitWatch.blockedWaits;
    if (HANDLE blocked = g_waitWatch.blocked) ::SetEvent(blocked);
    result = original(object, ms);
  }
  if ((result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) && g_waitWatch.closerWaits) {
    ++g_waitWatch.takenAfterCloserWaited;
  }
  return result;
}

DWORD WINAPI WatchedWaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL all, DWORD ms) {
  static const auto original = Kernel32<decltype(&::WaitForMultipleObjects)>("WaitForMultipleObjects");
  if (::GetCurrentThreadId() == g_waitWatch.closer && !g_waitWatch.closerWaits.exchange(true)) {
    if (HANDLE waiting = g_waitWatch.closeWaiting) ::SetEvent(waiting);
  }
  return original(count, objects, all, ms);
}

// Watches the waits of one thread for the life of the object (see WaitWatch). Made
// before the code under test starts the threads it watches: a loop may keep the address
// of a wait function that it read from the import table before the loop.
class WatchedWaits {
 public:
  explicit WatchedWaits(HANDLE blocked)
      : one_("kernel32.dll", "WaitForSingleObject", reinterpret_cast<void*>(&WatchedWaitForSingleObject)),
        many_("kernel32.dll", "WaitForMultipleObjects", reinterpret_cast<void*>(&WatchedWaitForMultipleObjects)) {
    g_waitWatch.blocked = blocked;
  }
  ~WatchedWaits() {
    g_waitWatch.watched = 0;
    g_waitWatch.closer = 0;
    g_waitWatch.blocked = nullptr;
    g_waitWatch.closeWaiting = nullptr;
    g_waitWatch.closerWaits = false;
    g_waitWatch.blockedWaits = 0;
    g_waitWatch.takenAfterCloserWaited = 0;
  }
  bool installed() const { return one_.installed() && many_.installed(); }
  void Watch(DWORD thread) { g_waitWatch.watched = thread; }
  // Called on the closer thread before it starts its wait.
  void WatchCloser(HANDLE closeWaiting) {
    g_waitWatch.closeWaiting = closeWaiting;
    g_waitWatch.closer = ::GetCurrentThreadId();
  }
  int takenAfterCloserWaited() const { return g_waitWatch.takenAfterCloserWaited; }

 private:
  ImportHook one_;
  ImportHook many_;
};

// The payloads a child server was told to look for, in the order given.
int PayloadIndex(const std::vector<std::wstring>& payloads, const std::string& payload) {
  for (size_t i = 0; i < payloads.size(); ++i) {
    if (std::string(payloads[i].begin(), payloads[i].end()) == payload) return static_cast<int>(i);
  }
  return -1;
}

// A server whose first delivery may be held at a gate, and which reports each payload
// it receives through named events.
class ReportingServer : public SMIPCTNG {
 public:
  ReportingServer(const std::wstring& stem, const std::vector<std::wstring>& payloads)
      : stem_(stem), payloads_(payloads), counts_(payloads.size(), 0) {}
  ~ReportingServer() override { Close(); }

  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    if (firstDelivery_) {
      firstDelivery_ = false;
      UniqueKernelHandle gate(::OpenEventW(SYNCHRONIZE, FALSE, StemEvent(stem_, L"gate").c_str()));
      if (gate) {
        SignalNamedEvent(StemEvent(stem_, L"entered"));
        ::WaitForSingleObject(gate.get(), kChildWaitMs);
      }
    }
    for (const QueueItemHeader* item : items) {
      const std::string payload(reinterpret_cast<const char*>(ItemPayload(item)), static_cast<size_t>(item->size));
      const int index = PayloadIndex(payloads_, payload);
      if (index < 0) {
        unknown_ = true;
        continue;
      }
      ++counts_[index];
      SignalNamedEvent(StemEvent(stem_, L"got" + std::to_wstring(index)));
    }
  }

  // Bit i: payload i arrived once; bit 8 + i: more than once; bit 16: an unknown item.
  int Report() const {
    int result = unknown_ ? 1 << 16 : 0;
    for (size_t i = 0; i < counts_.size() && i < 8; ++i) {
      if (counts_[i] == 1) result |= 1 << i;
      if (counts_[i] > 1) result |= 1 << (8 + i);
    }
    return result;
  }

 private:
  std::wstring stem_;
  std::vector<std::wstring> payloads_;
  std::vector<int> counts_;
  bool firstDelivery_ = true;
  bool unknown_ = false;
};

constexpr int kServerNotCreated = 1 << 20;

}  // namespace

// args: queue, stem, payloads... A channel server in a process of its own, driven by
// events named from the stem: <stem>_ready once it serves, <stem>_entered and
// <stem>_gate around its first delivery (when the test made a gate), <stem>_blocked when
// its Create waits for an object held elsewhere (when the test made that event),
// <stem>_got<i> when payload i arrives, <stem>_stop to end. Exit code:
// ReportingServer::Report().
SENTREL_CHILD(L"reporting-server", args) {
  const std::wstring stem = args.at(1);
  ReportingServer server(stem, std::vector<std::wstring>(args.begin() + 2, args.end()));
  {
    UniqueKernelHandle blocked(::OpenEventW(EVENT_MODIFY_STATE, FALSE, StemEvent(stem, L"blocked").c_str()));
    std::unique_ptr<WatchedWaits> watch;
    if (blocked) {
      watch.reset(new WatchedWaits(blocked.get()));
      watch->Watch(::GetCurrentThreadId());
    }
    if ((watch && !watch->installed()) || !server.Create(SMIPCTNG::kServer, args.at(0), kQueueSize)) {
      return kServerNotCreated;
    }
  }
  SignalNamedEvent(StemEvent(stem, L"ready"));
  WaitNamedEvent(StemEvent(stem, L"stop"), 60000);
  server.Close();
  return server.Report();
}

// args: queue, stem. A server that measures its own CPU time over two idle seconds, then
// expects the items "first" and "second" (<stem>_got0 after the first). Exit code: the
// CPU milliseconds of the idle seconds, or 1000000 and more when an item did not come.
SENTREL_CHILD(L"idle-cpu-server", args) {
  const std::wstring stem = args.at(1);
  CollectingChannel server;
  if (!server.Create(SMIPCTNG::kServer, args.at(0), kQueueSize)) return kServerNotCreated;
  SignalNamedEvent(StemEvent(stem, L"ready"));
  ::Sleep(200);  // the listener's first wake (the event was handed over set) is behind us
  const ULONGLONG before = OwnCpuMs();
  ::Sleep(2000);
  const ULONGLONG used = OwnCpuMs() - before;
  SignalNamedEvent(StemEvent(stem, L"measured"));
  if (!server.WaitForItems(1, 10000)) return 1000000;
  SignalNamedEvent(StemEvent(stem, L"got0"));
  if (!server.WaitForItems(2, 10000)) return 2000000;
  const auto items = server.Items();
  if (items.size() != 2 || items[0].payload != "first" || items[1].payload != "second") return 3000000;
  return static_cast<int>(std::min<ULONGLONG>(used, 999999));
}

// args: queue, stem. A writer that holds the queue's mutex around a whole write and keeps
// it until <stem>_release; <stem>_written once the write returned. Exit code 0 when the
// write reported success.
SENTREL_CHILD(L"mutex-holding-writer", args) {
  const std::wstring stem = args.at(1);
  TestClient client;
  if (!client.Create(SMIPCTNG::kClient, args.at(0), kQueueSize)) return 1;
  UniqueKernelHandle mutex = TakeQueueMutex(args.at(0));
  if (!mutex) return 2;
  const bool written = client.Write(L"held", "held", 4);
  SignalNamedEvent(StemEvent(stem, L"written"));
  WaitNamedEvent(StemEvent(stem, L"release"), kChildWaitMs);
  ::ReleaseMutex(mutex.get());
  return written ? 0 : 3;
}

namespace {

// Test-side events of a child, created before the child starts.
struct ChildEvents {
  explicit ChildEvents(const std::wstring& stem, std::initializer_list<const wchar_t*> names) : stem(stem) {
    for (const wchar_t* name : names) handles.emplace_back(CreateTestEvent(StemEvent(stem, name)));
  }
  std::wstring stem;
  std::vector<UniqueKernelHandle> handles;
  bool Wait(const wchar_t* name, DWORD ms) const { return WaitNamedEvent(StemEvent(stem, name), ms); }
  void Set(const wchar_t* name) const { SignalNamedEvent(StemEvent(stem, name)); }
};

}  // namespace

namespace {

// The second half of a handover: Close has given up on the old server's listener, which
// waits for `releaseOld`. A new server process takes the queue; `client` writes "warm"
// and, while the new server is inside that delivery, "target"; then the old listener
// goes on and ends. The new server must receive both, each once. When
// `oldMayHoldTheMutex`, the old listener may keep the new server out until it goes on.
void ExpectTheNextServerToGetEveryItem(const std::wstring& queue, TestClient& client, HANDLE releaseOld,
                                       const NewLogLines& oldTerminated, bool oldMayHoldTheMutex) {
  ChildEvents events(UniqueName(L"next"), {L"ready", L"entered", L"gate", L"got0", L"got1", L"stop"});
  ChildProcess next = ChildProcess::Start(L"reporting-server", {queue, events.stem, L"warm", L"target"});
  ASSERT_TRUE(next.valid());
  bool ready = events.Wait(L"ready", oldMayHoldTheMutex ? 3000 : kChildWaitMs);
  if (!ready && oldMayHoldTheMutex) {
    ::SetEvent(releaseOld);
    ready = events.Wait(L"ready", kChildWaitMs);
  }
  ASSERT_TRUE(ready);
  ASSERT_TRUE(client.Write(L"c", "warm", 4));
  ASSERT_TRUE(events.Wait(L"entered", 10000));  // the new server is inside its drain
  ASSERT_TRUE(client.Write(L"c", "target", 6));

  ::SetEvent(releaseOld);
  EXPECT_TRUE(oldTerminated.WaitForCount(1, 10000));

  events.Set(L"gate");
  EXPECT_TRUE(events.Wait(L"got1", 10000)) << "the new server never received the announced item";
  events.Set(L"stop");
  DWORD exitCode = 0;
  ASSERT_TRUE(next.Wait(kChildWaitMs, &exitCode));
  EXPECT_EQ(0x3u, exitCode) << "warm and target, each once";
}

}  // namespace

// A listener that Close gave up on comes back from its receiver after a new server (in
// another process) took the queue, while that server is inside a drain and a client's
// write has announced one more item. The old listener must not take that announcement.
TEST(ChannelHandover, AListenerLeftBehindByCloseDoesNotTakeTheNextServersWakeUp) {
  UniqueKernelHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueKernelHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const std::wstring queue = UniqueName(L"Handover");

  auto* old = new StuckChannel(entered.get(), release.get());
  ASSERT_TRUE(old->Create(SMIPCTNG::kServer, queue, kQueueSize));
  TestClient client;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  ASSERT_TRUE(client.Write(L"c", "stuck", 5));
  ASSERT_TRUE(WaitEvent(entered.get(), 10000));
  NewLogLines terminated(L"SMIPCTNG::Write: threadListener terminated.");
  EXPECT_TRUE(old->Close());  // gives up on the stuck listener after about 3 s
  delete old;

  // The old listener returns from its receiver while the new server is in its drain.
  ExpectTheNextServerToGetEveryItem(queue, client, release.get(), terminated, false);
}

namespace {

// Makes one ResetEvent call of one thread stall until `release` is set: the listener
// losing the processor between its wake-up and its reset of the new-data event.
struct ResetStall {
  std::atomic<DWORD> thread{0};
  UniqueKernelHandle entered{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueKernelHandle release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<void*> original{nullptr};
};
// Lives as long as the process: a stalled listener may outlast a failed test.
ResetStall g_resetStall;

BOOL WINAPI StallingResetEvent(HANDLE event) {
  DWORD self = ::GetCurrentThreadId();
  if (g_resetStall.thread.compare_exchange_strong(self, 0)) {
    ::SetEvent(g_resetStall.entered.get());
    ::WaitForSingleObject(g_resetStall.release.get(), kChildWaitMs);
  }
  return reinterpret_cast<decltype(&::ResetEvent)>(g_resetStall.original.load())(event);
}

// A collecting server that remembers the thread its items arrive on.
class ListenerRecordingChannel : public CollectingChannel {
 public:
  ~ListenerRecordingChannel() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    listener = ::GetCurrentThreadId();
    CollectingChannel::OnNewData(std::move(items));
  }
  std::atomic<DWORD> listener{0};
};

}  // namespace

// The new-data event existed before the server (so its listener resets it after each
// wake). The listener wakes for a write and stalls before its reset; Close gives up on
// it; a new server process takes the queue and is inside a drain when a client announces
// one more item. The old listener's late reset must not wipe that announcement.
TEST(ChannelHandover, AStalledListenerDoesNotResetTheNextServersWakeUp) {
  const std::wstring queue = UniqueName(L"ResetRace");
  UniqueKernelHandle planted(::CreateEventW(GetOpenSecurityAttributes(), FALSE, FALSE, (L"Global\\Event_" + queue).c_str()));
  ASSERT_TRUE(planted);
  ResetStall& stall = g_resetStall;
  ImportHook hook("kernel32.dll", "ResetEvent", reinterpret_cast<void*>(&StallingResetEvent));
  ASSERT_TRUE(hook.installed());
  stall.original = hook.original();

  auto* old = new ListenerRecordingChannel;
  ASSERT_TRUE(old->Create(SMIPCTNG::kServer, queue, kQueueSize));
  TestClient client;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  ASSERT_TRUE(client.Write(L"c", "prime", 5));
  ASSERT_TRUE(old->WaitForItems(1, 10000));
  stall.thread = old->listener.load();
  ASSERT_TRUE(client.Write(L"c", "lost", 4));
  ASSERT_TRUE(WaitEvent(stall.entered.get(), 10000));
  NewLogLines terminated(L"SMIPCTNG::Write: threadListener terminated.");
  EXPECT_TRUE(old->Close());  // gives up on the stalled listener after about 3 s
  delete old;

  // The old listener makes its reset while the new server is in its drain.
  ExpectTheNextServerToGetEveryItem(queue, client, stall.release.get(), terminated, true);
}

// A writer in the middle of its append (it holds the queue's mutex and has read the
// header) when a new server process takes over an existing mapping: the server's reset
// must not fall between the writer's read and its write of the header, or the stale
// items the reset discards come back.
TEST(ChannelHandover, ANewServerResetsTheMappingOnlyUnderTheQueueMutex) {
  const std::wstring queue = UniqueName(L"ResetLock");
  TestClient client;  // keeps the mapping alive between the two servers
  {
    CollectingChannel first;
    ASSERT_TRUE(first.Create(SMIPCTNG::kServer, queue, kQueueSize));
    ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  }
  ASSERT_TRUE(client.Write(L"c", "stale", 5));  // no server: it stays in the mapping

  RawQueueView raw(queue);
  ASSERT_TRUE(raw.valid());
  UniqueKernelHandle mutex = TakeQueueMutex(queue);
  ASSERT_TRUE(mutex);
  const QueueLayout::QueueHeader seen = raw.header();  // the writer's read of the header
  ASSERT_EQ(1u, seen.itemCount);

  ChildEvents events(UniqueName(L"reset"), {L"ready", L"blocked", L"got2", L"stop"});
  ChildProcess next = ChildProcess::Start(L"reporting-server", {queue, events.stem, L"stale", L"fresh", L"after"});
  ASSERT_TRUE(next.valid());
  // The new server is inside Create and waits for the queue's mutex, which this writer
  // holds between its read and its write of the header. (A server that reset the mapping
  // without the mutex would never wait; the items below then show what that costs.)
  EXPECT_TRUE(events.Wait(L"blocked", kChildWaitMs))
      << "the new server never waited for the mutex held mid-append: the interleaving was not reached";

  // The writer finishes its append from the header it read, and lets go.
  QueueLayout::WriteHeader(raw.bytes(), seen);
  ASSERT_TRUE(raw.Append("fresh"));
  ::ReleaseMutex(mutex.get());

  ASSERT_TRUE(events.Wait(L"ready", kChildWaitMs));
  ASSERT_TRUE(client.Write(L"c", "after", 5));
  EXPECT_TRUE(events.Wait(L"got2", 10000));
  events.Set(L"stop");
  DWORD exitCode = 0;
  ASSERT_TRUE(next.Wait(kChildWaitMs, &exitCode));
  EXPECT_EQ(0u, exitCode & 0x1u) << "the stale item discarded by the new server came back";
  EXPECT_EQ(0x4u, exitCode & 0x0404u) << "the item written after the start arrives once";
  EXPECT_EQ(0u, exitCode & (1u << 16));
}

// Any local process may create the new-data event first, as a manual-reset event that is
// set. The server must stay idle without traffic and still receive every write.
TEST(ChannelHostileObjects, APlantedManualResetEventDoesNotMakeTheServerSpin) {
  const std::wstring queue = UniqueName(L"Planted");
  UniqueKernelHandle planted(
      ::CreateEventW(GetOpenSecurityAttributes(), TRUE, TRUE, (L"Global\\Event_" + queue).c_str()));
  ASSERT_TRUE(planted);

  ChildEvents events(UniqueName(L"idle"), {L"ready", L"measured", L"got0"});
  ChildProcess server = ChildProcess::Start(L"idle-cpu-server", {queue, events.stem});
  ASSERT_TRUE(server.valid());
  ASSERT_TRUE(events.Wait(L"ready", kChildWaitMs));
  TestClient client;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  ASSERT_TRUE(events.Wait(L"measured", kChildWaitMs));
  ASSERT_TRUE(client.Write(L"c", "first", 5));
  ASSERT_TRUE(events.Wait(L"got0", 10000));
  ASSERT_TRUE(client.Write(L"c", "second", 6));

  DWORD cpuMs = 0;
  ASSERT_TRUE(server.Wait(kChildWaitMs, &cpuMs));
  ASSERT_LT(cpuMs, 1000000u) << "a write was not delivered";
  EXPECT_LT(cpuMs, 200u) << "CPU milliseconds the server used in two idle seconds";
  std::printf("server CPU over two idle seconds: %lu ms\n", static_cast<unsigned long>(cpuMs));
}

namespace {

// The view that the code under test mapped last.
std::atomic<void*> g_lastView{nullptr};
std::atomic<void*> g_originalMapViewOfFile{nullptr};

LPVOID WINAPI RecordingMapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
  void* view = reinterpret_cast<decltype(&::MapViewOfFile)>(g_originalMapViewOfFile.load())(mapping, access, offsetHigh,
                                                                                             offsetLow, bytes);
  g_lastView = view;
  return view;
}

// True when every page of [view, view + size) is committed, so that a write cannot fault.
bool AllCommitted(const void* view, SIZE_T size) {
  const unsigned char* base = static_cast<const unsigned char*>(view);
  for (SIZE_T done = 0; done < size;) {
    MEMORY_BASIC_INFORMATION info = {};
    if (base == nullptr || ::VirtualQuery(base + done, &info, sizeof(info)) == 0 || info.State != MEM_COMMIT) return false;
    done = static_cast<SIZE_T>(static_cast<const unsigned char*>(info.BaseAddress) + info.RegionSize - base);
  }
  return true;
}

}  // namespace

// Any local process may create the mapping first with its pages only reserved
// (SEC_RESERVE): a write into such a page faults and ends the process that makes it.
// Server and client commit their view before they write to it.
TEST(ChannelHostileObjects, APlantedMappingOfReservedPagesIsCommittedBeforeUse) {
  const std::wstring queue = UniqueName(L"Reserved");
  UniqueKernelHandle planted(::CreateFileMappingW(INVALID_HANDLE_VALUE, GetOpenSecurityAttributes(),
                                                  PAGE_READWRITE | SEC_RESERVE, 0, static_cast<DWORD>(kQueueSize),
                                                  (L"Global\\" + queue).c_str()));
  ASSERT_TRUE(planted);
  ImportHook hook("kernel32.dll", "MapViewOfFile", reinterpret_cast<void*>(&RecordingMapViewOfFile));
  ASSERT_TRUE(hook.installed());
  g_originalMapViewOfFile = hook.original();

  CollectingChannel server;
  g_lastView = nullptr;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  EXPECT_TRUE(AllCommitted(g_lastView.load(), kQueueSize)) << "the server's view";
  TestClient client;
  g_lastView = nullptr;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  EXPECT_TRUE(AllCommitted(g_lastView.load(), kQueueSize)) << "the client's view";
  ASSERT_TRUE(client.Write(L"c", "reserved", 8));
  ASSERT_TRUE(server.WaitForItems(1, 10000));
  EXPECT_EQ("reserved", server.Items()[0].payload);
}

// The listener wakes for a write and waits for the queue's mutex, which the writer
// process still holds, while Close sets the stop flag. The item must end up delivered or
// still in the mapping, never taken out and dropped. The listener's and Close's waits
// are watched: the test shows that the listener got the mutex only after Close had
// begun to wait for it.
TEST(ChannelClose, CloseDuringADrainNeverDropsWhatWasTakenOut) {
  const std::wstring queue = UniqueName(L"CloseDrain");
  UniqueKernelHandle blocked(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueKernelHandle closeWaiting(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  WatchedWaits watch(blocked.get());
  ASSERT_TRUE(watch.installed());
  ListenerRecordingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  RawQueueView raw(queue);  // keeps the mapping for the look afterwards
  ASSERT_TRUE(raw.valid());
  // A first item names the listener's thread.
  TestClient client;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  ASSERT_TRUE(client.Write(L"c", "first", 5));
  ASSERT_TRUE(server.WaitForItems(1, 10000));
  watch.Watch(server.listener.load());

  ChildEvents events(UniqueName(L"hold"), {L"written", L"release"});
  ChildProcess writer = ChildProcess::Start(L"mutex-holding-writer", {queue, events.stem});
  ASSERT_TRUE(writer.valid());
  ASSERT_TRUE(events.Wait(L"written", kChildWaitMs));
  const bool listenerWaits = WaitEvent(blocked.get(), 10000);  // woken, it waits for the mutex
  std::thread closer([&server, &watch, &closeWaiting] {
    watch.WatchCloser(closeWaiting.get());
    server.Close();
  });
  const bool closeWaits = WaitEvent(closeWaiting.get(), 10000);  // the stop flag is set
  events.Set(L"release");
  closer.join();
  EXPECT_TRUE(listenerWaits) << "the listener never waited for the writer's mutex";
  EXPECT_TRUE(closeWaits) << "Close never waited for the listener";
  EXPECT_EQ(1, watch.takenAfterCloserWaited()) << "the listener got the mutex after Close began to wait";
  DWORD exitCode = 99;
  ASSERT_TRUE(writer.Wait(kChildWaitMs, &exitCode));
  EXPECT_EQ(0u, exitCode) << "the writer was told its item was written";

  const auto items = server.Items();
  const bool delivered = items.size() == 2 && items[1].payload == "held";
  const QueueLayout::QueueHeader header = raw.header();
  const bool stillQueued =
      header.itemCount == 1 &&
      std::string(reinterpret_cast<const char*>(raw.bytes()) + 16 + sizeof(QueueItemHeader), 4) == "held";
  EXPECT_TRUE(delivered != stillQueued) << "delivered " << delivered << ", still in the mapping " << stillQueued;
}

// A writer of another program raises the item count first and is killed before its item
// is whole (it leaves only the flag). The next writer appends behind the items that are
// whole, and the count then claims one item more than the next offset covers: there
// lies an old item of an earlier drain, whole. That drain must be dropped with its lines,
// the old item never delivered twice, and the next drain delivered.
TEST(ChannelHostileObjects, AnItemCountedByAWriterKilledMidWriteCostsOnlyItsDrain) {
  const std::wstring queue = UniqueName(L"Counted");
  CollectingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  TestClient client;
  ASSERT_TRUE(client.Create(SMIPCTNG::kClient, queue, kQueueSize));
  RawQueueView raw(queue);
  ASSERT_TRUE(raw.valid());
  {
    UniqueKernelHandle mutex = TakeQueueMutex(queue);  // both in one drain
    ASSERT_TRUE(mutex);
    ASSERT_TRUE(client.Write(L"c", "old1", 4));
    ASSERT_TRUE(client.Write(L"c", "old2", 4));
    ::ReleaseMutex(mutex.get());
  }
  ASSERT_TRUE(server.WaitForItems(2, 10000));

  NewLogLines dropped(L"SMIPCTNG::Read: NULL Item Property.");
  {
    UniqueKernelHandle mutex = TakeQueueMutex(queue);
    ASSERT_TRUE(mutex);
    QueueLayout::QueueHeader header = raw.header();
    ASSERT_EQ(0u, header.itemCount);
    header.itemCount = 1;
    QueueLayout::WriteHeader(raw.bytes(), header);
    std::memcpy(raw.bytes() + header.nextOffset, &QueueLayout::kItemFlag, 4);
    ::ReleaseMutex(mutex.get());
  }
  ASSERT_TRUE(client.Write(L"c", "new1", 4));
  EXPECT_TRUE(dropped.WaitForCount(1, 10000));
  ASSERT_TRUE(client.Write(L"c", "after", 5));
  ASSERT_TRUE(server.WaitForItems(3, 10000));
  // Drains come one after another: once a last item of its own drain has come, nothing
  // of the drains before it (an old item delivered again) can still come.
  ASSERT_TRUE(client.Write(L"c", "last", 4));
  ASSERT_TRUE(server.WaitForItems(4, 10000));
  std::vector<std::string> payloads;
  for (const auto& item : server.Items()) payloads.push_back(item.payload);
  EXPECT_EQ((std::vector<std::string>{"old1", "old2", "after", "last"}), payloads);
}

namespace {

// A receiver that reads each payload as UTF-16 text up to its NUL, as a text receiver
// does, and records how many characters it found (looking no further than `limit`).
class TextScanningChannel : public CollectingChannel {
 public:
  explicit TextScanningChannel(size_t limit) : limit_(limit) {}
  ~TextScanningChannel() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    for (const QueueItemHeader* item : items) {
      const wchar_t* text = reinterpret_cast<const wchar_t*>(ItemPayload(item));
      size_t length = 0;
      while (length < limit_ && text[length] != L'\0') ++length;
      lengths_.push_back(length);
    }
    CollectingChannel::OnNewData(std::move(items));
  }
  std::vector<size_t> lengths_;

 private:
  size_t limit_;
};

}  // namespace

// An item whose text has no NUL and fills the queue up to its last byte (another process
// also wrote the two bytes a write never touches): a receiver's scan for the NUL runs
// past the mapping's bytes into the private copy's slack, which must hold zeros.
TEST(ChannelHostileObjects, AScanPastTheMappingsBytesEndsInZeroedSlack) {
  const std::wstring queue = UniqueName(L"Slack");
  const size_t copySize = static_cast<size_t>(kQueueSize + kQueueSize / 5) + 1;
  {
    // Leave a block of the private copy's size behind in the heap, filled with non-zero
    // bytes, where the server's allocation is likely to land.
    std::unique_ptr<unsigned char[]> dirty(new unsigned char[copySize]);
    std::memset(dirty.get(), 0xCC, copySize);
  }
  const size_t textChars = (kQueueSize - 16 - sizeof(QueueItemHeader)) / 2;  // payload and the two last bytes
  TextScanningChannel server(textChars + 4096);
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  RawQueueView raw(queue);
  ASSERT_TRUE(raw.valid());
  UniqueKernelHandle mutex = TakeQueueMutex(queue);
  ASSERT_TRUE(mutex);
  ASSERT_TRUE(raw.Append(std::string(kQueueSize - 2 - 16 - sizeof(QueueItemHeader), 'A')));
  raw.bytes()[kQueueSize - 2] = 'A';
  raw.bytes()[kQueueSize - 1] = 'A';
  ::ReleaseMutex(mutex.get());
  SignalNamedEvent(L"Global\\Event_" + queue);

  ASSERT_TRUE(server.WaitForItems(1, 10000));
  ASSERT_EQ(1u, server.lengths_.size());
  EXPECT_EQ(textChars, server.lengths_[0]) << "the scan did not stop at the end of the copied bytes";
}

namespace {

class TypedEndpoint : public SMIPCPManager {
 public:
  ~TypedEndpoint() override { Close(); }
  void OnNewData(std::vector<const TypedItemHeader*>) override {}
};

}  // namespace

// Only 1 (server) and 2 (client) are types: any other is logged and Create fails, even
// when the queue exists; nothing written through such an object reaches the server.
TEST(ChannelCreate, ATypeOtherThanServerOrClientFails) {
  const std::wstring queue = UniqueName(L"BadType");
  CollectingChannel server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));
  for (int type : {0, 3, -1}) {
    NewLogLines invalid(L"SMIPCTNG::Create: Invalid Type (" + std::to_wstring(type) + L").");
    TestClient endpoint;
    EXPECT_FALSE(endpoint.Create(type, queue, kQueueSize)) << type;
    EXPECT_FALSE(endpoint.IsReady()) << type;
    EXPECT_EQ(1u, invalid.count()) << type;
    EXPECT_FALSE(endpoint.Write(L"c", "x", 1)) << type;
  }
  {
    NewLogLines invalid(L"SMIPCPManager::Create: Invalid Type (5).");
    TypedEndpoint typed;
    EXPECT_FALSE(typed.Create(5, UniqueName(L"BadTypedType"), kQueueSize));
    EXPECT_FALSE(typed.IsReady());
    EXPECT_EQ(1u, invalid.count());
  }
  ::Sleep(200);
  EXPECT_TRUE(server.Items().empty());
}
