// A lifeline from helper processes to the process that started them: a helper that
// follows it ends as soon as that process ends, killed or not, so that no helper goes
// on holding named objects, writing to a queue or spinning after its parent is gone.
//
// Opt-in: a process that wants its helpers to follow it calls HandLifelineToChildren
// before it starts them; the name of the parent travels in an environment variable,
// which the helpers' own helpers inherit as it stands (they follow the same process).
#pragma once

#include <windows.h>

namespace test_support {

// The exit code of a helper ended because its parent ended.
constexpr DWORD kParentEndedExitCode = 0x7F0000FE;

// Children started from now on by this process follow it.
void HandLifelineToChildren();
// When this process was handed a lifeline, ends it the moment that parent ends (at once
// when the parent is already gone). Called by a child entry before it runs.
void FollowParentLifeline();

}  // namespace test_support
