// Packs one file into a gzip archive beside nothing else: writes a temporary file next to
// the output, flushes it, renames it to the output name (never over an existing file),
// and only then deletes the input. On failure the partial output is removed and the
// input is left as it was.
#pragma once

#include <string>

#include "tools/Compactor/CompactorArgs.h"

namespace CompactFile {

struct Report {
  CompactorArgs::ExitCode code = CompactorArgs::kOk;
  unsigned long long bytesIn = 0;
  unsigned long long bytesOut = 0;
  double compressSeconds = 0;  // reading, compressing and writing, without start-up
  std::wstring message;        // what failed, empty on success
};

// The temporary name used while writing `output`.
std::wstring TemporaryName(const std::wstring& output, unsigned long processId);

Report Compact(const std::wstring& input, const std::wstring& output, int level);

}  // namespace CompactFile
