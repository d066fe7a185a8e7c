// File helpers of the tests: a scratch folder per test, listing, reading and writing
// whole files, and removing a folder tree.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test_support {

// A folder of its own under the temporary folder, removed with all it holds.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::wstring& stem = L"scratch");
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Removes `folder` with every file and folder below it.
void DeleteTree(const std::wstring& folder);
// Names of the plain files in `folder`.
std::vector<std::wstring> FilesIn(const std::wstring& folder);
// The whole file (opened shared for read, write and delete); empty when unreadable.
std::string ReadBytes(const std::wstring& path);
// Creates or replaces the file with `bytes`; true when all were written.
bool WriteBytes(const std::wstring& path, const std::string& bytes);

}  // namespace test_support
