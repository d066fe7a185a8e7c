// Where a benchmark finds the build's programs: it runs from <build>\bench.
#pragma once

#include <windows.h>

#include <string>

namespace bench {

inline std::wstring SelfPath() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// The path up to its last backslash.
inline std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// <build>, the folder of SentrelSrv.exe.
inline std::wstring BuildFolder() { return Folder(Folder(SelfPath())); }

}  // namespace bench
