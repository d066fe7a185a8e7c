// The command line of Compactor.exe: -compressfile "<input>" "<output>".
#pragma once

#include <string>
#include <vector>

namespace CompactorArgs {

extern const wchar_t kUsage[];

// Exit codes of the tool.
enum ExitCode : int {
  kOk = 0,
  kBadArguments = 1,
  kInputUnreadable = 2,     // the input could not be opened or read
  kOutputExists = 3,        // an existing output is never replaced
  kOutputFailed = 4,        // the output could not be written, flushed or renamed into place
  kInputNotDeleted = 5,     // the archive is complete, but the input could not be removed
};

struct Arguments {
  bool valid = false;
  std::wstring input;
  std::wstring output;
};

// args: the arguments after the program name. The switch is matched ignoring case;
// both paths must be non-empty and differ.
Arguments Parse(const std::vector<std::wstring>& args);

}  // namespace CompactorArgs
