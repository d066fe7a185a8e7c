#include "MalformedDoors.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "LogTail.h"
#include "common/ResourceMgr.h"
#include "common/UniqueHandle.h"
#include "ipc/GenericPacket.h"
#include "ipc/QueueLayout.h"
#include "log/Logger.h"
#include "plugins/IDTheftIpcListener.h"
#include "plugins/PluginHost.h"
#include "plugins/UserResponse.h"
#include "support/ChildProcess.h"
#include "support/GuardPageBuffer.h"
#include "support/ScratchFiles.h"

namespace campaign {
namespace malformed {

namespace {

namespace IDTheft = ExFilterDriver::IDTheft;

// The longest wait for the listener to hand over one queued item.
constexpr DWORD kItemWaitMs = 10000;
// One item at a time: room for the largest payload and its header.
constexpr unsigned long long kTypedQueueSize = 65536;

// ---------------------------------------------------------------------------------
// Faults

DoorTally* g_tally = nullptr;
const char* g_doorName = "";
// SENTREL_MALFORMED_VERBOSE: every problem on the output, not just the first one.
bool g_printProblems = false;

void ReportProblem(DoorTally& tally, LONG64 index, const std::string& text) {
  NoteProblem(tally, index, text);
  if (g_printProblems) {
    std::printf("%s %lld: %s\n", g_doorName, static_cast<long long>(index), text.c_str());
    std::fflush(stdout);
  }
}

bool IsFatalCode(DWORD code) {
  return code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW ||
         code == EXCEPTION_ILLEGAL_INSTRUCTION || code == EXCEPTION_INT_DIVIDE_BY_ZERO ||
         code == EXCEPTION_ARRAY_BOUNDS_EXCEEDED || code == EXCEPTION_IN_PAGE_ERROR || code == 0xC0000409u;
}

// Sees every exception first: a fault inside the guard page behind the current input is
// a read past that input's buffer. The exception then goes its way (and ends the child).
LONG CALLBACK NoteFault(EXCEPTION_POINTERS* info) {
  DoorTally* tally = g_tally;
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (tally == nullptr || record == nullptr || !IsFatalCode(record->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
  const ULONG_PTR address = record->NumberParameters >= 2 ? record->ExceptionInformation[1] : 0;
  tally->faultCode = static_cast<LONG64>(record->ExceptionCode);
  tally->faultAddress = address;
  if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && address >= tally->guardBegin &&
      address < tally->guardEnd) {
    ++tally->readsPastBuffer;
    if (tally->problemIndex < 0) {
      tally->problemIndex = tally->current;
      std::snprintf(tally->problem, sizeof(tally->problem), "read past the input's buffer (address %p)",
                    reinterpret_cast<void*>(address));
    }
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

// A crash ends the child at once with the exception's code, without a debugger or a
// dialog: the scenario counts it and goes on.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* info) {
  const DWORD code = info != nullptr && info->ExceptionRecord != nullptr ? info->ExceptionRecord->ExceptionCode : 1;
  ::TerminateProcess(::GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

// ---------------------------------------------------------------------------------
// Texts

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[12];
      std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(c));
      out += escaped;
    }
  }
  return out;
}

// The start of an input, printable, for a problem's description.
std::string Shown(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < 60; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
      out += escaped;
    }
  }
  if (bytes.size() > 60) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// ---------------------------------------------------------------------------------
// Outcomes

struct Outcome {
  enum Result { Accepted, RefusedWithLine, RefusedWithoutLine, Hung } result = Accepted;
  bool wrong = false;
  std::string problem;
};

// The lines of this process since the last call; lines that are not whole lines of the
// log's layout, or carry another process's id, are counted as broken (the log is this
// child's own, so any such line was made by an input).
std::vector<LogTail::Line> OwnLines(LogTail& tail, DoorTally& tally) {
  const DWORD self = ::GetCurrentProcessId();
  std::vector<LogTail::Line> own;
  for (LogTail::Line& line : tail.Take()) {
    if (line.wellFormed && line.pid == self) {
      own.push_back(std::move(line));
    } else {
      ++tally.brokenLines;
      ReportProblem(tally, tally.current, "a broken log line: " + Narrow(line.text.substr(0, 120)));
    }
  }
  return own;
}

bool HasLine(const std::vector<LogTail::Line>& lines, int minLevel, const std::wstring& prefix) {
  for (const LogTail::Line& line : lines) {
    if (line.level >= minLevel && StartsWith(line.text, prefix)) return true;
  }
  return false;
}

Outcome TextOutcome(bool accepted, bool refusalLine, const TextInput& input) {
  Outcome outcome;
  if (accepted) {
    outcome.result = Outcome::Accepted;
    if (input.expect == Expect::Refuse) {
      outcome.wrong = true;
      outcome.problem = "accepted, must be refused: " + Shown(input.bytes);
    }
    return outcome;
  }
  outcome.result = refusalLine ? Outcome::RefusedWithLine : Outcome::RefusedWithoutLine;
  if (!refusalLine) outcome.problem = "refused without its line: " + Shown(input.bytes);
  if (input.expect == Expect::Accept) {
    outcome.wrong = true;
    outcome.problem = "refused, must be accepted: " + Shown(input.bytes);
  }
  return outcome;
}

// ---------------------------------------------------------------------------------
// Doors

class Feeder {
 public:
  virtual ~Feeder() = default;
  // False, with the reason, when the door cannot be set up.
  virtual bool Ready(std::string* why) = 0;
  virtual Outcome Feed(uint64_t seed, uint64_t index, LogTail& tail, DoorTally& tally) = 0;
  virtual void Finish(DoorTally&) {}
};

class PacketFeeder : public Feeder {
 public:
  bool Ready(std::string*) override { return true; }
  Outcome Feed(uint64_t seed, uint64_t index, LogTail& tail, DoorTally& tally) override {
    const TextInput input = PacketInput(seed, index);
    GenericPacket packet;
    const bool accepted = packet.GetPacket(input.bytes);
    const std::vector<LogTail::Line> lines = OwnLines(tail, tally);
    return TextOutcome(accepted, HasLine(lines, LogLevel::Error, L"GenericPacket - GetPacket - "), input);
  }
};

class ResourceFileFeeder : public Feeder {
 public:
  explicit ResourceFileFeeder(const std::wstring& scratch)
      : path_(scratch + L"\\resource.json"), tempFolder_(scratch + L"\\tmp") {}

  bool Ready(std::string* why) override {
    // The copies go to TEMP: a folder of this scenario's own, so that any left behind are seen.
    if (!::CreateDirectoryW(tempFolder_.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      *why = "cannot create the temporary folder";
      return false;
    }
    if (_wputenv_s(L"TEMP", tempFolder_.c_str()) != 0) {
      *why = "cannot set TEMP";
      return false;
    }
    manager_.reset(new ResourceMgr(L"Global\\" + test_support::UniqueName(L"MalformedInputResources")));
    return true;
  }

  Outcome Feed(uint64_t seed, uint64_t index, LogTail& tail, DoorTally& tally) override {
    const TextInput input = ResourceFileInput(seed, index);
    if (!test_support::WriteBytes(path_, input.bytes)) {
      Outcome outcome;
      outcome.result = Outcome::RefusedWithoutLine;
      outcome.wrong = true;
      outcome.problem = "the input file could not be written";
      return outcome;
    }
    const bool accepted = manager_->Load(path_);
    const std::vector<LogTail::Line> lines = OwnLines(tail, tally);
    // The loader's own line, then the manager's; or the manager's line of a failed copy.
    const bool loadLine = HasLine(lines, LogLevel::Error, L"ResourceMgr - Failed to load " + path_) &&
                          (HasLine(lines, LogLevel::Error, L"JsonHelper Load") ||
                           HasLine(lines, LogLevel::Error, L"AllocateFileContent Exception."));
    const bool copyLine = HasLine(lines, LogLevel::Error, L"ResourceMgr - Load Retry - Failed to copy file " + path_);
    if (accepted) manager_->DeInit();
    return TextOutcome(accepted, loadLine || copyLine, input);
  }

  void Finish(DoorTally& tally) override {
    manager_.reset();
    tally.tempFilesLeft = static_cast<LONG64>(test_support::FilesIn(tempFolder_).size());
    if (tally.tempFilesLeft != 0) ReportProblem(tally, -1, "temporary copies left in TEMP");
  }

 private:
  std::wstring path_;
  std::wstring tempFolder_;
  std::unique_ptr<ResourceMgr> manager_;
};

// What reached the user-response entry.
struct EntryCalls {
  std::mutex mutex;
  int calls = 0;
  unsigned char block = 0;
  unsigned char modify = 0;
  std::wstring rule;
};
EntryCalls g_entry;

bool RecordResponse(unsigned char block, unsigned char modify, const std::wstring& rule) {
  std::lock_guard<std::mutex> lock(g_entry.mutex);
  ++g_entry.calls;
  g_entry.block = block;
  g_entry.modify = modify;
  g_entry.rule = rule;
  return true;
}

void ClearEntryCalls() {
  std::lock_guard<std::mutex> lock(g_entry.mutex);
  g_entry.calls = 0;
  g_entry.rule.clear();
}

// The identity-theft listener itself, which also reports each delivery it has handled.
class CountingListener : public IDTheft::IpcListener {
 public:
  CountingListener() : handled_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~CountingListener() override { Close(); }
  void OnNewData(std::vector<const TypedItemHeader*> items) override {
    IDTheft::IpcListener::OnNewData(std::move(items));
    ::SetEvent(handled_.get());
  }
  HANDLE handled() const { return handled_.get(); }

 private:
  UniqueKernelHandle handled_;
};

// The lines the listener writes for an item, in order.
std::vector<std::pair<int, std::wstring>> ExpectedLines(const TypedInput& item, const TypedVerdict& verdict) {
  const std::wstring empty = L"ExFilterDriver::OnNewData : empty Property.";
  const std::wstring response = L"ExFilterDriver::OnNewData - ITYPE_IDTHEFTEVENTMGR_NOTIFY_USER_RESPONSE";
  switch (verdict.kind) {
    case TypedVerdict::InvalidType:
      return {{LogLevel::Error, L"GetItemProperties: Invalid Item Type."}, {LogLevel::Error, empty}};
    case TypedVerdict::InvalidSize:
      return {{LogLevel::Error, L"GetItemProperties: Invalid Item Size."}, {LogLevel::Error, empty}};
    case TypedVerdict::InvalidFlag:
      return {{LogLevel::Error, L"GetItemProperties: Invalid Item Flag."}, {LogLevel::Error, empty}};
    case TypedVerdict::OtherCommand:
      return {{LogLevel::Error, L"ExFilterDriver::OnNewData - Invalid command " + std::to_wstring(item.type)}};
    case TypedVerdict::TooShort:
      return {{LogLevel::Always, response},
              {LogLevel::Error, L"ExFilterDriver::OnNewData - user response too short (" +
                                    std::to_wstring(static_cast<int>(item.size)) + L" bytes)."}};
    case TypedVerdict::Response:
      return {{LogLevel::Always, response},
              {LogLevel::Always, L"IDTheft_EventManagerSetUserResponse user response : rule " +
                                     IDTheft::RuleForLog(verdict.rule) + L" , block " +
                                     std::to_wstring(verdict.block) + L" , modify " + std::to_wstring(verdict.modify)}};
  }
  return {};
}

// Compares what the listener did with one item to what it is to do.
Outcome TypedOutcome(const TypedInput& item, const std::vector<LogTail::Line>& lines) {
  const TypedVerdict verdict = ExpectedVerdict(item);
  const std::vector<std::pair<int, std::wstring>> expected = ExpectedLines(item, verdict);
  bool linesMatch = lines.size() == expected.size();
  for (size_t i = 0; linesMatch && i < lines.size(); ++i)
    linesMatch = lines[i].level == expected[i].first && lines[i].text == expected[i].second;

  std::lock_guard<std::mutex> lock(g_entry.mutex);
  Outcome outcome;
  const std::string described = "type " + std::to_string(item.type) + ", flag " + std::to_string(item.flag) +
                                ", size " + std::to_string(item.size) + ", payload " + Shown(item.payload);
  if (verdict.kind == TypedVerdict::Response) {
    outcome.result = g_entry.calls > 0 ? Outcome::Accepted : Outcome::RefusedWithoutLine;
    const bool passedOn = g_entry.calls == 1 && g_entry.block == verdict.block &&
                          g_entry.modify == verdict.modify && g_entry.rule == verdict.rule;
    if (!passedOn || !linesMatch) {
      outcome.wrong = true;
      outcome.problem = std::string(passedOn ? "response logged wrongly: " : "response not passed on as sent: ") +
                        described;
    }
    return outcome;
  }
  if (g_entry.calls > 0) {
    outcome.result = Outcome::Accepted;
    outcome.wrong = true;
    outcome.problem = "passed on an item it must refuse: " + described;
    return outcome;
  }
  bool anyLine = false;
  for (const auto& line : expected) anyLine = anyLine || HasLine(lines, line.first, line.second);
  outcome.result = linesMatch ? Outcome::RefusedWithLine : Outcome::RefusedWithoutLine;
  if (!linesMatch) {
    outcome.problem = std::string(anyLine ? "refused with other lines than its own: " : "refused without its line: ") +
                      described;
    if (!lines.empty()) outcome.problem += " (logged: " + Narrow(lines.front().text.substr(0, 100)) + ")";
  }
  return outcome;
}

class TypedQueueFeeder : public Feeder {
 public:
  bool Ready(std::string* why) override {
    const std::wstring queue = test_support::UniqueName(L"MalformedInputTyped");
    if (!listener_.Create(SMIPCPManager::kServer, queue, kTypedQueueSize) ||
        !writer_.Create(SMIPCPManager::kClient, queue, kTypedQueueSize)) {
      *why = "cannot open the typed queue";
      return false;
    }
    IDTheft::SetUserResponseEntry(&RecordResponse);
    return true;
  }

  Outcome Feed(uint64_t seed, uint64_t index, LogTail& tail, DoorTally& tally) override {
    const TypedInput item = TypedQueueInput(seed, index);
    ClearEntryCalls();
    ::ResetEvent(listener_.handled());
    if (!writer_.Write(item.type, item.payload.data(), item.payload.size())) {
      Outcome outcome;
      outcome.result = Outcome::RefusedWithoutLine;
      outcome.wrong = true;
      outcome.problem = "the client could not write an item of " + std::to_string(item.payload.size()) + " bytes";
      return outcome;
    }
    if (::WaitForSingleObject(listener_.handled(), kItemWaitMs) != WAIT_OBJECT_0) {
      Outcome outcome;
      outcome.result = Outcome::Hung;
      outcome.problem = "the listener did not hand over an item within 10 s: type " + std::to_string(item.type);
      return outcome;
    }
    return TypedOutcome(item, OwnLines(tail, tally));
  }

  void Finish(DoorTally&) override {
    IDTheft::SetUserResponseEntry(nullptr);
    writer_.Close();
    listener_.Close();
  }

 private:
  CountingListener listener_;
  CountingListener writer_;  // used only as the queue's client
};

class UserResponseFeeder : public Feeder {
 public:
  bool Ready(std::string*) override {
    IDTheft::SetUserResponseEntry(&RecordResponse);
    return true;
  }

  Outcome Feed(uint64_t seed, uint64_t index, LogTail& tail, DoorTally& tally) override {
    const TypedInput item = UserResponseInput(seed, index);
    ClearEntryCalls();
    Outcome outcome;
    {
      // The whole item, its last payload byte right before the guard page.
      test_support::GuardPageBuffer buffer(sizeof(TypedItemHeader) + item.payload.size());
      if (!buffer.valid()) return SetupProblem("no guard-page buffer");
      TypedItemHeader header = QueueLayout::MakeTypedItemHeader(item.type, item.size, 1);
      header.flag = item.flag;
      std::memcpy(buffer.data(), &header, sizeof(header));
      if (!item.payload.empty()) std::memcpy(buffer.data() + sizeof(header), item.payload.data(), item.payload.size());
      Guard(buffer, tally);
      listener_.OnNewData({reinterpret_cast<const TypedItemHeader*>(buffer.data())});
      outcome = TypedOutcome(item, OwnLines(tail, tally));
    }
    {
      // The payload alone, cut to the size the header gives, decoded directly.
      const size_t size = static_cast<size_t>(std::min<uint64_t>(item.size, item.payload.size()));
      test_support::GuardPageBuffer payload(size);
      if (!payload.valid()) return SetupProblem("no guard-page buffer");
      if (size != 0) std::memcpy(payload.data(), item.payload.data(), size);
      Guard(payload, tally);
      IDTheft::UserResponse response;
      const bool decoded = IDTheft::DecodeUserResponse(payload.data(), size, &response);
      TypedInput cut = item;
      cut.flag = QueueLayout::kItemFlag;
      cut.type = 8;
      const TypedVerdict verdict = ExpectedVerdict(cut);
      const bool expectedDecoded = size >= 2;
      const bool same = decoded == expectedDecoded &&
                        (!decoded || (response.block == verdict.block && response.modify == verdict.modify &&
                                      response.rule == verdict.rule));
      if (!same && !outcome.wrong) {
        outcome.wrong = true;
        outcome.problem = "payload of " + std::to_string(size) + " bytes decoded wrongly: " + Shown(item.payload);
      }
    }
    tally.guardBegin = tally.guardEnd = 0;
    return outcome;
  }

  void Finish(DoorTally&) override { IDTheft::SetUserResponseEntry(nullptr); }

 private:
  static Outcome SetupProblem(const char* what) {
    Outcome outcome;
    outcome.result = Outcome::RefusedWithoutLine;
    outcome.wrong = true;
    outcome.problem = what;
    return outcome;
  }
  static void Guard(const test_support::GuardPageBuffer& buffer, DoorTally& tally) {
    SYSTEM_INFO info = {};
    ::GetSystemInfo(&info);
    tally.guardBegin = reinterpret_cast<ULONG_PTR>(buffer.data() + buffer.size());
    tally.guardEnd = tally.guardBegin + info.dwPageSize;
  }

  CountingListener listener_;  // never opened: its handling of items is called directly
};

std::unique_ptr<Feeder> MakeFeeder(Door door, const std::wstring& scratch) {
  switch (door) {
    case Door::Packet: return std::unique_ptr<Feeder>(new PacketFeeder());
    case Door::ResourceFile: return std::unique_ptr<Feeder>(new ResourceFileFeeder(scratch));
    case Door::TypedQueue: return std::unique_ptr<Feeder>(new TypedQueueFeeder());
    case Door::UserResponse: return std::unique_ptr<Feeder>(new UserResponseFeeder());
  }
  return nullptr;
}

}  // namespace

void NoteProblem(DoorTally& tally, LONG64 index, const std::string& text) {
  if (tally.problem[0] != '\0') return;
  tally.problemIndex = index;
  std::snprintf(tally.problem, sizeof(tally.problem), "%s", text.c_str());
}

int RunDoorChild(const ChildArgs& args) {
  UniqueKernelHandle mapping(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, args.tallyMapping.c_str()));
  if (!mapping) return kChildSetupFailed;
  UniqueMappedView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Tallies)));
  if (!view) return kChildSetupFailed;
  DoorTally& tally = static_cast<Tallies*>(view.get())->doors[static_cast<int>(args.door)];
  g_tally = &tally;
  g_doorName = DoorName(args.door);
  const char* verbose = std::getenv("SENTREL_MALFORMED_VERBOSE");
  g_printProblems = verbose != nullptr && *verbose != '\0' && *verbose != '0';
  PVOID handler = ::AddVectoredExceptionHandler(1, &NoteFault);
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  ::SetUnhandledExceptionFilter(&EndOnCrash);

  int result = kChildDone;
  {
    Logger& log = Logger::Instance();
    const std::wstring logPath = log.FilePath();
    wcsncpy(tally.logPath, logPath.c_str(), sizeof(tally.logPath) / sizeof(wchar_t) - 1);
    LogTail tail(logPath, log.MaxSize());
    std::unique_ptr<Feeder> feeder = MakeFeeder(args.door, args.scratch);
    std::string why;
    if (!log.IsEnabled() || !tail.valid()) {
      NoteProblem(tally, -1, "the child's log cannot be read back");
      result = kChildSetupFailed;
    } else if (!feeder || !feeder->Ready(&why)) {
      NoteProblem(tally, -1, "door not set up: " + why);
      result = kChildSetupFailed;
    } else {
      const ULONGLONG deadline = ::GetTickCount64() + args.budgetMs;
      const LONG64 movesBefore = tally.logMoves;
      for (uint64_t index = args.from; index < args.to; ++index) {
        if (::GetTickCount64() >= deadline) {
          tally.timedOut = 1;
          break;
        }
        OwnLines(tail, tally);  // whatever came before this input is not its own
        tally.current = static_cast<LONG64>(index);
        ++tally.inputs;
        const Outcome outcome = feeder->Feed(args.seed, index, tail, tally);
        switch (outcome.result) {
          case Outcome::Accepted: ++tally.accepted; break;
          case Outcome::RefusedWithLine: ++tally.refusedWithLine; break;
          case Outcome::RefusedWithoutLine: ++tally.refusedWithoutLine; break;
          case Outcome::Hung: ++tally.hangs; break;
        }
        if (outcome.wrong) ++tally.wrongVerdicts;
        if (!outcome.problem.empty()) ReportProblem(tally, static_cast<LONG64>(index), outcome.problem);
        tally.logMoves = movesBefore + tail.moves();
        tally.nextIndex = static_cast<LONG64>(index + 1);
        tally.current = -1;
        if (outcome.result == Outcome::Hung) {
          // The listener is stuck: the scenario goes on in a new child.
          result = kChildHung;
          break;
        }
      }
      if (result != kChildHung) feeder->Finish(tally);
    }
  }
  g_tally = nullptr;
  if (handler != nullptr) ::RemoveVectoredExceptionHandler(handler);
  return result;
}

}  // namespace malformed
}  // namespace campaign
