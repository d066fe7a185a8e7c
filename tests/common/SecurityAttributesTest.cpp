#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/OpenSecurityAttributes.h"
#include "common/UniqueHandle.h"
#include "common/W32SecAttr.h"
#include "support/ChildProcess.h"

namespace {

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
  UniqueLocalMemory owner(text);
  return text;
}

TEST(OpenSecurityAttributes, SharedNullDaclInheritable) {
  SECURITY_ATTRIBUTES* first = GetOpenSecurityAttributes();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, GetOpenSecurityAttributes());
  EXPECT_EQ(first->nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_TRUE(first->bInheritHandle);

  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = reinterpret_cast<PACL>(1);
  ASSERT_TRUE(::GetSecurityDescriptorDacl(first->lpSecurityDescriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);
  EXPECT_FALSE(defaulted);

  // A named event made with them is inheritable.
  const std::wstring name = L"Global\\" + test_support::UniqueName(L"OpenSa");
  UniqueKernelHandle event(::CreateEventW(first, FALSE, FALSE, name.c_str()));
  ASSERT_TRUE(event.valid());
  DWORD flags = 0;
  ASSERT_TRUE(::GetHandleInformation(event.get(), &flags));
  EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);
}

TEST(OpenSecurityAttributes, ConcurrentFirstCallsAgree) {
  // Any thread may be first; all must get the same complete attributes.
  std::vector<SECURITY_ATTRIBUTES*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = GetOpenSecurityAttributes(); });
  for (auto& t : threads) t.join();
  for (auto* sa : seen) {
    ASSERT_NE(sa, nullptr);
    EXPECT_EQ(sa, seen[0]);
    EXPECT_NE(sa->lpSecurityDescriptor, nullptr);
  }
}

TEST(W32SecAttr, CreateBuildsAdminsAndEveryoneEntries) {
  W32SecAttr attr;
  ASSERT_TRUE(attr.Create(GENERIC_ALL, FILE_ALL_ACCESS, SET_ACCESS,
                          OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
  ASSERT_NE(attr.acl, nullptr);
  ASSERT_NE(attr.securityAttributes, nullptr);
  EXPECT_EQ(attr.securityAttributes->nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_EQ(attr.securityAttributes->lpSecurityDescriptor, attr.securityDescriptor);
  EXPECT_FALSE(attr.securityAttributes->bInheritHandle);

  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(attr.securityDescriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, attr.acl);

  ACL_SIZE_INFORMATION info = {};
  ASSERT_TRUE(::GetAclInformation(attr.acl, &info, sizeof(info), AclSizeInformation));
  ASSERT_EQ(info.AceCount, 2u);

  struct Expected {
    const wchar_t* sid;
    DWORD mask;
  };
  // Order of the entries: Administrators first, then Everyone (both plain allow entries).
  const Expected expected[] = {{L"S-1-5-32-544", GENERIC_ALL}, {L"S-1-1-0", FILE_ALL_ACCESS}};
  std::vector<std::wstring> sids;
  for (DWORD i = 0; i < 2; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(::GetAce(attr.acl, i, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
              OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    const std::wstring sid = SidText(&allowed->SidStart);
    sids.push_back(sid);
    for (const Expected& e : expected) {
      if (sid == e.sid) {
        EXPECT_EQ(allowed->Mask, e.mask) << sid;
      }
    }
  }
  std::sort(sids.begin(), sids.end());
  EXPECT_EQ(sids, (std::vector<std::wstring>{L"S-1-1-0", L"S-1-5-32-544"}));
  EXPECT_EQ(SidText(attr.adminsSid), L"S-1-5-32-544");
  EXPECT_EQ(SidText(attr.everyoneSid), L"S-1-1-0");

  attr.Release();
  EXPECT_EQ(attr.acl, nullptr);
  EXPECT_EQ(attr.securityAttributes, nullptr);
  EXPECT_EQ(attr.securityDescriptor, nullptr);
  EXPECT_EQ(attr.adminsSid, nullptr);
  EXPECT_EQ(attr.everyoneSid, nullptr);
  attr.Release();  // and again, then the destructor: nothing is freed twice
}

TEST(W32SecAttr, FailedCreateLeavesEveryFieldNull) {
  W32SecAttr attr;
  ASSERT_TRUE(attr.CreateDefault(GENERIC_READ, GENERIC_READ));
  // An access mode SetEntriesInAclA rejects makes Build fail after allocating.
  EXPECT_FALSE(attr.Create(GENERIC_ALL, GENERIC_ALL, 0x7777, 0));
  EXPECT_EQ(attr.securityAttributes, nullptr);
  EXPECT_EQ(attr.securityDescriptor, nullptr);
  EXPECT_EQ(attr.acl, nullptr);
  EXPECT_EQ(attr.adminsSid, nullptr);
  EXPECT_EQ(attr.everyoneSid, nullptr);
}

}  // namespace
