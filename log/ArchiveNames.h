// The names the log archiver builds: the compression tool path, the name a full log is
// moved to, the name of the .gz to write and the tool's command line. Pure text, no I/O.
#pragma once

#include <string>

namespace ArchiveNames {

// Folder of the compression tool below the common application-data folder.
extern const wchar_t kCompactorRelativePath[];

// The tool path, enclosed in double quotes: the application-data folder, the separator
// step, then the relative path. With an empty folder it is the relative path alone.
std::wstring QuotedToolPath(const std::wstring& commonAppDataFolder);

// The extension of the last path component, dot included ("" when there is none),
// as the run-time path split finds it. False when the extension does not fit the
// split's 256-character buffer.
bool SplitExtension(const std::wstring& path, std::wstring* extension);

// logPath without its extension, then "[date]", "[time]" and the extension:
// C:\L\SentrelSrv.log -> C:\L\SentrelSrv[05-12-26][14-03-27].log.
// Empty when the path has no extension (such a file cannot be archived).
std::wstring ArchivedName(const std::wstring& logPath, const std::wstring& dateText,
                          const std::wstring& timeText);

// The .gz to write: `requested` when given; otherwise archivedName + ".gz", or, when
// that already names a file, archivedName + secondsSince1970 + ".gz".
std::wstring OutputName(const std::wstring& requested, const std::wstring& archivedName,
                        bool defaultNameExists, unsigned long long secondsSince1970);

// The tool's command line: <quotedTool> -compressfile "<archivedName>" "<outputName>".
std::wstring CommandLine(const std::wstring& quotedToolPath, const std::wstring& archivedName,
                         const std::wstring& outputName);

}  // namespace ArchiveNames
