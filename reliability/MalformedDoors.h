// The child-process side of the malformed-input scenario: feeds one door the inputs
// of its corpus, one at a time, and reads back the log lines of each input to tell an
// acceptance from a refusal with its line and a refusal without one.
//
// The counts live in a file mapping that the scenario made, so that they outlast a
// crash of the child: the scenario then knows which input was being fed, counts the
// crash and starts a new child after it. Inputs that the API takes as a buffer lie
// against an inaccessible page; a fault inside that page is counted as a read past the
// buffer before the process goes down.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "MalformedCorpus.h"

namespace campaign {
namespace malformed {

// The counts of one door, in memory shared between the scenario and its children.
// Written by one child at a time, read by the scenario once the child has ended.
struct DoorTally {
  LONG64 inputs;
  LONG64 accepted;
  LONG64 refusedWithLine;
  LONG64 refusedWithoutLine;
  LONG64 wrongVerdicts;     // a hand-made input's expectation, or the listener's expected handling, not met
  LONG64 brokenLines;       // lines that are not whole lines of this process's log
  LONG64 readsPastBuffer;   // faults inside the guard page behind an input
  LONG64 hangs;             // inputs the door did not answer within its wait
  LONG64 current;           // the input being fed; -1 between inputs
  LONG64 nextIndex;         // the first input not fed yet
  LONG64 timedOut;          // the child stopped at its time budget
  LONG64 tempFilesLeft;     // temporary copies left behind by the resource door
  LONG64 logMoves;          // times the child's log was moved aside while its lines were read
  LONG64 problemIndex;      // the input of the first problem; -1 when none
  LONG64 faultCode;         // the last fatal-looking exception seen, for a crash's detail
  ULONG_PTR faultAddress;
  ULONG_PTR guardBegin;     // the inaccessible page behind the current input
  ULONG_PTR guardEnd;
  char problem[600];        // the first problem, in words
  wchar_t logPath[520];     // the child's log file
};

// The mapping holds one tally per door, in the order of Door.
struct Tallies {
  DoorTally doors[kDoorCount];
};

// Child exit codes besides a crash's exception code.
constexpr int kChildDone = 0;
constexpr int kChildSetupFailed = 70;
constexpr int kChildHung = 71;

struct ChildArgs {
  Door door = Door::Packet;
  uint64_t seed = 0;
  uint64_t from = 0;
  uint64_t to = 0;
  std::wstring tallyMapping;  // name of the mapping of Tallies
  std::wstring scratch;       // the scenario's scratch folder
  DWORD budgetMs = 0;         // stop feeding after this long
};

// Records `text` as the door's first problem unless one is recorded already.
void NoteProblem(DoorTally& tally, LONG64 index, const std::string& text);

// The child's work: feeds inputs [from, to) of the door, counting into the mapping.
int RunDoorChild(const ChildArgs& args);

}  // namespace malformed
}  // namespace campaign
