#include "WorkerEvents.h"

#include "InstalledService.h"
#include "common/UniqueHandle.h"
#include "ipc/SharedNames.h"

namespace campaign {

namespace {

constexpr DWORD kPollPauseMs = 10;

}  // namespace

const wchar_t* SettingsEventName(SettingsEvent event) {
  switch (event) {
    case SettingsEvent::Hearth:
      return SharedNames::kHearthReloadSettingsEvent;
    case SettingsEvent::Identities:
      return SharedNames::kIdentitiesChangedEvent;
    case SettingsEvent::Malware:
      return SharedNames::kMalwareSettingsChangedEvent;
  }
  return L"";
}

const wchar_t* AcceptanceLine(SettingsEvent event) {
  switch (event) {
    case SettingsEvent::Hearth:
      return L"SentrelCore::WorkerThreadFunc - Hearth Settings Change notification event has been accepted.";
    case SettingsEvent::Identities:
      return L"SentrelCore::WorkerThreadFunc - IDTheft Settings Change notification event has been accepted.";
    case SettingsEvent::Malware:
      return L"SentrelCore::WorkerThreadFunc - Malware Settings Change notification event has been accepted.";
  }
  return L"";
}

bool SetSettingsEvent(SettingsEvent event) {
  UniqueKernelHandle handle(::OpenEventW(EVENT_MODIFY_STATE, FALSE, SettingsEventName(event)));
  return handle && ::SetEvent(handle.get());
}

// A size limit of 0 makes the tail look for a move of the log on every poll, whatever
// limit the service's logger was given.
WorkerLog::WorkerLog(DWORD pid) : pid_(pid), tail_(InstalledService::LogPath(), 0) {}

void WorkerLog::Poll() {
  for (const LogTail::Line& line : tail_.Take()) {
    if (!line.wellFormed || line.pid != pid_) continue;
    ++lines_;
    for (int event = 0; event < kSettingsEventCount; ++event) {
      if (line.text == AcceptanceLine(static_cast<SettingsEvent>(event))) ++accepted_[event];
    }
    if (line.level == 4 || line.level == 5) {
      if (errors_ == 0) firstError_ = line.text;
      ++errors_;
    }
  }
}

bool WorkerLog::WaitForAccepted(SettingsEvent event, size_t count, DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  for (;;) {
    Poll();
    if (accepted(event) >= count) return true;
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(kPollPauseMs);
  }
}

bool WorkerLog::Settle(DWORD timeoutMs, std::string* why) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  const auto left = [deadline] {
    const ULONGLONG now = ::GetTickCount64();
    return static_cast<DWORD>(now < deadline ? deadline - now : 0);
  };
  Poll();
  const size_t hearth = accepted(SettingsEvent::Hearth);
  const size_t malware = accepted(SettingsEvent::Malware);
  if (!SetSettingsEvent(SettingsEvent::Hearth) || !SetSettingsEvent(SettingsEvent::Malware)) {
    *why = "the settings events do not exist";
    return false;
  }
  if (!WaitForAccepted(SettingsEvent::Hearth, hearth + 1, left()) ||
      !WaitForAccepted(SettingsEvent::Malware, malware + 1, left())) {
    *why = "the worker did not accept the Hearth and malware events within " + std::to_string(timeoutMs) + " ms";
    return false;
  }
  const size_t identities = accepted(SettingsEvent::Identities);
  if (!SetSettingsEvent(SettingsEvent::Identities) ||
      !WaitForAccepted(SettingsEvent::Identities, identities + 1, left())) {
    *why = "the worker did not come back to its wait within " + std::to_string(timeoutMs) + " ms";
    return false;
  }
  return true;
}

}  // namespace campaign
