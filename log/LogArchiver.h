// Moves a full log file aside under a timestamped name and starts the compression tool.
#pragma once

#include <windows.h>

#include <string>

// logPath: the closed log file. outputName: the .gz to write, empty for the default.
// waitMs: 0 returns once the tool has started, otherwise the longest wait for it.
// True when the compression tool was started.
bool ArchiveLogFile(const std::wstring& logPath, const std::wstring& outputName, DWORD waitMs);
