// Compactor.exe and its gzip streaming: round trips through real files and processes,
// the argument contract, and the promise that a failure loses nothing.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "support/ChildProcess.h"
#include "support/ScratchFiles.h"
#include "tools/Compactor/CompactFile.h"
#include "tools/Compactor/CompactorArgs.h"
#include "tools/Compactor/GzipStream.h"

namespace {

using test_support::ChildProcess;
using test_support::FilesIn;
using test_support::QuoteArgument;
using test_support::ReadBytes;
using test_support::ScratchFolder;

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  ASSERT_TRUE(test_support::WriteBytes(path, bytes));
}

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// <build>\tests\tests_tools.exe -> <build>\tools\Compactor.exe
std::wstring BuiltCompactor() {
  return Folder(Folder(test_support::SelfPath())) + L"\\tools\\Compactor.exe";
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}



// A UTF-16LE log-like text with a BOM, partly random so that it does not compress away.
std::string SampleLog(size_t lines) {
  std::mt19937 random(12345);
  std::wstring text = L"\xFEFF";
  wchar_t line[128];
  for (size_t i = 0; i < lines; ++i) {
    _snwprintf(line, 128, L"05/12/26 14:03:27:081 [P: 4120][T: 4388] [INFO ] - line %u v%u\r\n",
               static_cast<unsigned>(i), static_cast<unsigned>(random()));
    text += line;
  }
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}


DWORD RunCompactor(const std::vector<std::wstring>& args) {
  std::wstring commandLine = QuoteArgument(BuiltCompactor());
  for (const auto& arg : args) commandLine += L" " + QuoteArgument(arg);
  ChildProcess child = ChildProcess::StartCommandLine(commandLine);
  EXPECT_TRUE(child.valid());
  DWORD exitCode = 0xFFFFFFFF;
  EXPECT_TRUE(child.Wait(60000, &exitCode));
  return exitCode;
}

}  // namespace

TEST(CompactorArgs, AcceptsOnlyTheCompressSwitchWithTwoDistinctPaths) {
  struct Case {
    std::vector<std::wstring> args;
    bool valid;
  };
  const Case cases[] = {
      {{L"-compressfile", L"a.log", L"a.log.gz"}, true},
      {{L"-COMPRESSFILE", L"C:\\x y\\a.log", L"C:\\x y\\a.gz"}, true},
      {{}, false},
      {{L"-compressfile"}, false},
      {{L"-compressfile", L"a.log"}, false},
      {{L"-compressfile", L"a.log", L"a.gz", L"extra"}, false},
      {{L"-decompressfile", L"a.log", L"a.gz"}, false},
      {{L"-compressfile", L"", L"a.gz"}, false},
      {{L"-compressfile", L"a.log", L""}, false},
      {{L"-compressfile", L"a.log", L"A.LOG"}, false},  // would pack a file onto itself
  };
  for (const auto& c : cases) {
    const auto parsed = CompactorArgs::Parse(c.args);
    EXPECT_EQ(c.valid, parsed.valid) << c.args.size();
    if (c.valid) {
      EXPECT_EQ(c.args[1], parsed.input);
      EXPECT_EQ(c.args[2], parsed.output);
    }
  }
}

TEST(GzipStream, RoundTripsEmptySmallAndMultiChunkInput) {
  std::mt19937 random(7);
  std::string noise(600 * 1024, '\0');  // more than two 256 KiB chunks, barely compressible
  for (auto& c : noise) c = static_cast<char>(random());
  for (const std::string& original : {std::string(), std::string("x"), SampleLog(5000), noise}) {
    const std::string packed = Gzip::CompressBytes(original);
    ASSERT_GE(packed.size(), 18u);  // header and trailer at least
    EXPECT_EQ('\x1f', packed[0]);
    EXPECT_EQ('\x8b', packed[1]);
    std::string restored;
    ASSERT_TRUE(Gzip::DecompressBytes(packed, &restored));
    EXPECT_TRUE(restored == original) << original.size();
  }
}

TEST(GzipStream, DecompressRejectsTruncatedOrCorruptData) {
  const std::string packed = Gzip::CompressBytes(SampleLog(2000));
  std::string out;
  EXPECT_FALSE(Gzip::DecompressBytes(packed.substr(0, packed.size() - 4), &out));  // no length
  EXPECT_FALSE(Gzip::DecompressBytes(packed.substr(0, packed.size() / 2), &out));
  std::string corrupt = packed;
  corrupt[corrupt.size() - 6] ^= 0x55;  // CRC
  EXPECT_FALSE(Gzip::DecompressBytes(corrupt, &out));
  EXPECT_FALSE(Gzip::DecompressBytes(std::string(), &out));
}

TEST(GzipStream, StopsAtAFailedWriteOrRead) {
  const std::string data = SampleLog(20000);
  size_t position = 0;
  auto read = [&](unsigned char* buffer, size_t capacity, size_t* got) {
    const size_t n = std::min(capacity, data.size() - position);
    memcpy(buffer, data.data() + position, n);
    position += n;
    *got = n;
    return true;
  };
  int writes = 0;
  auto result = Gzip::Compress(read, [&](const unsigned char*, size_t) { return ++writes < 2; });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(2, writes);
  result = Gzip::Compress([](unsigned char*, size_t, size_t*) { return false; },
                          [](const unsigned char*, size_t) { return true; });
  EXPECT_FALSE(result.ok);
}

TEST(Compactor, PacksIntoStandardGzipAndDeletesTheInput) {
  ScratchFolder scratch;
  const std::string original = SampleLog(30000);  // about 2.5 MB: several chunks
  const std::wstring input = scratch / L"Mod[05-12-26][14-03-27].log";
  const std::wstring output = input + L".gz";
  WriteBytes(input, original);

  EXPECT_EQ(0u, RunCompactor({L"-compressfile", input, output}));

  EXPECT_FALSE(Exists(input));
  std::string restored;
  ASSERT_TRUE(Gzip::DecompressBytes(ReadBytes(output), &restored));
  EXPECT_TRUE(restored == original);
  EXPECT_EQ(std::vector<std::wstring>{L"Mod[05-12-26][14-03-27].log.gz"}, FilesIn(scratch.path()));
}

TEST(Compactor, BadArgumentsPrintUsageAndExitWithOne) {
  ScratchFolder scratch;
  const std::wstring input = scratch / L"a.log";
  WriteBytes(input, SampleLog(10));
  EXPECT_EQ(1u, RunCompactor({}));
  EXPECT_EQ(1u, RunCompactor({L"-compressfile", input}));
  EXPECT_EQ(1u, RunCompactor({L"/compressfile", input, input + L".gz"}));
  EXPECT_EQ(1u, RunCompactor({L"-compressfile", input, input}));
  EXPECT_TRUE(Exists(input));
  EXPECT_EQ(1u, FilesIn(scratch.path()).size());
}

// Every failure leaves the input byte for byte as it was and no output or temporary file.
TEST(Compactor, FailureLeavesInputUntouchedAndNoPartialOutput) {
  ScratchFolder scratch;
  const std::string original = SampleLog(3000);
  const std::wstring input = scratch / L"a.log";
  WriteBytes(input, original);

  // The output folder does not exist.
  EXPECT_EQ(static_cast<DWORD>(CompactorArgs::kOutputFailed),
            RunCompactor({L"-compressfile", input, scratch / L"missing\\a.log.gz"}));
  EXPECT_TRUE(ReadBytes(input) == original);
  EXPECT_EQ(std::vector<std::wstring>{L"a.log"}, FilesIn(scratch.path()));

  // The input does not exist.
  EXPECT_EQ(static_cast<DWORD>(CompactorArgs::kInputUnreadable),
            RunCompactor({L"-compressfile", scratch / L"none.log", scratch / L"none.log.gz"}));
  EXPECT_FALSE(Exists(scratch / L"none.log.gz"));

  // Another process still writes to the input: packing it now could lose its lines.
  {
    UniqueKernelHandle writer(::CreateFileW(input.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer.valid());
    EXPECT_EQ(static_cast<DWORD>(CompactorArgs::kInputUnreadable),
              RunCompactor({L"-compressfile", input, input + L".gz"}));
  }
  EXPECT_TRUE(ReadBytes(input) == original);
  EXPECT_EQ(std::vector<std::wstring>{L"a.log"}, FilesIn(scratch.path()));
}

// An existing archive is never replaced: it stays as it was, and so does the input.
TEST(Compactor, NeverReplacesAnExistingArchive) {
  ScratchFolder scratch;
  const std::string original = SampleLog(100);
  const std::wstring input = scratch / L"a.log";
  const std::wstring output = scratch / L"a.log.gz";
  WriteBytes(input, original);
  WriteBytes(output, "older archive");

  EXPECT_EQ(static_cast<DWORD>(CompactorArgs::kOutputExists),
            RunCompactor({L"-compressfile", input, output}));
  EXPECT_EQ("older archive", ReadBytes(output));
  EXPECT_TRUE(ReadBytes(input) == original);
  EXPECT_EQ(2u, FilesIn(scratch.path()).size());
}

TEST(CompactFile, TemporaryNameSitsBesideTheOutput) {
  EXPECT_EQ(L"C:\\L\\a.log.gz.42.tmp", CompactFile::TemporaryName(L"C:\\L\\a.log.gz", 42));
}
