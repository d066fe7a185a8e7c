// Conversions between narrow and wide text, and the separator step of folder joins.
#pragma once

#include <windows.h>

#include <string>

// Wide text to the ANSI code page; empty on failure. Stops at an embedded NUL.
std::string WideToAnsi(std::wstring text);
// ANSI code page text to wide; empty on failure. Stops at an embedded NUL.
std::wstring AnsiToWide(std::string text);
// Text in `codePage` (65001 for UTF-8) to wide; invalid sequences are replaced.
std::wstring MultiByteToWide(std::string text, UINT codePage);

// Appends "\" unless the path is empty, ends in "\", or (with colonEndsPath) ends in ":".
std::wstring AddTrailingBackslash(const std::wstring& path, bool colonEndsPath = true);
// Drops one trailing "\" if there is one.
std::wstring RemoveTrailingBackslash(const std::wstring& path);
