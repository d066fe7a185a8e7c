// Moves a full log file aside under a timestamped name and starts the compression tool.
//
// The two steps are also offered one by one, for a caller that holds a lock around the
// rename but must not hold it while the tool starts (loading the shell's folder lookup
// and starting a process can take long).
#pragma once

#include <windows.h>

#include <string>

// A log moved aside and the archive the tool is to write from it.
struct ArchiveJob {
  std::wstring archivedName;
  std::wstring outputName;
};

// logPath: the closed log file. outputName: the .gz to write, empty for the default.
// waitMs: 0 returns once the tool has started, otherwise the longest wait for it.
// True when the compression tool was started.
bool ArchiveLogFile(const std::wstring& logPath, const std::wstring& outputName, DWORD waitMs);

// First step: renames logPath to its timestamped name (never over an existing file) and
// chooses the output name. False, with the log where it was, when it cannot be moved or
// no output name is free.
bool MoveLogAside(const std::wstring& logPath, const std::wstring& outputName, ArchiveJob* job);

// Second step: starts the tool on a log that MoveLogAside moved; a failed start is
// logged. waitMs as for ArchiveLogFile. True when the tool was started.
bool StartArchiveTool(const ArchiveJob& job, DWORD waitMs);
