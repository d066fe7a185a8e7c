#include "plugins/PluginHost.h"

#include <atomic>

#include "log/Logger.h"
#include "plugins/IDTheftIpcListener.h"
#include "plugins/PluginSlot.h"
#include "plugins/ProductLocations.h"

namespace ExFilterDriver {

namespace {

// The slots live until the process ends and are never destroyed: freeing a plug-in
// from a static destructor at exit could pull its code from under threads of its own.
PluginSlot& HearthSlot() {
  static PluginSlot* slot = new PluginSlot();
  return *slot;
}

PluginSlot& MalwareSlot() {
  static PluginSlot* slot = new PluginSlot();
  return *slot;
}

bool PathInto(std::wstring& path, const std::wstring& existing) {
  path = existing;
  return !path.empty();
}

}  // namespace

namespace Hearth {

namespace {

// The Hearth texts differ from the Malware ones in places ("Hearth:Hearth:",
// "StartHTTPFltPlugin"); readers of the suite's logs match them as they stand.
const PluginTexts kTexts = {
    L"ExFilterDriver:Hearth:GetProtectionStatus : invoked.",
    L"ExFilterDriver:Hearth:GetProtectionStatus : Failed to GetHearthUrlFilterPath.",
    L"ExFilterDriver:Hearth:GetProtectionStatus : Plugin doesn't exists - %s",
    L"ExFilterDriver:Hearth:GetProtectionStatus : Failed to load-library , GLE = %d",
    L"ExFilterDriver:Hearth:Hearth:GetProtectionStatus : Failed to GetProcAddress PFNIDTHEFTGETPROTSTATUS.",
    L"ExFilterDriver:Hearth:GetProtectionStatus : Protection Status = %s",
    L"ExFilterDriver:Hearth: StartPlugin : Will attempt to Start Hearth Plugin...",
    L"ExFilterDriver:Hearth: StartPlugin : Plugin already active.",
    L"ExFilterDriver:Hearth:StartPlugin : Failed to GetHearthUrlFilterPath.",
    L"ExFilterDriver:Hearth:StartPlugin : Plugin doesn't exists - %s",
    L"ExFilterDriver:Hearth:StartPlugin : Failed to load-library , GLE = %d",
    L"ExFilterDriver:Hearth:StartPlugin : Failed to GetProcAddress-StartHTTPFltPlugin , GLE = %d",
    L"ExFilterDriver:Hearth:StartPlugin : Failed to GetProcAddress-StopHTTPFltPlugin , GLE = %d",
    L"ExFilterDriver:Hearth:StartPlugin : Failed to GetProcAddress-pfnOnNotifyChanges , GLE = %d",
    L"ExFilterDriver:Hearth:StartPlugin : Failed to GetProcAddress-m_pfnGenerateReports , GLE = %d",
    L"ExFilterDriver:Hearth:StartPlugin : Hearth Plugin started.",
    L"ExFilterDriver:Hearth:StartPlugin : Failed to START Hearth Plugin.",
    L"Cannot notify Hearth plugin with changes , Plugin Not Active.",
    L"Cannot notify Hearth plugin with changes.",
    L"ExFilterDriver:Hearth:StopPlugin : Will attempt to Stop Hearth Plugin...",
    L"ExFilterDriver:Hearth:StopPlugin : m_hHearthLibrary is NULL.",
    L"ExFilterDriver:Hearth:StopPlugin : Stop pointer is NULL.",
    L"ExFilterDriver:Hearth:StopPlugin : Failed to STOP Hearth Plugin.",
    L"ExFilterDriver:Hearth:StopPlugin : Hearth Plugin stopped.",
};

std::wstring PathOf() { return GetHearthUrlFilterPath(); }

}  // namespace

bool IsPluginAvailable() { return IsAvailable(&PathOf); }
unsigned char GetProtectionStatus() { return QueryProtectionStatus(&PathOf, kTexts); }
bool StartPlugin() { return StartInSlot(HearthSlot(), &PathOf, kTexts); }
void NotifyChanges() { NotifySlot(HearthSlot(), kTexts); }
bool StopPlugin() { return StopSlot(HearthSlot(), kTexts); }

bool GetHearthUrlFilterPath(std::wstring& path) { return PathInto(path, GetHearthUrlFilterPath()); }

std::wstring GetHearthUrlFilterPath() {
  return ExistingPluginFile(ProductLocations::GetHearthPluginFolder(), L"HearthPlugin.dll");
}

}  // namespace Hearth

namespace Malware {

namespace {

const PluginTexts kTexts = {
    L"ExFilterDriver:Malware:GetProtectionStatus : invoked.",
    L"ExFilterDriver:Malware:GetProtectionStatus : Failed to GetMalwarePluginPath.",
    L"ExFilterDriver:Malware:GetProtectionStatus : Plugin doesn't exists - %s",
    L"ExFilterDriver:Malware:GetProtectionStatus : Failed to load-library , GLE = %d",
    L"ExFilterDriver:Malware:GetProtectionStatus : Failed to GetProcAddress PFNIDTHEFTGETPROTSTATUS.",
    L"ExFilterDriver:Malware:GetProtectionStatus : Protection Status = %s",
    L"ExFilterDriver:Malware: StartPlugin : Will attempt to Start Malware Plugin...",
    L"ExFilterDriver:Malware: StartPlugin : Plugin already active.",
    L"ExFilterDriver:Malware:StartPlugin : Failed to GetMalwarePluginPath.",
    L"ExFilterDriver:Malware:StartPlugin : Plugin doesn't exists - %s",
    L"ExFilterDriver:Malware:StartPlugin : Failed to load-library , GLE = %d",
    L"ExFilterDriver:Malware:StartPlugin : Failed to GetProcAddress-Start , GLE = %d",
    L"ExFilterDriver:Malware:StartPlugin : Failed to GetProcAddress-Stop , GLE = %d",
    L"ExFilterDriver:Malware:StartPlugin : Failed to GetProcAddress-pfnOnNotifyChanges , GLE = %d",
    nullptr,  // "GenerateReports" is not resolved for this plug-in
    L"ExFilterDriver:Malware:StartPlugin : Malware Plugin started.",
    L"ExFilterDriver:Malware:StartPlugin : Failed to START Malware Plugin.",
    L"Cannot notify Malware plugin with changes , Plugin Not Active.",
    L"Cannot notify Malware plugin with changes.",
    L"ExFilterDriver:Malware:StopPlugin : Will attempt to Stop Malware Plugin...",
    L"ExFilterDriver:Malware:StopPlugin : MalwareLibrary is NULL.",
    L"ExFilterDriver:Malware:StopPlugin : Stop pointer is NULL.",
    L"ExFilterDriver:Malware:StopPlugin : Failed to STOP Malware Plugin.",
    L"ExFilterDriver:Malware:StopPlugin : Malware Plugin stopped.",
};

std::wstring PathOf() { return GetMalwarePluginPath(); }

}  // namespace

bool IsPluginAvailable() { return IsAvailable(&PathOf); }
unsigned char GetProtectionStatus() { return QueryProtectionStatus(&PathOf, kTexts); }
bool StartPlugin() { return StartInSlot(MalwareSlot(), &PathOf, kTexts); }
void NotifyChanges() { NotifySlot(MalwareSlot(), kTexts); }
bool StopPlugin() { return StopSlot(MalwareSlot(), kTexts); }

bool GetMalwarePluginPath(std::wstring& path) { return PathInto(path, GetMalwarePluginPath()); }

std::wstring GetMalwarePluginPath() {
  return ExistingPluginFile(ProductLocations::GetMalwarePluginFolder(), L"MalwarePlugin.dll");
}

}  // namespace Malware

namespace IDTheft {

namespace {

// Built before the entry point runs, destroyed at exit (its destructor closes it).
IpcListener g_ipcListener;
// Read by the listener thread, cleared by the stop on the worker thread.
std::atomic<UserResponseEntry> g_userResponseEntry{nullptr};

std::wstring PathOf() { return GetIDTheftPluginPath(); }

}  // namespace

bool IsPluginAvailable() { return IsAvailable(&PathOf); }

bool StopPlugin() {
  Logger& log = Logger::Instance();
  log.Log(LogLevel::Always, L"ExFilterDriver:IDTheft:StopPlugin : Will attempt to Stop IDheft Plugin ...");
  // The entry is cleared before the listener is closed: a response that arrives during
  // the stop is logged but goes no further.
  g_userResponseEntry.store(nullptr);
  g_ipcListener.Close();
  log.Log(LogLevel::Warn, L"ExFilterDriver:IDTheft:StopPlugin : m_hLibrary is NULL.");
  return false;
}

bool GetIDTheftPluginPath(std::wstring& path) { return PathInto(path, GetIDTheftPluginPath()); }

std::wstring GetIDTheftPluginPath() {
  return ExistingPluginFile(ProductLocations::GetIDTheftPluginFolder(), L"IDTheft.dll");
}

IpcListener& GetIpcListener() { return g_ipcListener; }

void SetUserResponseEntry(UserResponseEntry entry) { g_userResponseEntry.store(entry); }

UserResponseEntry GetUserResponseEntry() { return g_userResponseEntry.load(); }

}  // namespace IDTheft

}  // namespace ExFilterDriver
