#include "ipc/QueueEndpoint.h"

#include <atomic>
#include <cstring>
#include <new>

#include "common/OpenSecurityAttributes.h"
#include "log/Logger.h"

namespace {

constexpr int kLockAttempts = 20;
constexpr DWORD kLockWaitMs = 250;
constexpr DWORD kCloseWaitMs = 3000;
// Mappings are created with a 32-bit size; a queue needs at least its header and the
// two bytes that are never written.
constexpr unsigned long long kMinMappingSize = QueueLayout::kQueueHeaderSize + QueueLayout::kTailReserve;
constexpr unsigned long long kMaxMappingSize = 0xFFFFFFFFull;

}  // namespace

struct QueueEndpoint::State {
  const QueueTexts* texts = nullptr;
  QueueLayout::ItemKind kind = QueueLayout::ItemKind::Channel;
  Receiver* receiver = nullptr;
  int type = kNone;
  unsigned long long size = kDefaultMappingSize;
  std::wstring mappingName;
  std::wstring newDataEventName;

  UniqueKernelHandle mutex;
  UniqueKernelHandle mapping;
  UniqueMappedView view;
  UniqueKernelHandle newDataEvent;
  UniqueKernelHandle forwardEvent;
  // The mapping's bytes are copied to the front; the slack behind them stays zero, so a
  // receiver that scans a payload for its terminating NUL stops inside the buffer.
  std::unique_ptr<unsigned char[]> privateCopy;
  size_t privateCopySize = 0;
  // The new-data event existed before this server created it: another process may have
  // made it manual-reset, so the listener resets it itself after each wake.
  bool resetNewDataAfterWake = false;

  std::atomic<bool> ready{false};
  // Set by Close: the listener takes nothing more out of the mapping and waits no more.
  std::atomic<bool> stop{false};
  // Set by Close when it stopped waiting for the listener: the receiver may be gone.
  std::atomic<bool> abandoned{false};
};

namespace {

using State = QueueEndpoint::State;

Logger& Log() { return Logger::Instance(); }

// Takes the queue's mutex: up to 20 waits of 250 ms; an abandoned mutex is taken too.
bool AcquireLock(const State& s) {
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    const DWORD result = ::WaitForSingleObject(s.mutex.get(), kLockWaitMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return true;
    if (result == WAIT_FAILED) break;  // a bad handle does not get better by waiting
  }
  Log().Log(LogLevel::Error, s.texts->acquireLockFailed, static_cast<int>(::GetLastError()));
  return false;
}

void ReleaseLock(const State& s) { ::ReleaseMutex(s.mutex.get()); }

// Why a mapping could not be opened: its log line, written by the caller once it no
// longer holds the queue's mutex (a log line may wait for the logger, and every writer of
// the queue in every process would wait with it).
struct MappingFailure {
  int level = LogLevel::None;
  const wchar_t* text = nullptr;  // %s mapping name, %d gle (where the text has them)
  int gle = 0;
};

void Report(const State& s, const MappingFailure& failure) {
  if (failure.text != nullptr) Log().Log(failure.level, failure.text, s.mappingName.c_str(), failure.gle);
}

// Commits every page of a view that is only reserved. Any local process may create the
// mapping before the suite's programs do, with SEC_RESERVE: its pages are then reserved,
// and the first write into one of them faults and ends the process that makes it.
// False when a page cannot be committed.
bool CommitView(void* view, SIZE_T size) {
  unsigned char* base = static_cast<unsigned char*>(view);
  for (SIZE_T checked = 0; checked < size;) {
    MEMORY_BASIC_INFORMATION info = {};
    if (::VirtualQuery(base + checked, &info, sizeof(info)) == 0) return false;
    if (info.State != MEM_COMMIT) return ::VirtualAlloc(view, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
    checked = static_cast<SIZE_T>(static_cast<unsigned char*>(info.BaseAddress) + info.RegionSize - base);
  }
  return true;
}

// Creates (server) or opens (client) the mapping and maps all of it.
bool OpenMapping(State& s, MappingFailure* failure) {
  const QueueTexts& t = *s.texts;
  if (s.ready) {
    *failure = MappingFailure{LogLevel::Warn, t.channelAlreadyCreated, 0};
    return false;
  }
  const bool server = s.type == QueueEndpoint::kServer;
  if (s.size < kMinMappingSize || s.size > kMaxMappingSize) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
  } else if (server) {
    s.mapping.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, GetOpenSecurityAttributes(),
                                         PAGE_READWRITE, 0, static_cast<DWORD>(s.size),
                                         s.mappingName.c_str()));
  } else if (s.type == QueueEndpoint::kClient) {
    s.mapping.reset(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, s.mappingName.c_str()));
  } else {
    // Neither server nor client: no mapping is created or opened.
    ::SetLastError(ERROR_INVALID_PARAMETER);
  }
  if (!s.mapping) {
    const int gle = static_cast<int>(::GetLastError());
    if (server) *failure = MappingFailure{LogLevel::Fatal, t.serverMappingFailed, gle};
    else *failure = MappingFailure{LogLevel::Warn, t.clientMappingFailed, gle};
    return false;
  }
  const DWORD access = server ? FILE_MAP_ALL_ACCESS : (FILE_MAP_READ | FILE_MAP_WRITE);
  s.view.reset(::MapViewOfFile(s.mapping.get(), access, 0, 0, static_cast<SIZE_T>(s.size)));
  if (!s.view || !CommitView(s.view.get(), static_cast<SIZE_T>(s.size))) {
    *failure = MappingFailure{LogLevel::Error, t.mapViewFailed, static_cast<int>(::GetLastError())};
    s.view.reset();
    s.mapping.reset();
    return false;
  }
  if (server) QueueLayout::ResetHeader(s.view.get());
  return true;
}

// One drain: copy the whole mapping under the lock, reset it, then walk the copy.
void Drain(State& s) {
  const QueueTexts& t = *s.texts;
  if (!AcquireLock(s)) {
    Log().Log(LogLevel::Error, t.readCannotLock);
    Log().Log(LogLevel::Error, t.readFailed);
    return;
  }
  if (s.stop) {
    // Close came first: what is in the mapping stays there.
    ReleaseLock(s);
    return;
  }
  // A manual-reset event would otherwise stay set and keep the listener draining. A write
  // that set it before this reset had already put its item in the mapping, so the copy
  // below takes it; one that sets it later wakes the listener again. The reset is made
  // under the mutex and only while not stopped: once Close has stopped this listener the
  // event may announce items to a new server of the queue, which can only take the
  // mapping after this drain releases the mutex.
  if (s.resetNewDataAfterWake) ::ResetEvent(s.newDataEvent.get());
  if (!s.ready) {
    ReleaseLock(s);
    Log().Log(LogLevel::Error, t.readNotReady);
    Log().Log(LogLevel::Error, t.readFailed);
    return;
  }
  const size_t copied = static_cast<size_t>(s.size);
  std::memcpy(s.privateCopy.get(), s.view.get(), copied);
  QueueLayout::ResetHeader(s.view.get());
  ReleaseLock(s);

  QueueLayout::WalkResult walk = QueueLayout::WalkItems(s.kind, s.privateCopy.get(), copied);
  if (walk.status != QueueLayout::WalkStatus::Ok) {
    Log().Log(LogLevel::Error, walk.status == QueueLayout::WalkStatus::InvalidFlag ? t.invalidItemFlag
                                                                                  : t.invalidItemSize);
    Log().Log(LogLevel::Error, t.nullItemProperty);
    QueueLayout::ResetHeader(s.privateCopy.get());
    return;
  }
  // Items taken out of the mapping are delivered even when Close is waiting for this
  // drain to end; only once Close has given up may the receiver be gone.
  if (!walk.items.empty() && !s.abandoned && s.receiver != nullptr) s.receiver->Deliver(std::move(walk.items));
}

}  // namespace

QueueEndpoint::QueueEndpoint(const QueueTexts& texts, QueueLayout::ItemKind kind, Receiver* receiver)
    : texts_(texts), kind_(kind), receiver_(receiver) {}

QueueEndpoint::~QueueEndpoint() { Close(); }

bool QueueEndpoint::IsReady() const { return state_ && state_->ready; }

bool QueueEndpoint::Create(int type, const std::wstring& queueName, unsigned long long mappingSize) {
  try {
    if (IsReady()) {
      Log().Log(LogLevel::Warn, texts_.alreadyCreated);
      return false;
    }
    if (type != kServer && type != kClient) Log().Log(LogLevel::Error, texts_.invalidType, type);

    // A client that never reached its mapping may be created again: start afresh.
    Close();
    mappingName_ = L"Global\\" + queueName;
    type_ = type;
    mappingSize_ = mappingSize;

    auto state = std::make_shared<State>();
    state->texts = &texts_;
    state->kind = kind_;
    state->receiver = receiver_;
    state->type = type;
    state->size = mappingSize;
    state->mappingName = mappingName_;
    const std::wstring mutexName = L"Global\\Mutex_" + queueName;
    state->mutex.reset(::CreateMutexW(GetOpenSecurityAttributes(), FALSE, mutexName.c_str()));
    if (!state->mutex) {
      Log().Log(LogLevel::Error, texts_.mutexFailed, static_cast<int>(::GetLastError()));
      return false;
    }
    newDataEventName_ = L"Global\\Event_" + queueName;
    serverRunningEventName_ = newDataEventName_ + L"_SrvRun";
    state->newDataEventName = newDataEventName_;
    state_ = state;

    if (type == kServer) {
      UniqueKernelHandle existing(::OpenEventW(EVENT_MODIFY_STATE, FALSE, serverRunningEventName_.c_str()));
      if (existing) {
        existing.reset();
        Log().Log(LogLevel::Fatal, texts_.anotherServer, serverRunningEventName_.c_str());
        state_.reset();
        return false;
      }
      serverRunningEvent_.reset(
          ::CreateEventW(GetOpenSecurityAttributes(), FALSE, FALSE, serverRunningEventName_.c_str()));
      if (!serverRunningEvent_) {
        Log().Log(LogLevel::Error, texts_.serverRunningFailed, static_cast<int>(::GetLastError()));
        state_.reset();
        return false;
      }
      if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another server created it between our open and our create.
        serverRunningEvent_.reset();
        Log().Log(LogLevel::Fatal, texts_.anotherServer, serverRunningEventName_.c_str());
        state_.reset();
        return false;
      }
      state->privateCopySize = static_cast<size_t>(mappingSize + mappingSize / 5);  // floor(size * 1.2)
      // Zero-filled, the slack behind the copied bytes included (nothing ever writes it).
      state->privateCopy.reset(new (std::nothrow) unsigned char[state->privateCopySize + 1]());
      ::SetLastError(ERROR_SUCCESS);
      state->newDataEvent.reset(
          ::CreateEventW(GetOpenSecurityAttributes(), FALSE, FALSE, newDataEventName_.c_str()));
      if (!state->newDataEvent) {
        Log().Log(LogLevel::Error, texts_.newDataEventFailed, static_cast<int>(::GetLastError()));
        Close();
        return false;
      }
      // An event of that name already existed (a listener left behind by an earlier
      // server, or another process that created it first, perhaps manual-reset and set):
      // its kind is not ours to choose, so the listener resets it after every wake.
      state->resetNewDataAfterWake = ::GetLastError() == ERROR_ALREADY_EXISTS;
      state->forwardEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
      if (!state->forwardEvent) {
        Log().Log(LogLevel::Error, texts_.forwardEventFailed, static_cast<int>(::GetLastError()));
        Close();
        return false;
      }
      if (!state->privateCopy) {
        Log().Log(LogLevel::Error, texts_.listenerFailed, static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
        Close();
        return false;
      }
      // The mapping exists before the listener runs, so its first wake finds it ready.
      // Creating and resetting it happen under the queue's mutex: a client that opens a
      // brand-new mapping, or appends to one that an earlier server left, sees the header
      // either before the reset or after it, never half of it.
      if (!AcquireLock(*state)) {
        Close();
        return false;
      }
      MappingFailure failure;
      const bool opened = OpenMapping(*state, &failure);
      state->ready = opened;
      ReleaseLock(*state);
      if (!opened) {
        Report(*state, failure);
        Close();
        return false;
      }
      auto* parameter = new std::shared_ptr<State>(state);
      HANDLE thread = ::CreateThread(nullptr, 0, &QueueEndpoint::ListenerThread, parameter, 0, nullptr);
      if (thread == nullptr) {
        delete parameter;
        Log().Log(LogLevel::Error, texts_.listenerFailed, static_cast<int>(::GetLastError()));
        Close();
        return false;
      }
      listenerThreads_.emplace_back(thread);
      return true;
    }

    MappingFailure failure;
    const bool opened = OpenMapping(*state, &failure);
    state->ready = opened;
    if (!opened) Report(*state, failure);
    return opened;
  } catch (const std::exception&) {
    Log().Log(LogLevel::Error, texts_.listenerFailed, static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
    Close();
    return false;
  }
}

bool QueueEndpoint::Append(const void* itemHeader, unsigned long long headerSize, const void* data,
                           unsigned long long length, bool* outOfStorage) {
  if (outOfStorage != nullptr) *outOfStorage = false;
  if (data == nullptr || length == 0) {
    // An empty item would make the listener drop the whole drain it lies in.
    Log().Log(LogLevel::Error, texts_.invalidData);
    return false;
  }
  std::shared_ptr<State> s = state_;
  if (!s || !s->mutex) {
    Log().Log(LogLevel::Error, texts_.acquireLockFailed, static_cast<int>(ERROR_INVALID_HANDLE));
    Log().Log(LogLevel::Error, texts_.writeCannotLock);
    return false;
  }
  if (!AcquireLock(*s)) {
    Log().Log(LogLevel::Error, texts_.writeCannotLock);
    return false;
  }
  // Nothing is logged while the mutex is held: a log line may wait for the logger, and
  // every writer of this queue in every process would wait with it.
  if (!s->ready) {
    MappingFailure failure;
    const bool opened = OpenMapping(*s, &failure);
    s->ready = opened;
    if (!opened) {
      ReleaseLock(*s);
      Report(*s, failure);
      Log().Log(LogLevel::Warn, texts_.notReady, s->mappingName.c_str());
      return false;
    }
  }
  if (!QueueLayout::AppendItem(static_cast<unsigned char*>(s->view.get()), s->size, itemHeader, headerSize,
                               data, length)) {
    ReleaseLock(*s);
    Log().Log(LogLevel::Error, texts_.noRoom, static_cast<int>(length));
    if (outOfStorage != nullptr) *outOfStorage = true;
    return false;
  }
  ReleaseLock(*s);
  if (Log().IsLevelEnabled(LogLevel::Debug))
    Log().Log(LogLevel::Debug, texts_.wrote, static_cast<int>(::GetCurrentThreadId()), static_cast<int>(length));

  UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, s->newDataEventName.c_str()));
  if (event) ::SetEvent(event.get());
  return true;
}

bool QueueEndpoint::Close() {
  if (state_) {
    state_->stop = true;
    if (state_->forwardEvent) ::SetEvent(state_->forwardEvent.get());
    if (state_->newDataEvent) ::SetEvent(state_->newDataEvent.get());
  }
  if (!listenerThreads_.empty()) {
    std::vector<HANDLE> threads;
    for (const auto& thread : listenerThreads_) threads.push_back(thread.get());
    const DWORD waited =
        ::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, kCloseWaitMs);
    if (waited != WAIT_OBJECT_0 && state_) state_->abandoned = true;
    listenerThreads_.clear();
  }
  serverRunningEvent_.reset();
  // A listener still stuck in its receiver holds its own reference to the state and
  // releases the mutex, mapping, view, events and private copy when it ends.
  state_.reset();
  return true;
}

DWORD WINAPI QueueEndpoint::ListenerThread(void* parameter) {
  std::unique_ptr<std::shared_ptr<State>> holder(static_cast<std::shared_ptr<State>*>(parameter));
  State& s = **holder;
  if (!s.newDataEvent || !s.forwardEvent) return 1;
  // The forward event comes first: when Close has set it, a wait returns it and leaves
  // the shared new-data event alone, which by then may announce items to a new server
  // of the same queue (a listener that Close gave up on still holds the event).
  HANDLE waits[2] = {s.forwardEvent.get(), s.newDataEvent.get()};
  for (;;) {
    // Once stopped, never wait again: a wait could take a wake-up meant for another server.
    if (s.stop) {
      Log().Log(LogLevel::Always, s.texts->listenerTerminated);
      return 0;
    }
    const DWORD result = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (s.stop) continue;  // ends at the top of the loop
    if (result == WAIT_FAILED) return 1;
    if (result != WAIT_OBJECT_0 + 1) continue;
    try {
      Drain(s);
    } catch (...) {
      // Neither a failed allocation nor a throwing receiver ends the listener.
      Log().Log(LogLevel::Error, s.texts->readFailed);
    }
  }
}
