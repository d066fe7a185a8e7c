// What SentrelSrv expects of a filter plug-in DLL.
//
// The service loads each plug-in by its full path with LoadLibraryW:
//   <web filter install folder>\Plugins\Hearth\HearthPlugin.dll    parental-control URL filter
//   <web filter install folder>\Plugins\Malware\MalwarePlugin.dll  malware web filter
//   <web filter install folder>\Plugins\IDTheft\IDTheft.dll        identity-theft filter
// where the install folder is the value "InstallPath" of
// HKEY_LOCAL_MACHINE\SOFTWARE\Veltrane\WebFilter. The suite's folders are put in front
// of PATH first, so a plug-in finds DLLs of its own there.
//
// Exports are plain C functions (no C++ types cross the boundary), found by these exact
// names with GetProcAddress, without arguments, and called on the service's one worker
// thread, which they hold until they return.
//
//   GetProtectionStatus  asked on a freshly loaded copy of the DLL whose Start was not
//                        called (the service loads it, asks, and frees it again). 0 means
//                        protection off (the service notifies, then stops the plug-in);
//                        any other value means on (it starts, then notifies it).
//   Start                called once per load; true means started. A load that misses
//                        Start, Stop or OnNotifyChanges (Hearth: also GenerateReports)
//                        is never started. After a false result the DLL stays loaded
//                        until the next start attempt or stop, which may call Stop.
//   OnNotifyChanges      the plug-in's settings changed; called while it is started,
//                        including just before Stop when protection was switched off.
//                        The result is ignored.
//   Stop                 true means stopped; the DLL is freed right after, whatever the
//                        result. The service waits at most a few seconds for it at shutdown.
//   GenerateReports      required of the Hearth plug-in, never called by the service.
//
// The identity-theft plug-in is never started by the service; at shutdown it is only
// told to stop when the DLL is present.
#pragma once

#ifdef __cplusplus
#define FILTER_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#include <stdbool.h>
#define FILTER_PLUGIN_EXPORT __declspec(dllexport)
#endif

FILTER_PLUGIN_EXPORT unsigned char GetProtectionStatus(void);
FILTER_PLUGIN_EXPORT bool Start(void);
FILTER_PLUGIN_EXPORT bool OnNotifyChanges(void);
FILTER_PLUGIN_EXPORT bool Stop(void);
FILTER_PLUGIN_EXPORT void GenerateReports(void);
