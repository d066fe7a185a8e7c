#include "plugins/PluginSlot.h"

#include <windows.h>

#include "common/ExCommon.h"
#include "log/Logger.h"
#include "plugins/ProductLocations.h"

namespace ExFilterDriver {

namespace {

constexpr wchar_t kExcludedSuiteType[] = L"zk";

Logger& Log() { return Logger::Instance(); }

int LastError() { return static_cast<int>(::GetLastError()); }

// Resolves one export into `entry`; on failure logs `failureText` with the error code.
template <typename Fn>
bool Resolve(HMODULE library, const char* name, Fn* entry, const wchar_t* failureText) {
  *entry = reinterpret_cast<Fn>(::GetProcAddress(library, name));
  if (*entry != nullptr) return true;
  Log().Log(LogLevel::Error, failureText, LastError());
  return false;
}

void ClearEntries(PluginSlot& slot) {
  slot.start = nullptr;
  slot.stop = nullptr;
  slot.onNotifyChanges = nullptr;
  slot.generateReports = nullptr;
}

}  // namespace

std::wstring PluginFilePath(const std::wstring& folder, const wchar_t* fileName) {
  return folder + L"\\" + fileName;
}

std::wstring ExistingPluginFile(const std::wstring& folder, const wchar_t* fileName) {
  std::wstring path = PluginFilePath(folder, fileName);
  if (!ExCommon::IsFile(path)) path.clear();
  return path;
}

bool IsAvailable(PluginPathFn pathOf) {
  if (ProductLocations::IsSuiteType(kExcludedSuiteType)) return false;
  return !pathOf().empty();
}

unsigned char QueryProtectionStatus(PluginPathFn pathOf, const PluginTexts& texts) {
  Log().Log(LogLevel::Always, texts.statusInvoked);
  const std::wstring path = pathOf();
  if (path.empty()) {
    Log().Log(LogLevel::Error, texts.statusNoPath);
    return 0;
  }
  if (!ExCommon::IsFile(path)) {
    Log().Log(LogLevel::Error, texts.statusMissing, path.c_str());
    return 0;
  }
  // A load of its own: the slot stays as it is, started or not.
  UniqueModule library(::LoadLibraryW(path.c_str()));
  if (!library) {
    Log().Log(LogLevel::Error, texts.statusLoadFailed, LastError());
    return 0;
  }
  const auto getStatus =
      reinterpret_cast<PluginGetProtectionStatusFn>(::GetProcAddress(library.get(), "GetProtectionStatus"));
  if (getStatus == nullptr) {
    Log().Log(LogLevel::Error, texts.statusNoEntry);
    return 0;
  }
  const unsigned char status = getStatus();
  // Any non-zero byte switches the plug-in on; only 1 reads "ON" in the line.
  Log().Log(status != 0 ? LogLevel::Always : LogLevel::Warn, texts.statusValue, status == 1 ? L"ON" : L"OFF");
  return status;
}

bool StartInSlot(PluginSlot& slot, PluginPathFn pathOf, const PluginTexts& texts) {
  Log().Log(LogLevel::Always, texts.startAttempt);
  if (slot.active) {
    Log().Log(LogLevel::Always, texts.startAlreadyActive);
    return true;
  }
  const std::wstring path = pathOf();
  if (path.empty()) {
    Log().Log(LogLevel::Error, texts.startNoPath);
    return false;
  }
  if (!ExCommon::IsFile(path)) {
    Log().Log(LogLevel::Error, texts.startMissing, path.c_str());
    return false;
  }
  // A library left here by a failed start is freed before the new load, so that
  // repeated attempts never hold more than the one reference that a stop releases.
  ClearEntries(slot);
  slot.library.reset();
  slot.library.reset(::LoadLibraryW(path.c_str()));
  if (!slot.library) {
    Log().Log(LogLevel::Error, texts.startLoadFailed, LastError());
    return false;
  }
  const HMODULE library = slot.library.get();
  if (!Resolve(library, "Start", &slot.start, texts.startNoStart) ||
      !Resolve(library, "Stop", &slot.stop, texts.startNoStop) ||
      !Resolve(library, "OnNotifyChanges", &slot.onNotifyChanges, texts.startNoNotify)) {
    return false;
  }
  if (texts.startNoGenerateReports != nullptr &&
      !Resolve(library, "GenerateReports", &slot.generateReports, texts.startNoGenerateReports)) {
    return false;
  }
  if (slot.start() == 0) {
    // The library stays loaded and inactive; the next stop (or start) frees it.
    Log().Log(LogLevel::Error, texts.startFailed);
    return false;
  }
  slot.active = true;
  Log().Log(LogLevel::Always, texts.startStarted);
  return true;
}

void NotifySlot(const PluginSlot& slot, const PluginTexts& texts) {
  if (!slot.active) {
    Log().Log(LogLevel::Warn, texts.notifyInactive);
    return;
  }
  if (slot.onNotifyChanges == nullptr) {
    Log().Log(LogLevel::Error, texts.notifyNoEntry);
    return;
  }
  slot.onNotifyChanges();
}

bool StopSlot(PluginSlot& slot, const PluginTexts& texts) {
  Log().Log(LogLevel::Always, texts.stopAttempt);
  slot.active = false;
  int level = LogLevel::Warn;
  const wchar_t* line = texts.stopNoLibrary;
  bool stopped = false;
  if (slot.library) {
    if (slot.stop == nullptr) {
      line = texts.stopNoEntry;
      stopped = true;
    } else if (slot.stop() == 0) {
      level = LogLevel::Error;
      line = texts.stopFailed;
    } else {
      level = LogLevel::Always;
      line = texts.stopStopped;
      stopped = true;
    }
  }
  Log().Log(level, line);
  ClearEntries(slot);
  slot.library.reset();
  return stopped;
}

}  // namespace ExFilterDriver
