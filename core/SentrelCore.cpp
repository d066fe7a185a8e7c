#include "core/SentrelCore.h"

#include <process.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/ExCommon.h"
#include "common/OpenSecurityAttributes.h"
#include "common/ResourceMgr.h"
#include "common/UniqueHandle.h"
#include "core/PluginManagement.h"
#include "core/StatusAnnouncement.h"
#include "ipc/SharedNames.h"
#include "log/Logger.h"
#include "plugins/PluginHost.h"
#include "plugins/ProductLocations.h"

namespace SentrelCore {
namespace {

constexpr wchar_t kServiceName[] = L"SentrelSrv";

// The worker's wait set, in the order whose index selects the action.
enum WaitIndex : DWORD { kShutdown = 0, kHearth = 1, kIdentities = 2, kMalware = 3, kWaitCount = 4 };

// The core's process-wide state. It is never destroyed: the worker may still run when
// the process ends (a plug-in that hangs in its stop), and its thread handle stays open
// for the life of the process.
struct CoreState {
  // Set by Stop, closed and cleared by the worker at its end. The lock keeps Stop from
  // signalling a handle that the worker is closing at the same moment.
  SRWLOCK shutdownLock = SRWLOCK_INIT;
  UniqueKernelHandle shutdownEvent;
  UniqueKernelHandle hearthEvent;
  UniqueKernelHandle identitiesEvent;
  UniqueKernelHandle malwareEvent;
  HANDLE workerThread = nullptr;
  // Duplicates of the four events, made by Start before the worker exists and owned by
  // the worker from its first step: Stop closes the originals while the worker may be
  // waiting, and a wait must never see its handles closed under it.
  HANDLE workerWaitSet[kWaitCount] = {};
};

CoreState& State() {
  static CoreState* state = new CoreState;
  return *state;
}

Logger& Log() { return Logger::Instance(); }

HANDLE Duplicate(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr ||
      !::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

// The suite folders that exist, in the order in which they go in front of PATH.
std::vector<std::wstring> ExistingSuiteFolders() {
  const std::wstring candidates[] = {
      ProductLocations::GetInstallPath(),         ProductLocations::GetHearthPluginFolder(),
      ProductLocations::GetMalwarePluginFolder(), ProductLocations::GetIDTheftPluginFolder(),
      ProductLocations::GetAntiVirusInstallPath(), ProductLocations::GetWebFilterInstallPath(),
  };
  std::vector<std::wstring> kept;
  for (const std::wstring& folder : candidates) {
    if (ExCommon::IsDirectory(folder)) kept.push_back(folder);
  }
  return kept;
}

// Stops every available plug-in, malware first, then identity theft, then Hearth.
void StopAvailablePlugins() {
  if (ExFilterDriver::Malware::IsPluginAvailable()) ExFilterDriver::Malware::StopPlugin();
  if (ExFilterDriver::IDTheft::IsPluginAvailable()) ExFilterDriver::IDTheft::StopPlugin();
  if (ExFilterDriver::Hearth::IsPluginAvailable()) ExFilterDriver::Hearth::StopPlugin();
}

}  // namespace

bool Start() {
  CoreState& state = State();
  Log().Log(LogLevel::Always, L"SentrelCore::Start- invoked");
  ExCommon::SetWatchDogFlag(kServiceName, 1);
  ProductLocations::InitLocations();

  const std::vector<std::wstring> folders = ExistingSuiteFolders();
  if (!folders.empty()) ExCommon::PrependToPath(folders);

  ResourceMgr::Instance().AddWebFilterResource();

  state.shutdownEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!state.shutdownEvent) {
    Log().Log(LogLevel::Error, L"SentrelCore::StartWorkerThread - Failed to create the shutdown event. GLE = %d",
              static_cast<int>(::GetLastError()));
    return false;
  }
  const struct {
    UniqueKernelHandle* handle;
    const wchar_t* name;
    const wchar_t* failure;
  } settingsEvents[] = {
      {&state.hearthEvent, SharedNames::kHearthReloadSettingsEvent,
       L"SentrelCore::StartWorkerThread - Failed to create the Hearth settings changed event. GLE = %d"},
      {&state.identitiesEvent, SharedNames::kIdentitiesChangedEvent,
       L"SentrelCore::StartWorkerThread - Failed to create the IDTheft settings changed event. GLE = %d"},
      {&state.malwareEvent, SharedNames::kMalwareSettingsChangedEvent,
       L"SentrelCore::StartWorkerThread - Failed to create the Malware settings changed event. GLE = %d"},
  };
  for (const auto& event : settingsEvents) {
    event.handle->reset(::CreateEventW(GetOpenSecurityAttributes(), FALSE, FALSE, event.name));
    if (!*event.handle) {
      Log().Log(LogLevel::Error, event.failure, static_cast<int>(::GetLastError()));
      return false;
    }
  }

  const HANDLE originals[kWaitCount] = {state.shutdownEvent.get(), state.hearthEvent.get(),
                                        state.identitiesEvent.get(), state.malwareEvent.get()};
  for (DWORD i = 0; i < kWaitCount; ++i) {
    state.workerWaitSet[i] = Duplicate(originals[i]);
    if (state.workerWaitSet[i] == nullptr) {
      const DWORD error = ::GetLastError();
      for (DWORD k = 0; k < i; ++k) {
        ::CloseHandle(state.workerWaitSet[k]);
        state.workerWaitSet[k] = nullptr;
      }
      Log().Log(LogLevel::Error, L"SentrelCore::Start - Failed to create the worker thread. error = %d",
                static_cast<int>(error));
      return false;
    }
  }

  const uintptr_t thread = ::_beginthreadex(nullptr, 0, &WorkerThreadFunc, nullptr, 0, nullptr);
  if (thread == 0) {
    const int error = errno;
    for (HANDLE& handle : state.workerWaitSet) {
      ::CloseHandle(handle);
      handle = nullptr;
    }
    Log().Log(LogLevel::Error, L"SentrelCore::Start - Failed to create the worker thread. error = %d", error);
    return false;
  }
  state.workerThread = reinterpret_cast<HANDLE>(thread);
  return true;
}

HANDLE Stop() {
  CoreState& state = State();
  Log().Log(LogLevel::Always, L"SentrelCore::Stop - invoked");
  ::AcquireSRWLockExclusive(&state.shutdownLock);
  if (state.shutdownEvent) {
    Log().Log(LogLevel::Always, L"SentrelCore::Stop - stopping WorkerThreadFunc");
    ::SetEvent(state.shutdownEvent.get());
    // The worker closes the shutdown event at its end; after a Start that failed before
    // the worker existed, nobody else would.
    if (state.workerThread == nullptr) state.shutdownEvent.reset();
  }
  ::ReleaseSRWLockExclusive(&state.shutdownLock);
  state.hearthEvent.reset();
  state.identitiesEvent.reset();
  state.malwareEvent.reset();
  ResourceMgr::Instance().DeInit();
  return state.workerThread;
}

unsigned __stdcall WorkerThreadFunc(void*) {
  CoreState& state = State();
  Log().Log(LogLevel::Always, L"SentrelCore::WorkerThreadFunc - worker thread started");

  UniqueKernelHandle owned[kWaitCount];
  HANDLE waitSet[kWaitCount];
  for (DWORD i = 0; i < kWaitCount; ++i) {
    owned[i].reset(state.workerWaitSet[i]);
    state.workerWaitSet[i] = nullptr;
    waitSet[i] = owned[i].get();
  }

  Manage(MalwarePlugin());
  Manage(HearthPlugin());
  AnnounceServiceStart();

  for (bool running = true; running;) {
    const DWORD result = ::WaitForMultipleObjects(kWaitCount, waitSet, FALSE, INFINITE);
    // A settings event that another program created as manual-reset would stay set
    // and wake this loop for ever; taking the signal here makes every kind of event
    // count once, as an auto-reset event does.
    if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + kWaitCount) ::ResetEvent(waitSet[result - WAIT_OBJECT_0]);
    switch (result) {
      case WAIT_OBJECT_0 + kShutdown:
        Log().Log(LogLevel::Always, L"SentrelCore::WorkerThreadFunc - worker thread: Shutown event has been accepted.");
        running = false;
        break;
      case WAIT_OBJECT_0 + kHearth:
        Log().Log(LogLevel::Always,
                  L"SentrelCore::WorkerThreadFunc - Hearth Settings Change notification event has been accepted.");
        Manage(HearthPlugin());
        break;
      case WAIT_OBJECT_0 + kIdentities:
        Log().Log(LogLevel::Always,
                  L"SentrelCore::WorkerThreadFunc - IDTheft Settings Change notification event has been accepted.");
        break;
      case WAIT_OBJECT_0 + kMalware:
        Log().Log(LogLevel::Always,
                  L"SentrelCore::WorkerThreadFunc - Malware Settings Change notification event has been accepted.");
        Manage(MalwarePlugin());
        break;
      case WAIT_TIMEOUT:
        break;
      default:
        Log().Log(LogLevel::Always, L"SentrelCore::WorkerThreadFunc - worker thread: Unexpected event %d has been accepted.",
                  static_cast<int>(result));
        running = false;
        break;
    }
  }

  Log().Log(LogLevel::Always, L"  SentrelCore::WorkerThreadFunc - worker thread: will stop plugins....");
  StopAvailablePlugins();
  Log().Log(LogLevel::Always, L"  SentrelCore::WorkerThreadFunc - Pplugins stopped.");
  ::AcquireSRWLockExclusive(&state.shutdownLock);
  state.shutdownEvent.reset();
  ::ReleaseSRWLockExclusive(&state.shutdownLock);
  Log().Log(LogLevel::Always, L"SentrelCore::WorkerThreadFunc - worker thread completed");
  ExCommon::SetWatchDogFlag(kServiceName, 0);
  return 0;
}

}  // namespace SentrelCore
