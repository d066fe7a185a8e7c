#include "log/ArchiveNames.h"

#include "common/TextConversion.h"

namespace ArchiveNames {

const wchar_t kCompactorRelativePath[] = L"Veltrane\\Consumer\\KAL\\9\\Compactor.exe";

namespace {
// The path split's extension buffer holds 256 characters with the terminator.
const size_t kExtensionBufferChars = 256;
}  // namespace

std::wstring QuotedToolPath(const std::wstring& commonAppDataFolder) {
  return L"\"" + AddTrailingBackslash(commonAppDataFolder) + kCompactorRelativePath + L"\"";
}

bool SplitExtension(const std::wstring& path, std::wstring* extension) {
  // The last component starts after the last "\", "/" or drive colon; its extension
  // starts at its last dot.
  const size_t componentStart = path.find_last_of(L"\\/:");
  const size_t nameStart = componentStart == std::wstring::npos ? 0 : componentStart + 1;
  const size_t dot = path.rfind(L'.');
  std::wstring found;
  if (dot != std::wstring::npos && dot >= nameStart) found = path.substr(dot);
  if (found.size() >= kExtensionBufferChars) return false;
  *extension = found;
  return true;
}

std::wstring ArchivedName(const std::wstring& logPath, const std::wstring& dateText,
                          const std::wstring& timeText) {
  std::wstring extension;
  if (!SplitExtension(logPath, &extension) || extension.empty()) return std::wstring();
  // The extension found by the split always ends the path.
  const std::wstring stem = logPath.substr(0, logPath.size() - extension.size());
  return stem + L"[" + dateText + L"][" + timeText + L"]" + extension;
}

std::wstring OutputName(const std::wstring& requested, const std::wstring& archivedName,
                        bool defaultNameExists, unsigned long long secondsSince1970) {
  if (!requested.empty()) return requested;
  if (!defaultNameExists) return archivedName + L".gz";
  return archivedName + std::to_wstring(secondsSince1970) + L".gz";
}

std::wstring CommandLine(const std::wstring& quotedToolPath, const std::wstring& archivedName,
                         const std::wstring& outputName) {
  return quotedToolPath + L" -compressfile \"" + archivedName + L"\" \"" + outputName + L"\"";
}

}  // namespace ArchiveNames
