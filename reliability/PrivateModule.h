// A copy of this program under a module name of its own. A helper process started from
// the copy writes its process log alone: the log's folder under the suite's Logs folder
// and its settings key "SOFTWARE\Veltrane\Logger\<module>" carry the module's name, so
// no other process writes into that file or rotates it. The copy, the log folder and the
// key are removed when the object is destroyed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ArchiveTestFiles.h"
#include "support/ChildProcess.h"
#include "support/ScratchFiles.h"

namespace campaign {

class PrivateModule {
 public:
  // `stem` starts the unique module name; level and maxSizeMb go into the logger's key.
  PrivateModule(const std::wstring& stem, DWORD level, DWORD maxSizeMb);
  ~PrivateModule();
  PrivateModule(const PrivateModule&) = delete;
  PrivateModule& operator=(const PrivateModule&) = delete;

  bool valid() const { return copied_; }
  const std::wstring& name() const { return name_; }
  // Where the helper's process log is written.
  std::wstring LogPath() const;
  // Starts the copy as the child entry `child` with `args`.
  test_support::ChildProcess Start(const std::wstring& child, const std::vector<std::wstring>& args) const;

 private:
  std::wstring LogFolder() const;

  test_support::ScratchFolder bin_;
  std::wstring name_;
  std::wstring exe_;
  archive_test::ScratchLoggerKey key_;
  bool copied_ = false;
};

}  // namespace campaign
