// The text of one log line: level labels, date and time pictures, the line layout.
// Pure functions over plain inputs; no file or clock access.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstddef>

namespace LogLineFormat {

// Capacity of the line buffer: a finished line (CR LF included) may hold at most
// kLineCapacity - 1 characters, a longer one is dropped rather than cut.
constexpr size_t kLineCapacity = 3200;
// Capacity of the message buffer: a message may hold at most kMessageCapacity - 1
// characters.
constexpr size_t kMessageCapacity = 5120;

// The label text of a level ("DEBUG", "INFO ", ...); "NONE " for 0, null outside 0..6.
const wchar_t* LevelLabel(int level);

// The bracketed label ("[DEBUG]", "[ ERROR  ]", ...); null outside 0..6.
const wchar_t* BracketedLabel(int level);

// Formats one line, "<date> <time>:<ms> [P:<pid>][T:<tid>] <label> - <text>\r\n",
// into `buffer` (capacity `capacity` characters, terminated). Returns the length in
// characters, or -1 when the line does not fit, the level has no label, or an
// argument is null.
int FormatLine(wchar_t* buffer, size_t capacity, const wchar_t* dateText, const wchar_t* timeText,
               int milliseconds, DWORD processId, DWORD threadId, int level, const wchar_t* text);

// The same line for a local time, with the date and time texts of FormatDateTime and the
// id block kept per thread, so that a line costs no formatting call of its own.
int ComposeLine(wchar_t* buffer, size_t capacity, const SYSTEMTIME& localTime, DWORD processId,
                DWORD threadId, int level, const wchar_t* text);

// Formats `format` with `args` (Microsoft rules: a wide %s takes a wide string) into
// `buffer`. Returns the length, or -1 when the text needs `capacity` characters or more.
int FormatMessageText(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);
// The narrow form (%s takes a narrow string).
int FormatMessageText(char* buffer, size_t capacity, const char* format, va_list args);

// The date and time texts of one local time: "dd/MM/yy" and "HH:mm:ss" through the
// system default locale. Formats once per second and thread, reusing the text for
// later lines of the same second.
struct DateTimeText {
  const wchar_t* date;
  const wchar_t* time;
};
DateTimeText FormatDateTime(const SYSTEMTIME& localTime);

}  // namespace LogLineFormat
