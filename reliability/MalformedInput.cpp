// Scenario 7, malformed input at every door: generic packets, resource.json files and
// typed items of the identity-theft listener (queued by a client, and placed against a
// guard page), from a hand-made and a fuzzed corpus per door. Every input must be
// accepted or refused with its log line, without a crash and without a read past its
// buffer.
//
// The inputs are fed by child processes (this program again, copied under a name of its
// own so that the child writes a log nobody else writes), one door at a time: a crash
// or a hang ends only the child, the scenario counts it at the input that was being
// fed and goes on with a new child after it. The seed is printed; setting
// SENTREL_MALFORMED_SEED to it makes the same inputs again, and setting
// SENTREL_MALFORMED_VERBOSE to 1 prints every problem, not just the first of each door.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "MalformedCorpus.h"
#include "MalformedDoors.h"
#include "Scenario.h"
#include "common/UniqueHandle.h"
#include "log/LoggerConfig.h"
#include "support/ChildProcess.h"
#include "support/ScratchFiles.h"

// args: door, seed, first index, end index, tally mapping, scratch folder, budget (ms).
SENTREL_CHILD(L"malformed-input", args) {
  using namespace campaign::malformed;
  if (args.size() != 7) return kChildSetupFailed;
  ChildArgs child;
  std::string door;
  for (wchar_t c : args[0]) door.push_back(static_cast<char>(c));
  if (!DoorFromName(door, &child.door)) return kChildSetupFailed;
  child.seed = _wcstoui64(args[1].c_str(), nullptr, 10);
  child.from = _wcstoui64(args[2].c_str(), nullptr, 10);
  child.to = _wcstoui64(args[3].c_str(), nullptr, 10);
  child.tallyMapping = args[4];
  child.scratch = args[5];
  child.budgetMs = static_cast<DWORD>(_wcstoui64(args[6].c_str(), nullptr, 10));
  return RunDoorChild(child);
}

namespace campaign {

namespace {

using namespace malformed;

// A child that crashes again and again is given up on after this many new starts.
constexpr int kMostRestarts = 25;
// How long one input may take before its child counts as hung and is ended.
constexpr ULONGLONG kStuckInputMs = 30000;
// How long a child may take beyond its budget to end.
constexpr ULONGLONG kChildGraceMs = 30000;

struct DoorPlan {
  Door door;
  uint64_t inputs;
};

// What the scenario itself saw of a door's children.
struct DoorRun {
  LONG64 crashes = 0;
  LONG64 killed = 0;  // children that outlived their budget and grace
  double seconds = 0;
  std::string setupError;
};

uint64_t ChooseSeed() {
  const char* given = std::getenv("SENTREL_MALFORMED_SEED");
  if (given != nullptr && *given != '\0') return _strtoui64(given, nullptr, 0);
  LARGE_INTEGER counter = {};
  ::QueryPerformanceCounter(&counter);
  return (static_cast<uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15ull) ^ ::GetCurrentProcessId() ^
         (static_cast<uint64_t>(::GetTickCount64()) << 32);
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Number(long long value) { return std::to_string(value); }

// Runs the door's inputs [0, plan.inputs) in as many children as crashes and hangs make it take.
DoorRun RunDoor(const DoorPlan& plan, uint64_t seed, const std::wstring& program, const std::wstring& mappingName,
                const std::wstring& scratch, DWORD budgetMs, DoorTally& tally) {
  DoorRun run;
  const ULONGLONG started = ::GetTickCount64();
  const ULONGLONG deadline = started + budgetMs;
  uint64_t from = 0;
  int restarts = 0;
  while (from < plan.inputs) {
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) {
      tally.timedOut = 1;
      break;
    }
    const DWORD left = static_cast<DWORD>(deadline - now);
    std::wstring commandLine = test_support::QuoteArgument(program) + L" --child=malformed-input";
    const std::string door = DoorName(plan.door);
    const std::vector<std::wstring> args = {
        std::wstring(door.begin(), door.end()), std::to_wstring(seed), std::to_wstring(from),
        std::to_wstring(plan.inputs), mappingName, scratch, std::to_wstring(left)};
    for (const std::wstring& arg : args) commandLine += L" " + test_support::QuoteArgument(arg);
    test_support::ChildProcess child = test_support::ChildProcess::StartCommandLine(commandLine);
    if (!child.valid()) {
      run.setupError = "cannot start the child process";
      break;
    }
    // Watched while it runs: a child whose input count stands still for too long is hung.
    DWORD exitCode = 0;
    bool ended = false;
    LONG64 lastInputs = -1;
    ULONGLONG lastProgress = ::GetTickCount64();
    for (;;) {
      if (child.Wait(500, &exitCode)) {
        ended = true;
        break;
      }
      const ULONGLONG at = ::GetTickCount64();
      if (tally.inputs != lastInputs) {
        lastInputs = tally.inputs;
        lastProgress = at;
      }
      if (at - lastProgress > kStuckInputMs || at > deadline + kChildGraceMs) break;
    }
    if (!ended) {
      child.Kill();
      child.Wait(10000);
      ++run.killed;
      const LONG64 at = tally.current >= 0 ? tally.current : tally.nextIndex;
      NoteProblem(tally, at, "the child did not end in time (hung at this input)");
      from = static_cast<uint64_t>(at) + 1;
    } else if (exitCode == kChildDone) {
      break;
    } else if (exitCode == kChildSetupFailed) {
      run.setupError = tally.problem[0] != '\0' ? tally.problem : "the child could not set the door up";
      break;
    } else if (exitCode == kChildHung) {
      from = static_cast<uint64_t>(tally.nextIndex);
    } else {
      ++run.crashes;
      const LONG64 at = tally.current >= 0 ? tally.current : tally.nextIndex;
      char text[160];
      std::snprintf(text, sizeof(text), "crash, exit code 0x%08lX (last fault 0x%08llX at %p)",
                    static_cast<unsigned long>(exitCode), static_cast<unsigned long long>(tally.faultCode),
                    reinterpret_cast<void*>(tally.faultAddress));
      NoteProblem(tally, at, text);
      tally.current = -1;
      from = static_cast<uint64_t>(at) + 1;
    }
    if (++restarts > kMostRestarts) {
      run.setupError = "gave up after " + Number(kMostRestarts) + " new children";
      break;
    }
  }
  run.seconds = (::GetTickCount64() - started) / 1000.0;
  return run;
}

// The child's log folder "<Logs>\<name>", named after the copied program, with its
// archives. The compression tool may still be writing one: try for a while.
void RemoveChildLogs(const std::wstring& logPath, const std::wstring& programName) {
  const size_t slash = logPath.find_last_of(L'\\');
  if (slash == std::wstring::npos) return;
  const std::wstring folder = logPath.substr(0, slash);
  const size_t parent = folder.find_last_of(L'\\');
  if (parent == std::wstring::npos || folder.substr(parent + 1) != programName) return;
  for (int attempt = 0; attempt < 30; ++attempt) {
    test_support::DeleteTree(folder);
    if (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    ::Sleep(500);
  }
}

}  // namespace

ScenarioResult RunMalformedInput(const ScenarioScale& scale) {
  ScenarioResult result;
  result.name = "malformed input";
  result.verdict = Verdict::Pass;
  result.lost = "none";

  const uint64_t seed = ChooseSeed();
  const int shortFuzzed = 200;
  // Full form: tens of thousands per door, a few minutes in all (the resource files are
  // the slow door: a copy, a parse and a delete each). Short form: the hand-made corpus
  // and a couple of hundred fuzzed inputs.
  auto count = [&](Door door, int full) {
    return static_cast<uint64_t>(scale.Pick(full, static_cast<int>(HandMadeCount(door)) + shortFuzzed));
  };
  const DoorPlan plans[kDoorCount] = {
      {Door::Packet, count(Door::Packet, 100000)},
      {Door::ResourceFile, count(Door::ResourceFile, 20000)},
      {Door::TypedQueue, count(Door::TypedQueue, 50000)},
      {Door::UserResponse, count(Door::UserResponse, 60000)},
  };
  const DWORD budgetMs = static_cast<DWORD>(scale.Pick(240000, 90000));
  result.faults = "hand-made + fuzzed corpora, seed " + Hex(seed);
  result.load = "packets " + Number(plans[0].inputs) + ", resource files " + Number(plans[1].inputs) +
                ", typed items " + Number(plans[2].inputs) + " queued + " + Number(plans[3].inputs) +
                " against a guard page";
  result.Figure("malformed-seed", Hex(seed));

  test_support::ScratchFolder scratch(L"malformed");
  const std::wstring programName = test_support::UniqueName(L"MalformedInput");
  const std::wstring program = scratch / (programName + L".exe");
  const std::wstring mappingName = test_support::UniqueName(L"Local\\MalformedInputTallies");
  UniqueKernelHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  static_cast<DWORD>(sizeof(Tallies)), mappingName.c_str()));
  UniqueMappedView view(mapping ? ::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Tallies)) : nullptr);
  if (!::CopyFileW(test_support::SelfPath().c_str(), program.c_str(), FALSE) || !view) {
    result.Fail("setup: cannot copy the program or map the tallies");
    return result;
  }
  Tallies& tallies = *static_cast<Tallies*>(view.get());
  for (DoorTally& tally : tallies.doors) {
    tally.current = -1;
    tally.problemIndex = -1;
  }

  LONG64 total = 0, accepted = 0, withLine = 0, withoutLine = 0, crashes = 0, pastBuffer = 0, logMoves = 0;
  for (const DoorPlan& plan : plans) {
    DoorTally& tally = tallies.doors[static_cast<int>(plan.door)];
    const DoorRun run = RunDoor(plan, seed, program, mappingName, scratch.path(), budgetMs, tally);
    const std::string door = DoorName(plan.door);
    const LONG64 doorCrashes = run.crashes;
    const LONG64 hangs = tally.hangs + run.killed;
    result.Figure("malformed-" + door + "-inputs", tally.inputs);
    result.Figure("malformed-" + door + "-accepted", tally.accepted);
    result.Figure("malformed-" + door + "-refused-with-line", tally.refusedWithLine);
    result.Figure("malformed-" + door + "-refused-without-line", tally.refusedWithoutLine);
    result.Figure("malformed-" + door + "-crashes", doorCrashes);
    result.Figure("malformed-" + door + "-hangs", hangs);
    result.Figure("malformed-" + door + "-reads-past-buffer", tally.readsPastBuffer);
    result.Figure("malformed-" + door + "-wrong-handling", tally.wrongVerdicts);
    result.Figure("malformed-" + door + "-broken-log-lines", tally.brokenLines);
    if (plan.door == Door::ResourceFile) result.Figure("malformed-" + door + "-temp-copies-left", tally.tempFilesLeft);
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.1f", run.seconds);
    result.Figure("malformed-" + door + "-seconds", seconds);

    total += tally.inputs;
    accepted += tally.accepted;
    withLine += tally.refusedWithLine;
    withoutLine += tally.refusedWithoutLine;
    crashes += doorCrashes;
    pastBuffer += tally.readsPastBuffer;
    logMoves += tally.logMoves;

    const std::string where = tally.problemIndex >= 0
                                  ? " (input " + Number(tally.problemIndex) + ", seed " + Hex(seed) + ")"
                                  : std::string();
    if (!run.setupError.empty()) {
      result.Fail(door + ": " + run.setupError);
    } else if (doorCrashes != 0 || hangs != 0 || tally.readsPastBuffer != 0 || tally.refusedWithoutLine != 0 ||
               tally.wrongVerdicts != 0 || tally.brokenLines != 0 || tally.tempFilesLeft != 0) {
      result.Fail(door + ": " + tally.problem + where);
    } else if (tally.timedOut != 0 || static_cast<uint64_t>(tally.inputs) < plan.inputs) {
      result.Fail(door + ": time budget reached after " + Number(tally.inputs) + " of " + Number(plan.inputs) +
                  " inputs");
    }
  }
  // The lines were read across this many moves of the child's full log to an archive.
  result.Figure("malformed-log-files-moved", logMoves);
  result.result = Number(total) + " inputs: " + Number(accepted) + " accepted, " + Number(withLine) +
                  " refused with line, " + Number(withoutLine) + " without, " + Number(crashes) + " crashes, " +
                  Number(pastBuffer) + " reads past buffer";

  // The child's log and the logger settings key that its first log line wrote.
  for (const DoorTally& tally : tallies.doors) {
    if (tally.logPath[0] != L'\0') {
      RemoveChildLogs(tally.logPath, programName);
      break;
    }
  }
  ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(LoggerConfig::KeyPrefix()) + programName).c_str());
  return result;
}

}  // namespace campaign
