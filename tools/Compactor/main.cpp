// Compactor.exe -compressfile "<input>" "<output>": packs <input> into the gzip file
// <output> and deletes <input> once the archive is complete. Exit codes: CompactorArgs.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/Compactor/CompactFile.h"
#include "tools/Compactor/CompactorArgs.h"
#include "tools/Compactor/GzipStream.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  const CompactorArgs::Arguments parsed = CompactorArgs::Parse(args);
  if (!parsed.valid) {
    fwprintf(stderr, L"%ls\n", CompactorArgs::kUsage);
    return CompactorArgs::kBadArguments;
  }

  const CompactFile::Report report =
      CompactFile::Compact(parsed.input, parsed.output, Gzip::kDefaultLevel);
  if (report.code != CompactorArgs::kOk) {
    fwprintf(stderr, L"Compactor: %ls\n", report.message.c_str());
  }
  // Benchmarks ask for the time spent packing, which excludes the process start-up.
  const char* timing = std::getenv("COMPACTOR_REPORT_TIME");
  if (timing != nullptr && timing[0] == '1') {
    printf("compactor: in=%llu out=%llu seconds=%.6f\n", report.bytesIn, report.bytesOut,
           report.compressSeconds);
  }
  return report.code;
}
