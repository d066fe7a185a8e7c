// Follows a UTF-16 log file as it grows: each Take returns the whole lines written
// since the last one, decoded into process id, level and message. Reading costs only
// the new bytes, so a scenario can check the lines of every single input it feeds.
//
// A full log is moved aside and started afresh by whichever process writes it next.
// The tail keeps its handle on the file it follows (opened shared for delete, so the
// move goes ahead) and, once that file is near the size limit, checks on each Take
// whether the path now names another file: it reads the old one to its end and goes
// on with the new one from its start, so no line is lost across the move.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace campaign {

class LogTail {
 public:
  struct Line {
    bool wellFormed = false;  // "<date> <time>:<ms> [P:<pid>][T:<tid>] <label> - <text>"
    DWORD pid = 0;
    int level = 0;            // 1..6
    std::wstring text;        // the message (the whole line when not well formed)
  };

  // Starts at the current end of `path`; `sizeLimit` is the size at which the log is
  // moved aside (Logger::MaxSize()).
  LogTail(const std::wstring& path, unsigned long long sizeLimit);

  bool valid() const { return file_.valid(); }
  // The whole lines written since the last call (or since construction).
  std::vector<Line> Take();
  // How many times the file followed was moved aside and the tail went on with the new one.
  unsigned moves() const { return moves_; }

  // Decodes one line of the log (without its CR LF).
  static Line Decode(const std::wstring& line);

 private:
  void ReadToEnd();
  bool PathNamesAnotherFile() const;
  void SplitLines(std::vector<Line>* lines);

  std::wstring path_;
  unsigned long long checkFrom_;
  UniqueKernelHandle file_;
  unsigned long long position_ = 0;
  std::string pending_;  // bytes read but not yet a whole line
  unsigned moves_ = 0;
};

}  // namespace campaign
