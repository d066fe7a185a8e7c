// Helper processes handed a lifeline end when the process that started them ends.
#include <gtest/gtest.h>

#include <string>

#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"
#include "support/ParentLifeline.h"

namespace {

constexpr DWORD kHelperLifetimeMs = 60000;

}  // namespace

// args: mutex name, ready event name. Takes the mutex and holds it for a minute.
SENTREL_CHILD(L"lifeline-helper", args) {
  UniqueKernelHandle mutex(::CreateMutexW(nullptr, TRUE, args.at(0).c_str()));
  UniqueKernelHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(1).c_str()));
  if (!mutex || !ready) return 2;
  ::SetEvent(ready.get());
  ::Sleep(kHelperLifetimeMs);
  return 0;
}

// args: mutex name, ready event name. Hands its lifeline to a helper, then waits to be killed.
SENTREL_CHILD(L"lifeline-parent", args) {
  test_support::HandLifelineToChildren();
  test_support::ChildProcess helper = test_support::ChildProcess::Start(L"lifeline-helper", args);
  if (!helper.valid()) return 2;
  ::Sleep(kHelperLifetimeMs);
  return 0;
}

namespace {

TEST(ParentLifeline, HelperEndsWhenItsParentIsKilled) {
  const std::wstring mutexName = test_support::UniqueName(L"Local\\lifeline_mutex");
  const std::wstring readyName = test_support::UniqueName(L"Local\\lifeline_ready");
  UniqueKernelHandle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
  ASSERT_TRUE(ready);
  test_support::ChildProcess parent = test_support::ChildProcess::Start(L"lifeline-parent", {mutexName, readyName});
  ASSERT_TRUE(parent.valid());
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), 30000));
  UniqueKernelHandle helperMutex(::OpenMutexW(SYNCHRONIZE, FALSE, mutexName.c_str()));
  ASSERT_TRUE(helperMutex);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(helperMutex.get(), 200));  // held

  parent.Kill();
  // The helper ends within seconds, so its mutex is abandoned, instead of a minute later.
  EXPECT_EQ(static_cast<DWORD>(WAIT_ABANDONED), ::WaitForSingleObject(helperMutex.get(), 10000));
}

}  // namespace
