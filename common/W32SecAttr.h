// A real access list for the Administrators group and Everyone, each with its own
// rights, with the security descriptor and attributes that carry it (used to secure
// folders). Empty after construction, complete after a successful Create.
#pragma once

#include <windows.h>
#include <aclapi.h>

class W32SecAttr {
 public:
  W32SecAttr() = default;
  // Frees whatever the fields still hold.
  ~W32SecAttr();
  W32SecAttr(const W32SecAttr&) = delete;
  W32SecAttr& operator=(const W32SecAttr&) = delete;

  // Entries for Administrators (S-1-5-32-544) and Everyone (S-1-1-0), in that order.
  // On failure every field is null.
  virtual bool Create(DWORD adminAccess, DWORD everyoneAccess, DWORD accessMode,
                      DWORD inheritance);
  // The same with SET_ACCESS and no inheritance.
  virtual bool CreateDefault(DWORD adminAccess, DWORD everyoneAccess);
  // Allocates the SIDs into the two entries and builds the ACL, descriptor and
  // attributes. SetEntriesInAclA is looked up in advapi32.dll at run time.
  virtual bool Build(EXPLICIT_ACCESS_A& adminEntry, EXPLICIT_ACCESS_A& everyoneEntry);
  // Frees every field and sets it to null; safe to call again.
  virtual void Release();

  SECURITY_ATTRIBUTES* securityAttributes = nullptr;
  PSECURITY_DESCRIPTOR securityDescriptor = nullptr;
  PACL acl = nullptr;
  PSID adminsSid = nullptr;
  PSID everyoneSid = nullptr;
};
