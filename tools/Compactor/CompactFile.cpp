#include "tools/Compactor/CompactFile.h"

#include <windows.h>

#include "common/UniqueHandle.h"
#include "tools/Compactor/GzipStream.h"

namespace CompactFile {

namespace {

std::wstring WithError(const std::wstring& text, DWORD error) {
  return text + L", gle=" + std::to_wstring(error);
}

// Deletes the temporary file unless the archive was renamed into place.
class TemporaryFileGuard {
 public:
  explicit TemporaryFileGuard(const std::wstring& path) : path_(path) {}
  ~TemporaryFileGuard() {
    if (armed_) ::DeleteFileW(path_.c_str());
  }
  TemporaryFileGuard(const TemporaryFileGuard&) = delete;
  TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;
  void Arm() { armed_ = true; }
  void Disarm() { armed_ = false; }

 private:
  std::wstring path_;
  bool armed_ = false;
};

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

std::wstring TemporaryName(const std::wstring& output, unsigned long processId) {
  return output + L"." + std::to_wstring(processId) + L".tmp";
}

Report Compact(const std::wstring& input, const std::wstring& output, int level) {
  Report report;
  LARGE_INTEGER frequency, started, finished;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&started);

  // No other writer while packing: a line appended after the read would be lost with the
  // input. DELETE access lets the same handle remove the input at the end.
  UniqueKernelHandle source(::CreateFileW(input.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                          nullptr));
  if (!source) {
    report.code = CompactorArgs::kInputUnreadable;
    report.message = WithError(L"cannot open the input " + input, ::GetLastError());
    return report;
  }
  if (Exists(output)) {
    report.code = CompactorArgs::kOutputExists;
    report.message = L"the output already exists: " + output;
    return report;
  }

  const std::wstring temporary = TemporaryName(output, ::GetCurrentProcessId());
  TemporaryFileGuard guard(temporary);
  {
    UniqueKernelHandle target(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target) {
      report.code = CompactorArgs::kOutputFailed;
      report.message = WithError(L"cannot create " + temporary, ::GetLastError());
      return report;
    }
    guard.Arm();

    DWORD ioError = 0;
    const Gzip::Result packed = Gzip::Compress(
        [&](unsigned char* buffer, size_t capacity, size_t* read) {
          DWORD got = 0;
          if (!::ReadFile(source.get(), buffer, static_cast<DWORD>(capacity), &got, nullptr)) {
            ioError = ::GetLastError();
            return false;
          }
          *read = got;
          return true;
        },
        [&](const unsigned char* data, size_t size) {
          while (size != 0) {
            DWORD written = 0;
            if (!::WriteFile(target.get(), data, static_cast<DWORD>(size), &written, nullptr) ||
                written == 0) {
              ioError = ::GetLastError();
              return false;
            }
            data += written;
            size -= written;
          }
          return true;
        },
        level);
    if (!packed.ok) {
      const bool readFailed = packed.error == "read failed";
      report.code = readFailed ? CompactorArgs::kInputUnreadable : CompactorArgs::kOutputFailed;
      report.message = WithError(readFailed ? L"cannot read " + input : L"cannot write " + temporary,
                                 ioError);
      return report;
    }
    report.bytesIn = packed.bytesIn;
    report.bytesOut = packed.bytesOut;
    if (!::FlushFileBuffers(target.get())) {
      report.code = CompactorArgs::kOutputFailed;
      report.message = WithError(L"cannot flush " + temporary, ::GetLastError());
      return report;
    }
  }

  // Without MOVEFILE_REPLACE_EXISTING an archive that appeared meanwhile is kept.
  if (!::MoveFileExW(temporary.c_str(), output.c_str(), MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = ::GetLastError();
    report.code = Exists(output) ? CompactorArgs::kOutputExists : CompactorArgs::kOutputFailed;
    report.message = WithError(L"cannot rename " + temporary + L" to " + output, error);
    return report;
  }
  guard.Disarm();
  ::QueryPerformanceCounter(&finished);
  report.compressSeconds =
      static_cast<double>(finished.QuadPart - started.QuadPart) / frequency.QuadPart;

  // The archive is complete and in place: now the input may go.
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  const bool marked = ::SetFileInformationByHandle(source.get(), FileDispositionInfo, &disposition,
                                                   sizeof(disposition)) != FALSE;
  source.reset();
  if (!marked && !::DeleteFileW(input.c_str()) && Exists(input)) {
    report.code = CompactorArgs::kInputNotDeleted;
    report.message = WithError(L"archive written, but cannot delete " + input, ::GetLastError());
  }
  return report;
}

}  // namespace CompactFile
