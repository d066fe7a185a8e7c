#include "tools/Compactor/CompactorArgs.h"

#include <cwctype>

namespace CompactorArgs {

const wchar_t kUsage[] = L"Usage: Compactor.exe -compressfile \"<input file>\" \"<output .gz file>\"";

namespace {
bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}
}  // namespace

Arguments Parse(const std::vector<std::wstring>& args) {
  Arguments parsed;
  if (args.size() != 3 || !EqualsNoCase(args[0], L"-compressfile")) return parsed;
  if (args[1].empty() || args[2].empty() || EqualsNoCase(args[1], args[2])) return parsed;
  parsed.input = args[1];
  parsed.output = args[2];
  parsed.valid = true;
  return parsed;
}

}  // namespace CompactorArgs
