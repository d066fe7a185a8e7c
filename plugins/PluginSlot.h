// The slot of one started filter plug-in (Hearth, Malware) and the routines that load,
// start, notify, query and stop it. The two plug-ins differ only in their DLL path and
// their log texts, so each hands its own table of texts to the same routines.
//
// All of this runs on the filter core's worker thread, one call at a time: no lock.
#pragma once

#include <string>

#include "common/UniqueHandle.h"

namespace ExFilterDriver {

// The exports of a plug-in DLL, as the host calls them. They take no arguments; the
// boolean results are read as one byte, so that any non-zero value counts as true.
using PluginStartFn = unsigned char (*)();
using PluginStopFn = unsigned char (*)();
using PluginOnNotifyChangesFn = void (*)();
using PluginGenerateReportsFn = void (*)();
using PluginGetProtectionStatusFn = unsigned char (*)();

// The log lines of one plug-in (wide printf formats). A null `startNoGenerateReports`
// means that the plug-in's "GenerateReports" is not required.
struct PluginTexts {
  // GetProtectionStatus
  const wchar_t* statusInvoked;
  const wchar_t* statusNoPath;
  const wchar_t* statusMissing;      // %s path
  const wchar_t* statusLoadFailed;   // %d gle
  const wchar_t* statusNoEntry;
  const wchar_t* statusValue;        // %s "ON" / "OFF"
  // StartPlugin
  const wchar_t* startAttempt;
  const wchar_t* startAlreadyActive;
  const wchar_t* startNoPath;
  const wchar_t* startMissing;       // %s path
  const wchar_t* startLoadFailed;    // %d gle
  const wchar_t* startNoStart;       // %d gle
  const wchar_t* startNoStop;        // %d gle
  const wchar_t* startNoNotify;      // %d gle
  const wchar_t* startNoGenerateReports;  // %d gle; null: not resolved
  const wchar_t* startStarted;
  const wchar_t* startFailed;
  // NotifyChanges
  const wchar_t* notifyInactive;
  const wchar_t* notifyNoEntry;
  // StopPlugin
  const wchar_t* stopAttempt;
  const wchar_t* stopNoLibrary;
  const wchar_t* stopNoEntry;
  const wchar_t* stopFailed;
  const wchar_t* stopStopped;
};

// Process-wide state of one started plug-in. Entries belong to the library they were
// resolved from: each load clears them and resolves them afresh.
struct PluginSlot {
  UniqueModule library;
  PluginStartFn start = nullptr;
  PluginStopFn stop = nullptr;
  PluginOnNotifyChangesFn onNotifyChanges = nullptr;
  PluginGenerateReportsFn generateReports = nullptr;
  bool active = false;  // from a successful start until the next stop
};

// The plug-in's full path: its folder, a backslash and the file name (no separator
// logic: the folders never end with a backslash).
std::wstring PluginFilePath(const std::wstring& folder, const wchar_t* fileName);

// The path when that file exists (IsFile: present and not a directory), else empty.
std::wstring ExistingPluginFile(const std::wstring& folder, const wchar_t* fileName);

// A plug-in's path operation: the full path of its DLL when the file exists, else empty.
using PluginPathFn = std::wstring (*)();

// False when the installed suite type is "zk" (any case) or the DLL file is missing.
bool IsAvailable(PluginPathFn pathOf);

// Loads a copy of its own, asks "GetProtectionStatus" and frees it; 0 on any failure.
unsigned char QueryProtectionStatus(PluginPathFn pathOf, const PluginTexts& texts);

// Loads the plug-in into the slot (freeing a library left there by a failed start),
// resolves its entries and calls "Start".
bool StartInSlot(PluginSlot& slot, PluginPathFn pathOf, const PluginTexts& texts);

// Calls "OnNotifyChanges" of an active plug-in.
void NotifySlot(const PluginSlot& slot, const PluginTexts& texts);

// Calls "Stop" of a loaded plug-in and frees the library in every case.
bool StopSlot(PluginSlot& slot, const PluginTexts& texts);

}  // namespace ExFilterDriver
