#include "LogTail.h"

#include <cwchar>

#include "log/LogLineFormat.h"

namespace campaign {

namespace {

// Room the lines of one input may take before the tail looks for a move of the file.
constexpr unsigned long long kMoveCheckMargin = 512 * 1024;
// The date and time in front of the ids are far shorter than this.
constexpr size_t kLongestLinePrefix = 48;

struct FileIdentity {
  DWORD volume = 0;
  unsigned long long index = 0;
  bool operator==(const FileIdentity& other) const { return volume == other.volume && index == other.index; }
};

bool IdentityOf(HANDLE file, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(file, &info)) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

HANDLE OpenShared(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Digits (after leading spaces) at `at`; the position after them, or npos.
size_t SkipNumber(const std::wstring& line, size_t at, DWORD* value) {
  while (at < line.size() && line[at] == L' ') ++at;
  const size_t start = at;
  unsigned long long number = 0;
  while (at < line.size() && line[at] >= L'0' && line[at] <= L'9' && at - start < 10) {
    number = number * 10 + static_cast<unsigned>(line[at] - L'0');
    ++at;
  }
  if (at == start) return std::wstring::npos;
  *value = static_cast<DWORD>(number);
  return at;
}

}  // namespace

LogTail::LogTail(const std::wstring& path, unsigned long long sizeLimit)
    : path_(path),
      checkFrom_(sizeLimit > kMoveCheckMargin ? sizeLimit - kMoveCheckMargin : 0),
      file_(OpenShared(path)) {
  if (!file_) return;
  LARGE_INTEGER size = {};
  if (::GetFileSizeEx(file_.get(), &size)) position_ = static_cast<unsigned long long>(size.QuadPart);
  LARGE_INTEGER to = {};
  to.QuadPart = static_cast<LONGLONG>(position_);
  ::SetFilePointerEx(file_.get(), to, nullptr, FILE_BEGIN);
}

void LogTail::ReadToEnd() {
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file_.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    pending_.append(buffer, read);
    position_ += read;
  }
}

bool LogTail::PathNamesAnotherFile() const {
  UniqueKernelHandle current(OpenShared(path_));
  FileIdentity followed;
  FileIdentity named;
  if (!current || !IdentityOf(file_.get(), &followed) || !IdentityOf(current.get(), &named)) return false;
  return !(followed == named);
}

std::vector<LogTail::Line> LogTail::Take() {
  std::vector<Line> lines;
  if (!file_) {
    // The log did not exist yet when the tail was made.
    file_.reset(OpenShared(path_));
    if (!file_) return lines;
  }
  ReadToEnd();
  if (position_ >= checkFrom_ && PathNamesAnotherFile()) {
    // Moved aside: whatever was written to it before the move is read first.
    ReadToEnd();
    SplitLines(&lines);
    pending_.clear();
    file_.reset(OpenShared(path_));
    position_ = 0;
    ++moves_;
    if (file_) ReadToEnd();
  }
  SplitLines(&lines);
  return lines;
}

void LogTail::SplitLines(std::vector<Line>* lines) {
  const size_t units = pending_.size() / 2;
  size_t start = 0;
  for (size_t i = 0; i + 1 < units; ++i) {
    const wchar_t a = static_cast<wchar_t>(static_cast<unsigned char>(pending_[2 * i]) |
                                           (static_cast<unsigned char>(pending_[2 * i + 1]) << 8));
    const wchar_t b = static_cast<wchar_t>(static_cast<unsigned char>(pending_[2 * i + 2]) |
                                           (static_cast<unsigned char>(pending_[2 * i + 3]) << 8));
    if (a != L'\r' || b != L'\n') continue;
    std::wstring text(i - start, L'\0');
    for (size_t k = start; k < i; ++k) {
      text[k - start] = static_cast<wchar_t>(static_cast<unsigned char>(pending_[2 * k]) |
                                             (static_cast<unsigned char>(pending_[2 * k + 1]) << 8));
    }
    // A file's first line follows its byte order mark.
    if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
    lines->push_back(Decode(text));
    start = i + 2;
    ++i;
  }
  pending_.erase(0, start * 2);
}

LogTail::Line LogTail::Decode(const std::wstring& line) {
  Line decoded;
  decoded.text = line;
  const size_t ids = line.find(L" [P:");
  if (ids == std::wstring::npos || ids > kLongestLinePrefix) return decoded;
  DWORD pid = 0;
  DWORD tid = 0;
  size_t at = SkipNumber(line, ids + 4, &pid);
  if (at == std::wstring::npos || line.compare(at, 4, L"][T:") != 0) return decoded;
  at = SkipNumber(line, at + 4, &tid);
  if (at == std::wstring::npos || line.compare(at, 2, L"] ") != 0) return decoded;
  at += 2;
  for (int level = 1; level <= 6; ++level) {
    const std::wstring label = std::wstring(LogLineFormat::BracketedLabel(level)) + L" - ";
    if (line.compare(at, label.size(), label) == 0) {
      decoded.wellFormed = true;
      decoded.pid = pid;
      decoded.level = level;
      decoded.text = line.substr(at + label.size());
      return decoded;
    }
  }
  return decoded;
}

}  // namespace campaign
