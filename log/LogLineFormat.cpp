#include "log/LogLineFormat.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace LogLineFormat {
namespace {

// Label texts and their bracketed forms, indexed by level. The widths are uneven on
// purpose: readers of the suite's logs match these exact texts.
const wchar_t* const kLabels[] = {L"NONE ", L"DEBUG", L"INFO ", L"WARN", L"ERROR ", L"FATAL", L"ALW  "};
const wchar_t* const kBracketed[] = {L"[NONE ]", L"[DEBUG]", L"[INFO ]", L"[WARN]",
                                     L"[ ERROR  ]", L"[ FATAL ]", L"[ALW  ]"};
constexpr int kLevelCount = sizeof(kLabels) / sizeof(kLabels[0]);

constexpr size_t kLabelLengths[] = {7, 7, 7, 6, 10, 9, 7};

// Appends `length` characters at `*position`; false when they would not leave room for
// the terminator.
bool Append(wchar_t* buffer, size_t capacity, size_t* position, const wchar_t* text, size_t length) {
  if (*position + length >= capacity) return false;
  std::wmemcpy(buffer + *position, text, length);
  *position += length;
  return true;
}

// "<dateTime><ms><ids><label> - <text>\r\n", where dateTime is "<date> <time>:" and ids
// is " [P:<pid>][T:<tid>] ". Returns the length, or -1 (empty buffer) when it does not fit.
int AssembleLine(wchar_t* buffer, size_t capacity, const wchar_t* dateTime, size_t dateTimeLength,
                 int milliseconds, const wchar_t* ids, size_t idsLength, int level, const wchar_t* text) {
  wchar_t ms[16];
  size_t msLength = 3;
  if (milliseconds >= 0 && milliseconds <= 999) {
    ms[0] = static_cast<wchar_t>(L'0' + milliseconds / 100);
    ms[1] = static_cast<wchar_t>(L'0' + milliseconds / 10 % 10);
    ms[2] = static_cast<wchar_t>(L'0' + milliseconds % 10);
  } else {
    const int length = _snwprintf(ms, 16, L"%03d", milliseconds);
    msLength = length > 0 ? static_cast<size_t>(length) : 0;
  }
  size_t position = 0;
  const bool fits = Append(buffer, capacity, &position, dateTime, dateTimeLength) &&
                    Append(buffer, capacity, &position, ms, msLength) &&
                    Append(buffer, capacity, &position, ids, idsLength) &&
                    Append(buffer, capacity, &position, kBracketed[level], kLabelLengths[level]) &&
                    Append(buffer, capacity, &position, L" - ", 3) &&
                    Append(buffer, capacity, &position, text, std::wcslen(text)) &&
                    Append(buffer, capacity, &position, L"\r\n", 2);
  if (!fits) {
    buffer[0] = L'\0';
    return -1;
  }
  buffer[position] = L'\0';
  return static_cast<int>(position);
}

int CallFormat(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = FormatMessageText(buffer, capacity, format, args);
  va_end(args);
  return length;
}

// The date and time text of the last second this thread formatted, and the id block
// of this thread.
struct DateTimeCache {
  bool valid;
  WORD year, month, day, hour, minute, second;
  wchar_t date[64];
  wchar_t time[64];
  wchar_t dateTime[136];  // "<date> <time>:"
  size_t dateTimeLength;
  DWORD processId, threadId;
  wchar_t ids[48];  // " [P:<pid>][T:<tid>] "
  size_t idsLength;
};

thread_local DateTimeCache t_cache = {};

}  // namespace

const wchar_t* LevelLabel(int level) {
  return (level >= 0 && level < kLevelCount) ? kLabels[level] : nullptr;
}

const wchar_t* BracketedLabel(int level) {
  return (level >= 0 && level < kLevelCount) ? kBracketed[level] : nullptr;
}

int FormatMessageText(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  if (buffer == nullptr || capacity == 0 || format == nullptr) return -1;
  const int length = _vsnwprintf(buffer, capacity, format, args);
  // A result of `capacity` leaves no room for the terminator: too long as well.
  if (length < 0 || static_cast<size_t>(length) >= capacity) {
    buffer[0] = L'\0';
    return -1;
  }
  buffer[length] = L'\0';
  return length;
}

int FormatMessageText(char* buffer, size_t capacity, const char* format, va_list args) {
  if (buffer == nullptr || capacity == 0 || format == nullptr) return -1;
  const int length = _vsnprintf(buffer, capacity, format, args);
  if (length < 0 || static_cast<size_t>(length) >= capacity) {
    buffer[0] = '\0';
    return -1;
  }
  buffer[length] = '\0';
  return length;
}

int FormatLine(wchar_t* buffer, size_t capacity, const wchar_t* dateText, const wchar_t* timeText,
               int milliseconds, DWORD processId, DWORD threadId, int level, const wchar_t* text) {
  const wchar_t* label = BracketedLabel(level);
  if (label == nullptr || dateText == nullptr || timeText == nullptr || text == nullptr) {
    if (buffer != nullptr && capacity > 0) buffer[0] = L'\0';
    return -1;
  }
  if (buffer == nullptr || capacity == 0) return -1;
  wchar_t dateTime[136];
  wchar_t ids[48];
  const int dateTimeLength = CallFormat(dateTime, 136, L"%s %s:", dateText, timeText);
  const int idsLength = CallFormat(ids, 48, L" [P:%5d][T:%5d] ", static_cast<int>(processId),
                                   static_cast<int>(threadId));
  if (dateTimeLength < 0 || idsLength < 0) {
    buffer[0] = L'\0';
    return -1;
  }
  return AssembleLine(buffer, capacity, dateTime, static_cast<size_t>(dateTimeLength), milliseconds, ids,
                      static_cast<size_t>(idsLength), level, text);
}

int ComposeLine(wchar_t* buffer, size_t capacity, const SYSTEMTIME& localTime, DWORD processId,
                DWORD threadId, int level, const wchar_t* text) {
  if (buffer == nullptr || capacity == 0) return -1;
  if (BracketedLabel(level) == nullptr || text == nullptr) {
    buffer[0] = L'\0';
    return -1;
  }
  FormatDateTime(localTime);
  DateTimeCache& cache = t_cache;
  if (cache.idsLength == 0 || cache.processId != processId || cache.threadId != threadId) {
    const int length = CallFormat(cache.ids, 48, L" [P:%5d][T:%5d] ", static_cast<int>(processId),
                                  static_cast<int>(threadId));
    cache.idsLength = length > 0 ? static_cast<size_t>(length) : 0;
    cache.processId = processId;
    cache.threadId = threadId;
  }
  return AssembleLine(buffer, capacity, cache.dateTime, cache.dateTimeLength, localTime.wMilliseconds, cache.ids,
                      cache.idsLength, level, text);
}

DateTimeText FormatDateTime(const SYSTEMTIME& localTime) {
  DateTimeCache& cache = t_cache;
  if (!cache.valid || cache.second != localTime.wSecond || cache.minute != localTime.wMinute ||
      cache.hour != localTime.wHour || cache.day != localTime.wDay ||
      cache.month != localTime.wMonth || cache.year != localTime.wYear) {
    if (::GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &localTime, L"dd/MM/yy", cache.date, 64) == 0) {
      cache.date[0] = L'\0';
    }
    if (::GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &localTime, L"HH:mm:ss", cache.time, 64) == 0) {
      cache.time[0] = L'\0';
    }
    const int length = CallFormat(cache.dateTime, 136, L"%s %s:", cache.date, cache.time);
    cache.dateTimeLength = length > 0 ? static_cast<size_t>(length) : 0;
    cache.year = localTime.wYear;
    cache.month = localTime.wMonth;
    cache.day = localTime.wDay;
    cache.hour = localTime.wHour;
    cache.minute = localTime.wMinute;
    cache.second = localTime.wSecond;
    cache.valid = true;
  }
  return DateTimeText{cache.date, cache.time};
}

}  // namespace LogLineFormat
