// Shared-memory queue throughput and latency against the bare primitives a write needs
// and against a named-pipe message of the same size.
//
//   bench_queue.exe                     runs everything and prints the figures and goals
//   bench_queue.exe --child ...         (internal) one writer process
//
// Every figure is measured by writer processes against a live queue server in this
// process, 256-byte payloads. Writers alternate rounds of different kinds and the goals
// are medians of ratios of neighbouring rounds, so that a slow spell of the machine
// (or of Wine's scheduling of the wineserver) weighs on both sides of a ratio alike:
//
//   paced rounds (one operation per ~1 ms, the queue idle in between)
//     primitives  the write's system calls on the queue's own objects: wait for and
//                 release "Global\Mutex_<q>", open "Global\Event_<q>", set it, close it.
//                 The queue's listener wakes and drains (an empty mapping) as for a write.
//     write       SMIPCTNG::Write; the listener stamps OnNewData for the latency.
//     path        the primitives of the write-to-OnNewData path: the write's primitives
//                 on the queue's mutex and a sibling event, one cross-process wake of a
//                 bare listener thread, its wait for and release of the queue's mutex.
//     pipe        WriteFile of a message-mode named pipe, a reader thread stamps it.
//   saturated rounds (back to back, a fixed time): 1 writer, 4 writers, the same with
//     the primitives alone (the ceiling the system calls leave), and the pipe.
//
// The figures count only work that was done: a queue write or pipe message that fails
// for any reason other than a full queue (in the paced rounds, for any reason at all)
// fails the run, and so does a server or pipe reader that did not receive exactly what
// the writers say they wrote. The goals are printed only once every run passed these
// checks.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "ipc/SMIPCTNG.h"

namespace {

constexpr unsigned long long kQueueSize = 20480;
constexpr size_t kPayload = 256;
constexpr int kMaxWriters = 4;
constexpr int kMaxRounds = 32;

// Paced round kinds; a bit each in a writer's kind mask.
enum PacedKind { kPrimitives, kWrite, kPath, kPipe, kPacedKinds };
const char* const kPacedKindNames[kPacedKinds] = {"primitives", "write", "path", "pipe"};
// Saturated round kinds.
enum SaturatedKind { kSatWrite, kSatPrimitives, kSatPipe, kSatQuit };

constexpr int kPacedRounds1 = 21;  // one writer: primitives, write, path, pipe
constexpr int kPacedRounds4 = 9;   // four writers: primitives, write
constexpr int kPacedOps = 40;      // operations of one kind per round and writer
constexpr int kSaturatedPairs = 5;
constexpr DWORD kSaturatedRoundMs = 400;

// Shared between this process and its writers; lives in a named mapping.
struct Control {
  volatile LONG stop;
  volatile LONG kind;
  // The path rounds' stamp, written under the queue's mutex, read by the bare listener.
  volatile long long pathStamp;
  volatile LONG pathRound;
  // Paced: the writer's median cost of one operation, per writer, kind and round (us).
  double cost[kMaxWriters][kPacedKinds][kMaxRounds];
  // Saturated: operations completed and full-queue answers in the last round.
  volatile long long count[kMaxWriters];
  volatile long long full[kMaxWriters];
  // Every run: writers that opened their objects and warmed up; queue items and pipe
  // messages written, and operations that failed for another reason than a full queue.
  volatile LONG ready;
  volatile long long written[kMaxWriters];
  volatile long long piped[kMaxWriters];
  volatile long long failed[kMaxWriters];
};

// What a queue item and a pipe message carry in front of their padding.
struct Stamp {
  long long ticks;
  int round;
  int paced;
};

long long Ticks() {
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

double TicksToMicros(long long ticks) {
  static const double frequency = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  return ticks * 1e6 / frequency;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index = static_cast<size_t>(p * (values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

double Median(const std::vector<double>& values) { return Percentile(values, 0.5); }

// Latencies in microseconds, kept per round so that rounds can be paired.
struct RoundSamples {
  std::vector<std::vector<double>> byRound = std::vector<std::vector<double>>(kMaxRounds);
  void Add(int round, double micros) {
    if (round >= 0 && round < kMaxRounds) byRound[round].push_back(micros);
  }
  std::vector<double> All() const {
    std::vector<double> all;
    for (const auto& r : byRound) all.insert(all.end(), r.begin(), r.end());
    return all;
  }
};

struct Names {
  std::wstring queue;      // SMIPCTNG queue name
  std::wstring pathQueue;  // same length; only its event is used, by the bare listener
  std::wstring Control() const { return L"Local\\" + queue + L"_ctl"; }
  std::wstring Start() const { return L"Local\\" + queue + L"_start"; }
  std::wstring Go(int i) const { return L"Local\\" + queue + L"_go" + std::to_wstring(i); }
  std::wstring Done(int i) const { return L"Local\\" + queue + L"_done" + std::to_wstring(i); }
  std::wstring Mutex() const { return L"Global\\Mutex_" + queue; }
  std::wstring Event() const { return L"Global\\Event_" + queue; }
  std::wstring PathEvent() const { return L"Global\\Event_" + pathQueue; }
  std::wstring Pipe() const { return L"\\\\.\\pipe\\" + queue; }
};

Names MakeNames(int run) {
  const std::wstring suffix = std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(run);
  return Names{L"BQ" + suffix, L"BP" + suffix};
}

class Client : public SMIPCTNG {
 public:
  ~Client() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*>) override {}
};

class Server : public SMIPCTNG {
 public:
  ~Server() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    const long long now = Ticks();
    for (const QueueItemHeader* item : items) {
      Stamp stamp;
      std::memcpy(&stamp, ItemPayload(item), sizeof(stamp));
      if (stamp.paced) latencies.Add(stamp.round, TicksToMicros(now - stamp.ticks));
    }
    received += items.size();
  }
  std::atomic<size_t> received{0};
  RoundSamples latencies;
};

// The write-to-OnNewData path with nothing of the queue in it: wake on an event, take
// and release the queue's mutex, stamp.
struct PathListener {
  HANDLE event = nullptr;
  HANDLE mutex = nullptr;
  Control* control = nullptr;
  std::atomic<bool> stop{false};
  RoundSamples latencies;
};
DWORD WINAPI PathListenerThread(void* p) {
  auto* listener = static_cast<PathListener*>(p);
  for (;;) {
    ::WaitForSingleObject(listener->event, INFINITE);
    if (listener->stop) return 0;
    ::WaitForSingleObject(listener->mutex, 250);
    const long long stamp = listener->control->pathStamp;
    const int round = listener->control->pathRound;
    ::ReleaseMutex(listener->mutex);
    listener->latencies.Add(round, TicksToMicros(Ticks() - stamp));
  }
}

// Reader of the message-mode pipe a writer writes to; ends when the writer closes it.
struct PipeReader {
  HANDLE pipe = nullptr;
  RoundSamples latencies;
  long long messages = 0;
};
DWORD WINAPI PipeReaderThread(void* p) {
  auto* reader = static_cast<PipeReader*>(p);
  if (!::ConnectNamedPipe(reader->pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return 1;
  unsigned char buffer[kPayload];
  DWORD read = 0;
  while (::ReadFile(reader->pipe, buffer, kPayload, &read, nullptr)) {
    Stamp stamp;
    std::memcpy(&stamp, buffer, sizeof(stamp));
    if (stamp.paced) reader->latencies.Add(stamp.round, TicksToMicros(Ticks() - stamp.ticks));
    ++reader->messages;
  }
  return 0;
}

// ---------------------------------------------------------------- writer process side

// The objects one writer uses, opened before the timed part.
struct WriterSide {
  Names names;
  Client client;
  UniqueKernelHandle mutex;
  UniqueKernelHandle controlMapping;
  UniqueMappedView controlView;
  Control* control = nullptr;
  UniqueKernelHandle pipe;
  unsigned char payload[kPayload] = {};

  bool Open(bool withPipe) {
    if (!client.Create(SMIPCTNG::kClient, names.queue, kQueueSize)) return false;
    mutex.reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, names.Mutex().c_str()));
    controlMapping.reset(::OpenFileMappingW(FILE_MAP_WRITE | FILE_MAP_READ, FALSE, names.Control().c_str()));
    if (!mutex || !controlMapping) return false;
    controlView.reset(::MapViewOfFile(controlMapping.get(), FILE_MAP_WRITE | FILE_MAP_READ, 0, 0, sizeof(Control)));
    control = static_cast<Control*>(controlView.get());
    if (control == nullptr) return false;
    if (withPipe) {
      pipe.reset(::CreateFileW(names.Pipe().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      if (!pipe) return false;
    }
    return true;
  }

  // Exactly what a write does besides the copy: mutex wait and release, then open, set
  // and close the named event.
  void Primitives(const std::wstring& eventName, long long stamp, int round) {
    ::WaitForSingleObject(mutex.get(), 250);
    if (round >= 0) {
      control->pathStamp = stamp;
      control->pathRound = round;
    }
    ::ReleaseMutex(mutex.get());
    UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
    if (event) ::SetEvent(event.get());
  }

  void Stamped(long long ticks, int round, bool paced) {
    const Stamp stamp{ticks, round, paced ? 1 : 0};
    std::memcpy(payload, &stamp, sizeof(stamp));
  }

  // One operation of a kind; false when it was not done (the queue answered "full", or
  // the write failed, which is counted in control->failed).
  bool Operation(int kind, int round, bool paced, int index, bool* full = nullptr) {
    const long long t0 = Ticks();
    if (full != nullptr) *full = false;
    switch (kind) {
      case kPrimitives:
        Primitives(names.Event(), t0, -1);
        return true;
      case kPath:
        Primitives(names.PathEvent(), t0, round);
        return true;
      case kPipe: {
        Stamped(t0, round, paced);
        DWORD written = 0;
        if (::WriteFile(pipe.get(), payload, kPayload, &written, nullptr) && written == kPayload) {
          ++control->piped[index];
          return true;
        }
        ++control->failed[index];
        return false;
      }
      default: {
        Stamped(t0, round, paced);
        bool queueFull = false;
        if (client.Write(L"bench", payload, kPayload, &queueFull)) {
          ++control->written[index];
          return true;
        }
        if (full != nullptr && queueFull) {
          *full = true;
        } else {
          ++control->failed[index];
        }
        return false;
      }
    }
  }

  void Ready() { ::InterlockedIncrement(&control->ready); }
};

// Paced writer: all rounds, kinds rotating so that no kind always comes first.
int RunPacedWriter(WriterSide& w, int index, int kindMask, int rounds) {
  std::vector<int> kinds;
  for (int k = 0; k < kPacedKinds; ++k)
    if (kindMask & (1 << k)) kinds.push_back(k);
  UniqueKernelHandle start(::OpenEventW(SYNCHRONIZE, FALSE, w.names.Start().c_str()));
  // Warm-up outside the timed part (the logger opens its file on the first write).
  for (int i = 0; i < 5; ++i)
    for (int kind : kinds) w.Operation(kind, kMaxRounds, false, index);
  w.Ready();
  if (!start || ::WaitForSingleObject(start.get(), 60000) != WAIT_OBJECT_0) return 1;
  std::vector<double> costs;
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < kinds.size(); ++k) {
      const int kind = kinds[(round + k) % kinds.size()];
      costs.clear();
      for (int i = 0; i < kPacedOps; ++i) {
        ::Sleep(1);
        const long long t0 = Ticks();
        w.Operation(kind, round, true, index);
        costs.push_back(TicksToMicros(Ticks() - t0));
      }
      w.control->cost[index][kind][round] = Median(costs);
    }
  }
  return 0;
}

// Saturated writer: each go runs the kind the control names until told to stop.
int RunSaturatedWriter(WriterSide& w, int index) {
  UniqueKernelHandle go(::OpenEventW(SYNCHRONIZE, FALSE, w.names.Go(index).c_str()));
  UniqueKernelHandle done(::OpenEventW(EVENT_MODIFY_STATE, FALSE, w.names.Done(index).c_str()));
  if (!go || !done) return 1;
  for (int i = 0; i < 5; ++i) w.Operation(kWrite, 0, false, index);
  w.Ready();
  for (;;) {
    if (::WaitForSingleObject(go.get(), 120000) != WAIT_OBJECT_0) return 1;
    const int kind = w.control->kind;
    if (kind == kSatQuit) return 0;
    const int op = kind == kSatPrimitives ? kPrimitives : kind == kSatPipe ? kPipe : kWrite;
    long long count = 0, full = 0;
    while (!w.control->stop) {
      bool queueFull = false;
      if (w.Operation(op, 0, false, index, &queueFull)) {
        ++count;
      } else if (queueFull) {
        // The queue is full until the listener's next drain: step aside for a moment
        // instead of spinning on the mutex the listener needs.
        ++full;
        ::Sleep(1);
      }
    }
    w.control->count[index] = count;
    w.control->full[index] = full;
    ::SetEvent(done.get());
  }
}

// ---------------------------------------------------------------- server process side

// This process's side of one run: the queue server, the bare path listener, the pipe
// reader, the shared control block, and the writer processes.
class Run {
 public:
  explicit Run(int id) : names_(MakeNames(id)) {}
  ~Run() { Stop(); }

  bool Start(int writers, const std::wstring& childArgs, bool withPipe) {
    controlMapping_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Control),
                                               names_.Control().c_str()));
    if (!controlMapping_) return false;
    controlView_.reset(::MapViewOfFile(controlMapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Control)));
    control_ = static_cast<Control*>(controlView_.get());
    if (control_ == nullptr) return false;
    std::memset(control_, 0, sizeof(Control));
    start_.reset(::CreateEventW(nullptr, TRUE, FALSE, names_.Start().c_str()));
    for (int i = 0; i < writers; ++i) {
      go_.emplace_back(::CreateEventW(nullptr, FALSE, FALSE, names_.Go(i).c_str()));
      done_.emplace_back(::CreateEventW(nullptr, FALSE, FALSE, names_.Done(i).c_str()));
    }
    if (!server_.Create(SMIPCTNG::kServer, names_.queue, kQueueSize)) return false;

    path_.mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, names_.Mutex().c_str());
    pathMutex_.reset(path_.mutex);
    pathEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, names_.PathEvent().c_str()));
    path_.event = pathEvent_.get();
    path_.control = control_;
    pathThread_.reset(::CreateThread(nullptr, 0, &PathListenerThread, &path_, 0, nullptr));
    if (withPipe) {
      pipe_.reset(::CreateNamedPipeW(names_.Pipe().c_str(), PIPE_ACCESS_INBOUND,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 64 * 1024, 0,
                                     nullptr));
      pipeReader_.pipe = pipe_.get();
      pipeThread_.reset(::CreateThread(nullptr, 0, &PipeReaderThread, &pipeReader_, 0, nullptr));
    }

    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (int i = 0; i < writers; ++i) {
      std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --child " + std::to_wstring(i) + L" " +
                                 names_.queue + L" " + names_.pathQueue + L" " + childArgs +
                                 (withPipe && i == 0 ? L" pipe" : L" nopipe");
      STARTUPINFOW startup = {};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION info = {};
      if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info))
        return false;
      ::CloseHandle(info.hThread);
      processes_.emplace_back(info.hProcess);
    }
    // The writers open their objects and warm up; a writer that ends meanwhile failed.
    const ULONGLONG deadline = ::GetTickCount64() + 60000;
    while (control_->ready < writers) {
      for (auto& process : processes_) {
        if (::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return false;
      }
      if (::GetTickCount64() >= deadline) return false;
      ::Sleep(10);
    }
    return true;
  }

  // Paced: lets the writers go and waits until they are through.
  bool RunPaced() {
    ::SetEvent(start_.get());
    return WaitWriters(60000);
  }

  // Saturated: `writers` writers run `kind` for a fixed time; operations per second. A
  // writer that does not report its count marks the run failed.
  double SaturatedRound(int kind, int writers, long long* fullAnswers) {
    control_->kind = kind;
    control_->stop = 0;
    const long long t0 = Ticks();
    for (int i = 0; i < writers; ++i) ::SetEvent(go_[i].get());
    ::Sleep(kSaturatedRoundMs);
    control_->stop = 1;
    const long long t1 = Ticks();
    long long count = 0;
    for (int i = 0; i < writers; ++i) {
      if (::WaitForSingleObject(done_[i].get(), 10000) != WAIT_OBJECT_0) unreported_ = true;
      count += control_->count[i];
      if (fullAnswers != nullptr) *fullAnswers += control_->full[i];
    }
    ::Sleep(20);  // the listener drains what is left
    return count / (TicksToMicros(t1 - t0) / 1e6);
  }

  bool QuitSaturated() {
    control_->kind = kSatQuit;
    for (auto& go : go_) ::SetEvent(go.get());
    return WaitWriters(10000);
  }

  // Once the writers have ended: the server received every item they wrote, the pipe
  // reader every message, no operation failed and every saturated round was reported.
  // Waits up to 10 s for the listener's last drains; empty when all held, else why.
  std::string Check() {
    long long written = 0, piped = 0, failed = 0;
    for (int i = 0; i < kMaxWriters; ++i) {
      written += control_->written[i];
      piped += control_->piped[i];
      failed += control_->failed[i];
    }
    const ULONGLONG deadline = ::GetTickCount64() + 10000;
    while (static_cast<long long>(server_.received) < written && ::GetTickCount64() < deadline) ::Sleep(10);
    if (pipeThread_) ::WaitForSingleObject(pipeThread_.get(), 10000);  // ends when the writer closes the pipe
    char why[200] = "";
    if (failed != 0) {
      std::snprintf(why, sizeof(why), "%lld writes failed for another reason than a full queue", failed);
    } else if (unreported_) {
      std::snprintf(why, sizeof(why), "a writer did not report the end of a saturated round");
    } else if (static_cast<long long>(server_.received) != written) {
      std::snprintf(why, sizeof(why), "the server received %lld items of the %lld written",
                    static_cast<long long>(server_.received), written);
    } else if (pipeReader_.messages != piped) {
      std::snprintf(why, sizeof(why), "the pipe reader received %lld messages of the %lld written",
                    pipeReader_.messages, piped);
    }
    return why;
  }

  // Ends the listeners so that their samples can be read.
  void Stop() {
    for (auto& process : processes_) ::WaitForSingleObject(process.get(), 10000);
    processes_.clear();
    server_.Close();
    if (pathThread_) {
      path_.stop = true;
      ::SetEvent(path_.event);
      ::WaitForSingleObject(pathThread_.get(), 3000);
      pathThread_.reset();
    }
    if (pipeThread_) {
      ::WaitForSingleObject(pipeThread_.get(), 3000);
      pipeThread_.reset();
    }
  }

  const Control& control() const { return *control_; }
  const RoundSamples& writeLatencies() const { return server_.latencies; }
  const RoundSamples& pathLatencies() const { return path_.latencies; }
  const RoundSamples& pipeLatencies() const { return pipeReader_.latencies; }

 private:
  bool WaitWriters(DWORD ms) {
    bool ok = true;
    for (auto& process : processes_) {
      DWORD code = 1;
      ok = ::WaitForSingleObject(process.get(), ms) == WAIT_OBJECT_0 && ::GetExitCodeProcess(process.get(), &code) &&
           code == 0 && ok;
    }
    return ok;
  }

  Names names_;
  UniqueKernelHandle controlMapping_;
  UniqueMappedView controlView_;
  Control* control_ = nullptr;
  UniqueKernelHandle start_;
  std::vector<UniqueKernelHandle> go_, done_;
  Server server_;
  PathListener path_;
  UniqueKernelHandle pathMutex_, pathEvent_, pathThread_;
  PipeReader pipeReader_;
  UniqueKernelHandle pipe_, pipeThread_;
  std::vector<UniqueKernelHandle> processes_;
  bool unreported_ = false;
};

// Prints why `run` failed its checks (Run::Check); true when it passed them.
bool Passed(Run& run, const char* name) {
  const std::string why = run.Check();
  if (!why.empty()) std::printf("%s: %s\n", name, why.c_str());
  return why.empty();
}

// Per-round medians of one kind for writer `w`, rounds [0, rounds).
std::vector<double> Costs(const Control& control, int w, int kind, int rounds) {
  return std::vector<double>(control.cost[w][kind], control.cost[w][kind] + rounds);
}

std::vector<double> RoundMedians(const RoundSamples& samples, int rounds) {
  std::vector<double> medians;
  for (int r = 0; r < rounds; ++r) medians.push_back(Median(samples.byRound[r]));
  return medians;
}

// Median of a[i] / b[i] over the rounds where both were measured.
double MedianRatio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> ratios;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (a[i] > 0 && b[i] > 0) ratios.push_back(a[i] / b[i]);
  return Median(ratios);
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  // --child <index> <queue> <pathQueue> paced <kindMask> <rounds> <pipe|nopipe>
  // --child <index> <queue> <pathQueue> saturated <pipe|nopipe>
  if (argv != nullptr && argc >= 7 && std::wstring(argv[1]) == L"--child") {
    WriterSide w;
    const int index = _wtoi(argv[2]);
    w.names = Names{argv[3], argv[4]};
    const bool paced = std::wstring(argv[5]) == L"paced";
    if (!w.Open(std::wstring(argv[argc - 1]) == L"pipe")) return 1;
    if (paced && argc == 9) return RunPacedWriter(w, index, _wtoi(argv[6]), _wtoi(argv[7]));
    return RunSaturatedWriter(w, index);
  }

  // Paced, one writer: primitives, write, path and pipe rounds.
  const int allKinds = (1 << kPrimitives) | (1 << kWrite) | (1 << kPath) | (1 << kPipe);
  std::vector<double> prim1, write1, lat1, path1, pipe1, pipeWrite1;
  double p99One = 0, pipeP99 = 0;
  {
    Run run(1);
    if (!run.Start(1, L"paced " + std::to_wstring(allKinds) + L" " + std::to_wstring(kPacedRounds1), true) ||
        !run.RunPaced()) {
      std::printf("paced run with 1 writer failed\n");
      return 1;
    }
    if (!Passed(run, "paced run with 1 writer")) return 1;
    run.Stop();
    prim1 = Costs(run.control(), 0, kPrimitives, kPacedRounds1);
    write1 = Costs(run.control(), 0, kWrite, kPacedRounds1);
    pipeWrite1 = Costs(run.control(), 0, kPipe, kPacedRounds1);
    lat1 = RoundMedians(run.writeLatencies(), kPacedRounds1);
    path1 = RoundMedians(run.pathLatencies(), kPacedRounds1);
    pipe1 = RoundMedians(run.pipeLatencies(), kPacedRounds1);
    p99One = Percentile(run.writeLatencies().All(), 0.99);
    pipeP99 = Percentile(run.pipeLatencies().All(), 0.99);
  }
  // Paced, four writers: primitives and write rounds.
  std::vector<double> prim4, write4;
  double p50Four = 0, p99Four = 0;
  {
    const int kinds = (1 << kPrimitives) | (1 << kWrite);
    Run run(4);
    if (!run.Start(4, L"paced " + std::to_wstring(kinds) + L" " + std::to_wstring(kPacedRounds4), false) ||
        !run.RunPaced()) {
      std::printf("paced run with 4 writers failed\n");
      return 1;
    }
    if (!Passed(run, "paced run with 4 writers")) return 1;
    run.Stop();
    for (int w = 0; w < 4; ++w) {
      const std::vector<double> p = Costs(run.control(), w, kPrimitives, kPacedRounds4);
      const std::vector<double> c = Costs(run.control(), w, kWrite, kPacedRounds4);
      prim4.insert(prim4.end(), p.begin(), p.end());
      write4.insert(write4.end(), c.begin(), c.end());
    }
    p50Four = Percentile(run.writeLatencies().All(), 0.5);
    p99Four = Percentile(run.writeLatencies().All(), 0.99);
  }
  // Saturated: 4 writer processes kept alive; 1 or 4 of them run in each round.
  std::vector<double> sat1, sat4, satPrim1, satPrim4, satPipe;
  long long full1 = 0, full4 = 0;
  {
    Run run(5);
    if (!run.Start(4, L"saturated", true)) {
      std::printf("saturated run failed to start\n");
      return 1;
    }
    for (int pair = 0; pair < kSaturatedPairs; ++pair) {
      // Alternate which side of each pair goes first.
      if (pair % 2 == 0) {
        sat1.push_back(run.SaturatedRound(kSatWrite, 1, &full1));
        sat4.push_back(run.SaturatedRound(kSatWrite, 4, &full4));
        satPrim1.push_back(run.SaturatedRound(kSatPrimitives, 1, nullptr));
        satPrim4.push_back(run.SaturatedRound(kSatPrimitives, 4, nullptr));
      } else {
        sat4.push_back(run.SaturatedRound(kSatWrite, 4, &full4));
        sat1.push_back(run.SaturatedRound(kSatWrite, 1, &full1));
        satPrim4.push_back(run.SaturatedRound(kSatPrimitives, 4, nullptr));
        satPrim1.push_back(run.SaturatedRound(kSatPrimitives, 1, nullptr));
      }
      satPipe.push_back(run.SaturatedRound(kSatPipe, 1, nullptr));
    }
    if (!run.QuitSaturated()) {
      std::printf("saturated run: a writer failed\n");
      return 1;
    }
    if (!Passed(run, "saturated run")) return 1;
  }

  std::printf("paced, 1 writer process, %d rounds of %d operations per kind, medians of per-round medians:\n",
              kPacedRounds1, kPacedOps);
  std::printf("  primitives per write (mutex wait+release, event open+set+close on the queue's objects): %.2f us\n",
              Median(prim1));
  std::printf("  queue write: %.2f us\n", Median(write1));
  std::printf("  path primitives (write's primitives + event wake + listener's mutex wait+release): %.2f us\n",
              Median(path1));
  std::printf("  queue write-to-OnNewData latency: p50 %.1f us, p99 %.1f us (all samples)\n", Median(lat1), p99One);
  std::printf("  named pipe: write %.2f us, write-to-read latency p50 %.1f us, p99 %.1f us\n", Median(pipeWrite1),
              Median(pipe1), pipeP99);
  std::printf("paced, 4 writer processes, %d rounds: primitives %.2f us, queue write %.2f us (median ratio %.2f), "
              "latency p50 %.1f us, p99 %.1f us\n",
              kPacedRounds4, Median(prim4), Median(write4), MedianRatio(write4, prim4), p50Four, p99Four);
  std::printf("saturated, %d alternating rounds of %lu ms, medians:\n", kSaturatedPairs,
              static_cast<unsigned long>(kSaturatedRoundMs));
  std::printf("  queue 1 writer:  %.0f items/s (%lld full answers in all rounds)\n", Median(sat1), full1);
  std::printf("  queue 4 writers: %.0f items/s (%lld full answers in all rounds)\n", Median(sat4), full4);
  std::printf("  primitives alone, 1 process: %.0f /s, 4 processes: %.0f /s, median ratio %.2f "
              "(the most the write's system calls allow)\n",
              Median(satPrim1), Median(satPrim4), MedianRatio(satPrim4, satPrim1));
  std::printf("  named pipe 1 writer: %.0f messages/s\n", Median(satPipe));

  std::printf("goal write-vs-primitives: %.2f (target <= 1.1)\n", MedianRatio(write1, prim1));
  std::printf("goal latency-p50-vs-primitives: %.2f (target <= 1.2)\n", MedianRatio(lat1, path1));
  std::printf("goal four-writers-vs-one: %.2f (target >= 2)\n", MedianRatio(sat4, sat1));
  return 0;
}
