#include "support/ImportHook.h"

#include <cstring>

namespace test_support {
namespace {

// The import-table slot of `function` from `dll` in the running program, or null.
void** FindImportSlot(const char* dll, const char* function) {
  auto* base = reinterpret_cast<unsigned char*>(::GetModuleHandleW(nullptr));
  if (base == nullptr) return nullptr;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return nullptr;
  for (auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       import->Name != 0; ++import) {
    if (::lstrcmpiA(reinterpret_cast<const char*>(base + import->Name), dll) != 0) continue;
    if (import->OriginalFirstThunk == 0) continue;
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
    for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
      if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
        return reinterpret_cast<void**>(&slots[i].u1.Function);
      }
    }
  }
  return nullptr;
}

void WriteSlot(void** slot, void* value) {
  DWORD oldProtection = 0;
  if (!::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtection)) return;
  ::InterlockedExchangePointer(slot, value);
  ::VirtualProtect(slot, sizeof(void*), oldProtection, &oldProtection);
}

}  // namespace

ImportHook::ImportHook(const char* dll, const char* function, void* replacement) {
  void** slot = FindImportSlot(dll, function);
  if (slot == nullptr) return;
  original_ = *slot;
  WriteSlot(slot, replacement);
  if (*slot == replacement) slot_ = slot;
}

ImportHook::~ImportHook() {
  if (slot_ != nullptr) WriteSlot(slot_, original_);
}

}  // namespace test_support
