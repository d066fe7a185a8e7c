// Helpers of the archive tests: scratch folders and logger keys, the installed
// compression tool, and reading back every log file and archive of a folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/LogFileReader.h"

namespace archive_test {

// A scratch folder of its own, removed with what it holds (two levels deep).
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

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

// Waits until no Compactor.exe started by this process runs any more and `folder`
// holds no temporary file. False on time-out.
bool WaitForCompactors(const std::wstring& folder, DWORD timeoutMs);

// Names of the plain files in `folder`.
std::vector<std::wstring> FilesIn(const std::wstring& folder);
bool EndsWith(const std::wstring& text, const std::wstring& tail);
std::string ReadBytes(const std::wstring& path);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
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
