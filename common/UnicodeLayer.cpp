#include "common/UnicodeLayer.h"

#include <vector>

#include "common/UniqueHandle.h"

namespace {

constexpr char kUnicodeLayerDll[] = "unicows.dll";
constexpr char kSuiteKeyA[] = "SOFTWARE\\Veltrane";

// The "Path" value under HKLM\SOFTWARE\Veltrane through the narrow registry functions;
// empty when missing. The buffer is one byte longer so the text always ends.
std::string ReadSuitePath() {
  UniqueHKey key;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSuiteKeyA, 0, KEY_QUERY_VALUE, key.put()) !=
      ERROR_SUCCESS) {
    return std::string();
  }
  DWORD size = 0;
  if (::RegQueryValueExA(key.get(), "Path", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS ||
      size == 0) {
    return std::string();
  }
  std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
  if (::RegQueryValueExA(key.get(), "Path", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS) {
    return std::string();
  }
  return std::string(buffer.data());
}

}  // namespace

namespace UnicodeLayer {

std::string CandidatePath(const std::string& folder) {
  std::string path = folder.substr(0, MAX_PATH - 1);
  if (path.size() > 3) path += '\\';
  path += kUnicodeLayerDll;
  // A candidate that does not fit the loader's 260-character buffer is not tried whole.
  if (path.size() >= MAX_PATH) return std::string();
  return path;
}

}  // namespace UnicodeLayer

HMODULE LoadUnicodeLayer() {
  const std::string folder = ReadSuitePath();
  if (!folder.empty()) {
    const std::string candidate = UnicodeLayer::CandidatePath(folder);
    if (!candidate.empty()) {
      HMODULE module = ::LoadLibraryA(candidate.c_str());
      if (module != nullptr) return module;
    }
  }
  HMODULE module = ::LoadLibraryA(kUnicodeLayerDll);
  if (module != nullptr) return module;

  const std::string text = std::string("Unicode wrapper not found: ") + kUnicodeLayerDll;
  ::MessageBoxA(nullptr, text.c_str(), "Error: Unicode layer", MB_ICONERROR);
  // Ends at once, without exit handlers: nothing of the process may run on without it.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(-1));
  return nullptr;
}
