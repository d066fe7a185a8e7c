#include "common/OpenSecurityAttributes.h"

namespace {

struct OpenSecurity {
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes;
};

OpenSecurity g_openSecurity;
INIT_ONCE g_openSecurityOnce = INIT_ONCE_STATIC_INIT;

// Runs once per process (InitOnceExecuteOnce). Returning FALSE leaves the one-time
// initialisation unfinished, so that a later call tries again.
BOOL CALLBACK BuildOpenSecurity(PINIT_ONCE, PVOID, PVOID* context) {
  OpenSecurity& open = g_openSecurity;
  ZeroMemory(&open, sizeof(open));
  if (!::InitializeSecurityDescriptor(&open.descriptor, SECURITY_DESCRIPTOR_REVISION)) return FALSE;
  // A present but null DACL grants every account full access.
  if (!::SetSecurityDescriptorDacl(&open.descriptor, TRUE, nullptr, FALSE)) return FALSE;
  open.attributes.nLength = sizeof(open.attributes);
  open.attributes.lpSecurityDescriptor = &open.descriptor;
  open.attributes.bInheritHandle = TRUE;
  *context = &open.attributes;
  return TRUE;
}

}  // namespace

SECURITY_ATTRIBUTES* GetOpenSecurityAttributes() {
  void* attributes = nullptr;
  if (!::InitOnceExecuteOnce(&g_openSecurityOnce, &BuildOpenSecurity, nullptr, &attributes)) {
    return nullptr;
  }
  return static_cast<SECURITY_ATTRIBUTES*>(attributes);
}
