// A channel server for tests that copies every item it receives and lets the test
// wait for them.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

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
