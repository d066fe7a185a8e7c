// The plug-in host: loads the suite's filter plug-in DLLs from their folders and
// drives them through their exports ("Start", "Stop", "OnNotifyChanges",
// "GenerateReports", "GetProtectionStatus"; see samples/plugins/FilterPluginContract.h).
//
//   Hearth   parental-control URL filter   <web filter>\Plugins\Hearth\HearthPlugin.dll
//   Malware  malware web filter            <web filter>\Plugins\Malware\MalwarePlugin.dll
//   IDTheft  identity-theft filter         <web filter>\Plugins\IDTheft\IDTheft.dll
//
// Free functions over process-wide slots. The filter core calls them on its worker
// thread only, one at a time, so the slots take no lock. Hearth and Malware are
// started, notified and stopped; the identity-theft plug-in is only ever stopped, and
// its slot owns the identity-theft response listener.
#pragma once

#include <string>

namespace ExFilterDriver {

namespace Hearth {

// True when the installed suite type is not "zk" and the DLL file exists.
bool IsPluginAvailable();
// The protection status byte (0 off, non-zero on) asked from a load of its own, which
// leaves the slot untouched; 0 when it cannot be asked.
unsigned char GetProtectionStatus();
// Loads the DLL into the slot and calls "Start"; true when it started or was active.
bool StartPlugin();
// Calls "OnNotifyChanges" of the active plug-in.
void NotifyChanges();
// Calls "Stop" of the loaded plug-in and frees it; false when nothing was loaded or
// "Stop" failed.
bool StopPlugin();
// The DLL's full path into `path` when the file exists (true); else `path` is empty.
bool GetHearthUrlFilterPath(std::wstring& path);
// The DLL's full path when the file exists, else empty.
std::wstring GetHearthUrlFilterPath();

}  // namespace Hearth

namespace Malware {

bool IsPluginAvailable();
unsigned char GetProtectionStatus();
bool StartPlugin();
void NotifyChanges();
bool StopPlugin();
bool GetMalwarePluginPath(std::wstring& path);
std::wstring GetMalwarePluginPath();

}  // namespace Malware

namespace IDTheft {

class IpcListener;

// Receives the user's answers to the identity-theft filter's prompts: block flag,
// modify flag, rule. Its result is not used.
using UserResponseEntry = bool (*)(unsigned char block, unsigned char modify, const std::wstring& rule);

bool IsPluginAvailable();
// Clears the user-response entry, closes the response listener and returns false:
// this service never loads the identity-theft library.
bool StopPlugin();
bool GetIDTheftPluginPath(std::wstring& path);
std::wstring GetIDTheftPluginPath();

// The one process-wide response listener (built before the entry point runs).
IpcListener& GetIpcListener();
// The user-response entry that the listener calls; null when none is set.
void SetUserResponseEntry(UserResponseEntry entry);
UserResponseEntry GetUserResponseEntry();

}  // namespace IDTheft

}  // namespace ExFilterDriver
