// A sample filter plug-in that filters nothing: it honours the export contract of
// FilterPluginContract.h, behaves as a small settings file beside it says, and keeps a
// journal of every call. One source builds HearthPlugin.dll, MalwarePlugin.dll and
// IDTheft.dll, and variants that each leave out one export
// (SAMPLE_PLUGIN_WITHOUT_<EXPORT>).
//
// Beside the DLL, named after its base name (e.g. HearthPlugin.dll):
//   HearthPlugin.settings.ini  checked on every call and read again whenever its time
//   or size changed or it changed in the last seconds, section [SamplePlugin]:
//     ProtectionStatus=1   byte returned by GetProtectionStatus (0..255)
//     StartResult=1        result of Start (0 false, otherwise true)
//     StopResult=1         result of Stop
//     StartDelayMs=0       pause inside Start before it returns
//     StopDelayMs=0        pause inside Stop before it returns
//     StopHangs=0          1: Stop never returns
//     SignalEvent=         name of an existing event set after each export call
//     Journal=1            0: write no journal lines; or a list of the calls to
//                          journal, e.g. Journal=OnNotifyChanges,Stop (for measurements
//                          of one call that should not pay for journaling the others)
//   HearthPlugin.journal.txt   one line per call, appended with one write:
//     <call> <yyyy-mm-ddThh:mm:ss.mmm> qpc=<ticks> pid=<id> tid=<id> result=<value>
//   where <call> is an export name, Attach or Detach (the DLL loaded or freed), the
//   time is local time and qpc the QueryPerformanceCounter value, both taken when the
//   call begins, and <value> what the call returns ("-" for none, "hang" for a Stop
//   that never returns).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "FilterPluginContract.h"

namespace {

constexpr DWORD kPathCapacity = 1024;
constexpr size_t kSuffixCapacity = 32;
constexpr DWORD kSectionCapacity = 4096;
constexpr size_t kEventNameCapacity = 260;
constexpr wchar_t kSection[] = L"SamplePlugin";

// Filled once when the DLL is loaded, read-only afterwards.
wchar_t g_settingsPath[kPathCapacity + kSuffixCapacity];
wchar_t g_journalPath[kPathCapacity + kSuffixCapacity];

struct Settings {
  unsigned protectionStatus = 1;
  bool startResult = true;
  bool stopResult = true;
  DWORD startDelayMs = 0;
  DWORD stopDelayMs = 0;
  bool stopHangs = false;
  bool journal = true;
  // Empty: every call is journaled (when `journal` is set); else only the calls named.
  wchar_t journalCalls[kEventNameCapacity] = {};
  wchar_t signalEvent[kEventNameCapacity] = {};
};

DWORD Number(const wchar_t* text) { return static_cast<DWORD>(std::wcstoul(text, nullptr, 10)); }

long long Ticks() {
  LARGE_INTEGER ticks = {};
  ::QueryPerformanceCounter(&ticks);
  return ticks.QuadPart;
}

// The whole section in one read, so that a call sees one consistent set of values.
Settings ReadSettingsFile() {
  Settings settings;
  if (g_settingsPath[0] == L'\0') return settings;
  wchar_t section[kSectionCapacity] = {};
  const DWORD length = ::GetPrivateProfileSectionW(kSection, section, kSectionCapacity, g_settingsPath);
  for (const wchar_t* entry = section; entry < section + length && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    const wchar_t* equals = std::wcschr(entry, L'=');
    if (equals == nullptr) continue;
    const size_t nameLength = static_cast<size_t>(equals - entry);
    const wchar_t* value = equals + 1;
    auto is = [&](const wchar_t* name) {
      return std::wcslen(name) == nameLength && ::_wcsnicmp(entry, name, nameLength) == 0;
    };
    if (is(L"ProtectionStatus")) settings.protectionStatus = Number(value) & 0xFF;
    else if (is(L"StartResult")) settings.startResult = Number(value) != 0;
    else if (is(L"StopResult")) settings.stopResult = Number(value) != 0;
    else if (is(L"StartDelayMs")) settings.startDelayMs = Number(value);
    else if (is(L"StopDelayMs")) settings.stopDelayMs = Number(value);
    else if (is(L"StopHangs")) settings.stopHangs = Number(value) != 0;
    else if (is(L"Journal")) {
      if (*value >= L'0' && *value <= L'9') settings.journal = Number(value) != 0;
      else ::lstrcpynW(settings.journalCalls, value, static_cast<int>(kEventNameCapacity));
    }
    else if (is(L"SignalEvent")) ::lstrcpynW(settings.signalEvent, value, static_cast<int>(kEventNameCapacity));
  }
  return settings;
}

// The settings file is parsed again only when its time or size changed since the last
// read: parsing it costs far more than the call it configures, and a call's timing is
// what benchmarks measure through this plug-in. A file's time is only as fine as the
// clock that set it (about 16 ms on Windows, 2 s on FAT), so a file rewritten soon after
// it was read can keep both its time and its size: a read is trusted for later calls
// only once the file's time lies well before the moment of that read.
constexpr ULONGLONG kSettledAfter = 3ULL * 10000000ULL;  // 3 s in 100 ns units

SRWLOCK g_settingsLock = SRWLOCK_INIT;
bool g_settingsSettled = false;
WIN32_FILE_ATTRIBUTE_DATA g_settingsStamp = {};
Settings g_cachedSettings;

ULONGLONG FileTimeValue(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool SameStamp(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b) {
  return FileTimeValue(a.ftLastWriteTime) == FileTimeValue(b.ftLastWriteTime) &&
         a.nFileSizeLow == b.nFileSizeLow && a.nFileSizeHigh == b.nFileSizeHigh;
}

Settings ReadSettings() {
  WIN32_FILE_ATTRIBUTE_DATA stamp = {};
  if (g_settingsPath[0] == L'\0' || !::GetFileAttributesExW(g_settingsPath, GetFileExInfoStandard, &stamp)) {
    return Settings();
  }
  ::AcquireSRWLockExclusive(&g_settingsLock);
  if (!g_settingsSettled || !SameStamp(stamp, g_settingsStamp)) {
    FILETIME readAt = {};
    ::GetSystemTimeAsFileTime(&readAt);
    g_cachedSettings = ReadSettingsFile();
    g_settingsStamp = stamp;
    g_settingsSettled = FileTimeValue(stamp.ftLastWriteTime) + kSettledAfter < FileTimeValue(readAt);
  }
  const Settings settings = g_cachedSettings;
  ::ReleaseSRWLockExclusive(&g_settingsLock);
  return settings;
}

// Appends one line with a single write; the file is shared, so readers and other
// processes loading the same DLL may have it open meanwhile. Processes that append at
// the same time are ordered by a lock on one byte far past any line: an append-only
// handle alone lets their lines overwrite each other. `ticks` is the
// QueryPerformanceCounter value taken when the call began.
bool Journaled(const Settings& settings, const char* call) {
  if (!settings.journal) return false;
  if (settings.journalCalls[0] == L'\0') return true;
  const size_t length = std::strlen(call);
  for (const wchar_t* name = settings.journalCalls; *name != L'\0';) {
    const wchar_t* end = name;
    while (*end != L'\0' && *end != L',') ++end;
    bool same = static_cast<size_t>(end - name) == length;
    for (size_t i = 0; same && i < length; ++i) same = name[i] == static_cast<wchar_t>(call[i]);
    if (same) return true;
    name = *end == L',' ? end + 1 : end;
  }
  return false;
}

void Journal(const Settings& settings, long long ticks, const char* call, const char* result) {
  if (!Journaled(settings, call)) return;
  SYSTEMTIME now = {};
  ::GetLocalTime(&now);
  char line[256];
  const int length = std::snprintf(
      line, sizeof(line), "%s %04u-%02u-%02uT%02u:%02u:%02u.%03u qpc=%lld pid=%lu tid=%lu result=%s\r\n", call,
      now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
      ticks, static_cast<unsigned long>(::GetCurrentProcessId()),
      static_cast<unsigned long>(::GetCurrentThreadId()), result);
  if (length <= 0 || length >= static_cast<int>(sizeof(line)) || g_journalPath[0] == L'\0') return;
  const HANDLE file = ::CreateFileW(g_journalPath, GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  OVERLAPPED lockedByte = {};
  lockedByte.OffsetHigh = 0x40000000;
  const bool locked = ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockedByte) != FALSE;
  const LARGE_INTEGER zero = {};
  if (::SetFilePointerEx(file, zero, nullptr, FILE_END)) {
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
  }
  if (locked) ::UnlockFileEx(file, 0, 1, 0, &lockedByte);
  ::CloseHandle(file);
}

// Opened afresh each time, so that an event closed and created again by the watcher is
// still the one that is set.
void SignalAfterCall(const Settings& settings) {
  if (settings.signalEvent[0] == L'\0') return;
  const HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, settings.signalEvent);
  if (event == nullptr) return;
  ::SetEvent(event);
  ::CloseHandle(event);
}

const char* Flag(bool value) { return value ? "1" : "0"; }

// "<folder>\<base>" of this DLL: the settings and journal lie beside it.
void LocateFiles(HMODULE self) {
  wchar_t path[kPathCapacity] = {};
  const DWORD length = ::GetModuleFileNameW(self, path, kPathCapacity);
  if (length == 0 || length >= kPathCapacity) return;
  wchar_t* dot = std::wcsrchr(path, L'.');
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  if (dot != nullptr && (slash == nullptr || dot > slash)) *dot = L'\0';
  _snwprintf(g_settingsPath, kPathCapacity + kSuffixCapacity - 1, L"%s.settings.ini", path);
  _snwprintf(g_journalPath, kPathCapacity + kSuffixCapacity - 1, L"%s.journal.txt", path);
}

}  // namespace

#ifndef SAMPLE_PLUGIN_WITHOUT_GETPROTECTIONSTATUS
unsigned char GetProtectionStatus(void) {
  const long long begin = Ticks();
  const Settings settings = ReadSettings();
  char result[8];
  std::snprintf(result, sizeof(result), "%u", settings.protectionStatus);
  Journal(settings, begin, "GetProtectionStatus", result);
  SignalAfterCall(settings);
  return static_cast<unsigned char>(settings.protectionStatus);
}
#endif

#ifndef SAMPLE_PLUGIN_WITHOUT_START
bool Start(void) {
  const long long begin = Ticks();
  const Settings settings = ReadSettings();
  Journal(settings, begin, "Start", Flag(settings.startResult));
  if (settings.startDelayMs != 0) ::Sleep(settings.startDelayMs);
  SignalAfterCall(settings);
  return settings.startResult;
}
#endif

#ifndef SAMPLE_PLUGIN_WITHOUT_ONNOTIFYCHANGES
bool OnNotifyChanges(void) {
  const long long begin = Ticks();
  const Settings settings = ReadSettings();
  Journal(settings, begin, "OnNotifyChanges", "1");
  SignalAfterCall(settings);
  return true;
}
#endif

#ifndef SAMPLE_PLUGIN_WITHOUT_STOP
bool Stop(void) {
  const long long begin = Ticks();
  const Settings settings = ReadSettings();
  Journal(settings, begin, "Stop", settings.stopHangs ? "hang" : Flag(settings.stopResult));
  if (settings.stopDelayMs != 0) ::Sleep(settings.stopDelayMs);
  if (settings.stopHangs) {
    for (;;) ::Sleep(INFINITE);
  }
  SignalAfterCall(settings);
  return settings.stopResult;
}
#endif

#ifndef SAMPLE_PLUGIN_WITHOUT_GENERATEREPORTS
void GenerateReports(void) {
  const long long begin = Ticks();
  const Settings settings = ReadSettings();
  Journal(settings, begin, "GenerateReports", "-");
  SignalAfterCall(settings);
}
#endif

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(instance);
    LocateFiles(instance);
    Journal(ReadSettings(), Ticks(), "Attach", "-");
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Freed by FreeLibrary (not at process exit, where nothing more is written).
    Journal(ReadSettings(), Ticks(), "Detach", "-");
  }
  return TRUE;
}
