// A channel server for tests that copies every item it receives and lets the test
// wait for them.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "ipc/QueueLayout.h"
#include "ipc/SMIPCTNG.h"

struct ReceivedItem {
  std::wstring channel;
  std::vector<wchar_t> channelField;  // all 36 units as stored
  std::string payload;
};

class CollectingChannel : public SMIPCTNG {
 public:
  ~CollectingChannel() override { Close(); }

  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    std::vector<ReceivedItem> batch;
    for (const QueueItemHeader* item : items) {
      ReceivedItem received;
      received.channel = QueueLayout::ChannelOf(*item);
      received.channelField.resize(36);
      memcpy(received.channelField.data(), item->channel, 72);
      received.payload.assign(reinterpret_cast<const char*>(ItemPayload(item)), static_cast<size_t>(item->size));
      batch.push_back(std::move(received));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    batches_.push_back(std::move(batch));
    changed_.notify_all();
  }

  // Waits until `count` items in all have arrived; false on timeout.
  bool WaitForItems(size_t count, DWORD ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return ItemCountLocked() >= count; });
  }
  std::vector<std::vector<ReceivedItem>> Batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
  }
  std::vector<ReceivedItem> Items() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ReceivedItem> all;
    for (const auto& batch : batches_) all.insert(all.end(), batch.begin(), batch.end());
    return all;
  }

 private:
  size_t ItemCountLocked() const {
    size_t n = 0;
    for (const auto& batch : batches_) n += batch.size();
    return n;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<ReceivedItem>> batches_;
};

// A named auto-reset event for coordinating with a child process.
inline HANDLE CreateTestEvent(const std::wstring& name) { return ::CreateEventW(nullptr, FALSE, FALSE, name.c_str()); }

// Sets the named event when it exists.
inline void SignalNamedEvent(const std::wstring& name) {
  UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
  if (event) ::SetEvent(event.get());
}

// True when the named event exists and is set within `ms`.
inline bool WaitNamedEvent(const std::wstring& name, DWORD ms) {
  UniqueKernelHandle event(::OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
  return event && ::WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0;
}

// A channel end that only writes.
class TestClient : public SMIPCTNG {
 public:
  ~TestClient() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*>) override {}
};

// A receiver that stays inside OnNewData until `release` is set, and touches nothing of
// its own after that wait (the object may be gone by then). Both events must outlive
// the listener.
class StuckChannel : public SMIPCTNG {
 public:
  StuckChannel(HANDLE entered, HANDLE release) : entered_(entered), release_(release) {}
  ~StuckChannel() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*>) override {
    const HANDLE release = release_;
    ::SetEvent(entered_);
    ::WaitForSingleObject(release, 60000);
  }

 private:
  HANDLE entered_;
  HANDLE release_;
};
