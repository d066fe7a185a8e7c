#include "log/LogArchiver.h"

#include <vector>

#include "common/ExCommon.h"
#include "common/UniqueHandle.h"
#include "log/ArchiveNames.h"
#include "log/Logger.h"
#include "plugins/ProductLocations.h"

namespace {

const int kFormatBufferChars = 260;

std::wstring FormatLocalDate(const SYSTEMTIME& time, const wchar_t* picture) {
  wchar_t buffer[kFormatBufferChars] = {};
  if (::GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &time, picture, buffer, kFormatBufferChars) == 0)
    return std::wstring();
  return buffer;
}

std::wstring FormatLocalTime(const SYSTEMTIME& time, const wchar_t* picture) {
  wchar_t buffer[kFormatBufferChars] = {};
  if (::GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &time, picture, buffer, kFormatBufferChars) == 0)
    return std::wstring();
  return buffer;
}

// Seconds since 1970-01-01 UTC.
unsigned long long CurrentUnixSeconds() {
  FILETIME now = {};
  ::GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks;
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  const unsigned long long kEpochDifference = 116444736000000000ULL;  // 1601 -> 1970, 100 ns
  return (ticks.QuadPart - kEpochDifference) / 10000000ULL;
}

}  // namespace

bool ArchiveLogFile(const std::wstring& logPath, const std::wstring& outputName, DWORD waitMs) {
  ArchiveJob job;
  return MoveLogAside(logPath, outputName, &job) && StartArchiveTool(job, waitMs);
}

bool MoveLogAside(const std::wstring& logPath, const std::wstring& outputName, ArchiveJob* job) {
  SYSTEMTIME now = {};
  ::GetLocalTime(&now);
  const std::wstring dateText = FormatLocalDate(now, L"dd-MM-yy");
  const std::wstring timeText = FormatLocalTime(now, L"HH-mm-ss");

  // No extension: the file cannot be given a distinct archived name, so it stays put.
  const std::wstring archivedName = ArchiveNames::ArchivedName(logPath, dateText, timeText);
  if (archivedName.empty()) return false;

  // An existing file of that name (a rotation earlier in the same second) is not
  // replaced: the rename fails and the log stays where it is for a later try.
  if (!::MoveFileExW(logPath.c_str(), archivedName.c_str(), MOVEFILE_COPY_ALLOWED)) return false;

  const bool defaultExists =
      outputName.empty() && ExCommon::IsFile(archivedName + L".gz");
  const std::wstring output =
      ArchiveNames::OutputName(outputName, archivedName, defaultExists, CurrentUnixSeconds());
  // The tool never replaces an existing archive, so a log whose output name is taken
  // (a third rotation within one second) could not be packed and would stay beside
  // the live log for good. Put it back instead: the next line tries again, under the
  // name of a later second.
  if (ExCommon::IsFile(output)) {
    ::MoveFileExW(archivedName.c_str(), logPath.c_str(), 0);
    return false;
  }
  job->archivedName = archivedName;
  job->outputName = output;
  return true;
}

bool StartArchiveTool(const ArchiveJob& job, DWORD waitMs) {
  const std::wstring toolPath =
      ArchiveNames::QuotedToolPath(ProductLocations::GetCommonAppDataFolder());
  if (toolPath.empty()) return false;
  const std::wstring commandLine = ArchiveNames::CommandLine(toolPath, job.archivedName, job.outputName);

  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &info)) {
    const DWORD error = ::GetLastError();
    Logger::Instance().Log(LogLevel::Error, L"ExCreateProces failed, app=%s, gle=%d",
                           commandLine.c_str(), static_cast<int>(error));
    return false;
  }
  UniqueKernelHandle process(info.hProcess);
  UniqueKernelHandle thread(info.hThread);

  if (waitMs != 0) {
    ::WaitForSingleObject(process.get(), waitMs);
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.get(), &exitCode);  // read, but it does not change the result
  }
  return true;
}
