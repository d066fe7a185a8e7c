#include "common/W32SecAttr.h"

#include "common/UniqueHandle.h"

namespace {

using SetEntriesInAclAFn = DWORD(WINAPI*)(ULONG, PEXPLICIT_ACCESS_A, PACL, PACL*);

EXPLICIT_ACCESS_A MakeEntry(DWORD access, DWORD accessMode, DWORD inheritance,
                            TRUSTEE_TYPE trusteeType) {
  EXPLICIT_ACCESS_A entry;
  ZeroMemory(&entry, sizeof(entry));
  entry.grfAccessPermissions = access;
  entry.grfAccessMode = static_cast<ACCESS_MODE>(accessMode);
  entry.grfInheritance = inheritance;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = trusteeType;
  entry.Trustee.ptstrName = nullptr;
  return entry;
}

}  // namespace

W32SecAttr::~W32SecAttr() { W32SecAttr::Release(); }

bool W32SecAttr::Create(DWORD adminAccess, DWORD everyoneAccess, DWORD accessMode,
                        DWORD inheritance) {
  EXPLICIT_ACCESS_A adminEntry = MakeEntry(adminAccess, accessMode, inheritance, TRUSTEE_IS_GROUP);
  EXPLICIT_ACCESS_A everyoneEntry =
      MakeEntry(everyoneAccess, accessMode, inheritance, TRUSTEE_IS_WELL_KNOWN_GROUP);
  return Build(adminEntry, everyoneEntry);
}

bool W32SecAttr::CreateDefault(DWORD adminAccess, DWORD everyoneAccess) {
  return Create(adminAccess, everyoneAccess, SET_ACCESS, NO_INHERITANCE);
}

bool W32SecAttr::Build(EXPLICIT_ACCESS_A& adminEntry, EXPLICIT_ACCESS_A& everyoneEntry) {
  // A second Build on a complete object starts from empty rather than leaking.
  Release();
  UniqueModule advapi(::LoadLibraryA("advapi32.dll"));
  if (!advapi) return false;
  const auto setEntriesInAcl =
      reinterpret_cast<SetEntriesInAclAFn>(::GetProcAddress(advapi.get(), "SetEntriesInAclA"));
  if (setEntriesInAcl == nullptr) return false;

  bool built = false;
  do {
    securityAttributes =
        static_cast<SECURITY_ATTRIBUTES*>(::LocalAlloc(LPTR, sizeof(SECURITY_ATTRIBUTES)));
    if (securityAttributes == nullptr) break;

    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    if (!::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                    &everyoneSid)) {
      everyoneSid = nullptr;
      break;
    }
    everyoneEntry.Trustee.ptstrName = static_cast<LPSTR>(everyoneSid);

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                    DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &adminsSid)) {
      adminsSid = nullptr;
      break;
    }
    adminEntry.Trustee.ptstrName = static_cast<LPSTR>(adminsSid);

    EXPLICIT_ACCESS_A entries[2] = {adminEntry, everyoneEntry};
    PACL newAcl = nullptr;
    if (setEntriesInAcl(2, entries, nullptr, &newAcl) != ERROR_SUCCESS) break;
    acl = newAcl;

    securityDescriptor = ::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (securityDescriptor == nullptr) break;
    if (!::InitializeSecurityDescriptor(securityDescriptor, SECURITY_DESCRIPTOR_REVISION)) break;
    if (!::SetSecurityDescriptorDacl(securityDescriptor, TRUE, acl, FALSE)) break;

    securityAttributes->nLength = sizeof(SECURITY_ATTRIBUTES);
    securityAttributes->lpSecurityDescriptor = securityDescriptor;
    securityAttributes->bInheritHandle = FALSE;
    built = true;
  } while (false);

  if (!built) {
    // The entries must not keep pointers to SIDs that are about to be freed.
    adminEntry.Trustee.ptstrName = nullptr;
    everyoneEntry.Trustee.ptstrName = nullptr;
    Release();
  }
  return built;
}

void W32SecAttr::Release() {
  if (securityDescriptor != nullptr) ::LocalFree(securityDescriptor);
  securityDescriptor = nullptr;
  if (acl != nullptr) ::LocalFree(acl);
  acl = nullptr;
  if (adminsSid != nullptr) ::FreeSid(adminsSid);
  adminsSid = nullptr;
  if (everyoneSid != nullptr) ::FreeSid(everyoneSid);
  everyoneSid = nullptr;
  if (securityAttributes != nullptr) ::LocalFree(securityAttributes);
  securityAttributes = nullptr;
}
