// Where a module's log goes: the module classes that change the folder and the file
// name, the file name itself, and the folders to create for a log folder path.
// Pure functions over plain inputs.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace LogFileName {

// Module names are compared as whole strings, ignoring case.
// Component installers and maintenance tools: logs under StoredData\Logs, no archiving.
bool IsPackageModule(const std::wstring& exeName);
// Installer bootstrappers: Logs folder, no archiving, timestamped file.
bool IsBootstrapModule(const std::wstring& exeName);
// A module that starts a new, timestamped file on every run.
bool IsTimestampedModule(const std::wstring& exeName);

// What the file name depends on besides the module name.
struct NameInputs {
  std::wstring exeName;    // decides the module class
  DWORD sessionId = 0;     // for the per-session user-interface program
  DWORD processId = 0;     // for the per-process scanner
  std::wstring timeText;   // "HH-mm-ss", for timestamped files
  std::wstring dateText;   // "dd-MM-yy", for timestamped files
};

// The file name (no folder) of the log of `name`: "<name>.log", or with the session id
// and "_CPlus", the process id, or "_[<time>][<date>].log" as the module class says.
std::wstring BuildFileName(const std::wstring& name, const NameInputs& inputs);

// The folders to create, shortest first, for a log folder path: every prefix that ends
// at a backslash, searching from the fourth character, after "/" became "\" and a
// trailing backslash was ensured. False (and no list) for an empty path or one that is
// neither a drive path ("X:...") nor begins with two backslashes.
bool FolderPrefixes(const std::wstring& folder, std::vector<std::wstring>* prefixes);

}  // namespace LogFileName
