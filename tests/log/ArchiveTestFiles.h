// Helpers of the archive tests: scratch folders and logger keys, the installed
// compression tool, and reading back every log file and archive of a folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/LogFileReader.h"
#include "support/ScratchFiles.h"

namespace archive_test {

using test_support::FilesIn;
using test_support::ReadBytes;
using test_support::ScratchFolder;
using test_support::WriteBytes;


// "SOFTWARE\Veltrane\Logger\<name>" with the given level and max_size_mb, deleted again
// at the end.
class ScratchLoggerKey {
 public:
  ScratchLoggerKey(const std::wstring& name, DWORD level, DWORD maxSizeMb);
  ~ScratchLoggerKey();
  ScratchLoggerKey(const ScratchLoggerKey&) = delete;
  ScratchLoggerKey& operator=(const ScratchLoggerKey&) = delete;

 private:
  std::wstring keyPath_;
};

// Where the archiver looks for Compactor.exe (unquoted).
std::wstring InstalledCompactorPath();
// Copies the built tool there when it is missing; true when it is in place.
bool EnsureCompactorInstalled();

// Moves the installed tool aside for the life of the object, so that the archiver
// cannot start it, and puts it back at the end.
class CompactorMovedAway {
 public:
  CompactorMovedAway();
  ~CompactorMovedAway();
  CompactorMovedAway(const CompactorMovedAway&) = delete;
  CompactorMovedAway& operator=(const CompactorMovedAway&) = delete;
  bool moved() const { return moved_; }

 private:
  std::wstring tool_;
  bool moved_ = false;
};

// Waits until no Compactor.exe started by this process runs any more and `folder`
// holds no temporary file. False on time-out.
bool WaitForCompactors(const std::wstring& folder, DWORD timeoutMs);

bool EndsWith(const std::wstring& text, const std::wstring& tail);
// Decompresses a .gz file and decodes it as a log; exists is false when it is not
// complete, valid gzip.
test_support::LogFileContent ReadArchive(const std::wstring& path);

// Every file of a log folder, decoded.
struct LogFolderContent {
  test_support::LogFileContent live;                      // the file named liveName
  std::vector<test_support::LogFileContent> archives;     // the .gz files
  std::vector<test_support::LogFileContent> leftovers;    // moved-aside .log files not packed
  std::vector<std::wstring> archiveNames;
  std::vector<std::wstring> otherNames;                   // anything else (temporary files)
  size_t badArchives = 0;                                 // .gz that do not decode
};
LogFolderContent ReadLogFolder(const std::wstring& folder, const std::wstring& liveName);

}  // namespace archive_test
