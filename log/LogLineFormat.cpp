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

int CallFormat(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = FormatMessageText(buffer, capacity, format, args);
  va_end(args);
  return length;
}

// The date and time text of the last second this thread formatted.
struct DateTimeCache {
  bool valid;
  WORD year, month, day, hour, minute, second;
  wchar_t date[64];
  wchar_t time[64];
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
  return CallFormat(buffer, capacity, L"%s %s:%03d [P:%5d][T:%5d] %s - %s%s", dateText, timeText,
                    milliseconds, static_cast<int>(processId), static_cast<int>(threadId), label,
                    text, L"\r\n");
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
