// Small process-level utilities shared by the suite's programs.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ExCommon {

DWORD GeCurrentSessionId();
std::wstring GetModulePath();
// A text value (REG_SZ or REG_EXPAND_SZ, not expanded) under HKEY_LOCAL_MACHINE; empty
// when the key or value is missing, shorter than one character, or of another type.
std::wstring ReadMachineString(const std::wstring& keyPath, const std::wstring& valueName);

std::wstring ProcessPathToServiceName();
std::wstring GetStopRequestEventName();
void RequestServiceStopSupport(const std::wstring& serviceName, const std::wstring& requesterName,
                               DWORD timeoutMs);
bool SetNamedEvent(const std::wstring& eventName, const std::wstring& requesterName);

void SetWatchDogFlag(const std::wstring& serviceName, DWORD value);
bool PrependToPath(const std::vector<std::wstring>& folders);
std::wstring EnsureStoredDataFolder();
std::wstring GetFileVersionString(const std::wstring& filePath);
std::wstring GetTempFolder();

bool EqualsNoCase(const std::wstring& a, const std::wstring& b);
std::wstring ToLower(const std::wstring& text);
std::wstring ToDecimal(unsigned long value);
void ReplaceAll(std::wstring& text, const std::wstring& what, const std::wstring& replacement);

bool IsDirectory(const std::wstring& path);
bool IsFile(const std::wstring& path);
bool CopyFileOver(const std::wstring& source, const std::wstring& target);
void CreateFolderPath(const std::wstring& path);

// Pure steps of the operations above, testable with plain strings.
// The service name for an executable path (known-services table, first substring hit
// after lower-casing both); empty when unknown.
std::wstring ServiceNameForPath(const std::wstring& executablePath);
// The stop-request event name of `serviceName` (every "{0}" of the template replaced).
std::wstring StopRequestEventNameFor(const std::wstring& serviceName);
// The folders joined by ";", then ";" and the current PATH.
std::wstring BuildPrependedPath(const std::vector<std::wstring>& folders,
                                const std::wstring& currentPath);

}  // namespace ExCommon
