#include "core/PluginManagement.h"

#include "log/Logger.h"
#include "plugins/PluginHost.h"

namespace SentrelCore {

const ManagedPlugin& MalwarePlugin() {
  static const ManagedPlugin plugin = {
      &ExFilterDriver::Malware::IsPluginAvailable, &ExFilterDriver::Malware::GetProtectionStatus,
      &ExFilterDriver::Malware::StartPlugin,       &ExFilterDriver::Malware::NotifyChanges,
      &ExFilterDriver::Malware::StopPlugin,        L"-- Manage MalwarePlugin --",
      L"-- Start MalwarePlugin ON --",             L"-- Stop MalwarePlugin OFF --",
  };
  return plugin;
}

const ManagedPlugin& HearthPlugin() {
  static const ManagedPlugin plugin = {
      &ExFilterDriver::Hearth::IsPluginAvailable, &ExFilterDriver::Hearth::GetProtectionStatus,
      &ExFilterDriver::Hearth::StartPlugin,       &ExFilterDriver::Hearth::NotifyChanges,
      &ExFilterDriver::Hearth::StopPlugin,        L"-- Manage Hearth --",
      L"-- Start Hearth ON --",                   L"-- Stop Hearth OFF --",
  };
  return plugin;
}

void Manage(const ManagedPlugin& plugin) {
  if (!plugin.isAvailable()) return;
  Logger& log = Logger::Instance();
  log.Log(LogLevel::Always, plugin.manageLine);
  if (plugin.getProtectionStatus() != 0) {
    log.Log(LogLevel::Always, plugin.onLine);
    plugin.start();
    plugin.notifyChanges();
  } else {
    log.Log(LogLevel::Always, plugin.offLine);
    plugin.notifyChanges();
    plugin.stop();
  }
}

}  // namespace SentrelCore
