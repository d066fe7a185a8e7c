// Typed-queue receivers (SMIPCPManager): item validation, payload access, Close, and
// typed items delivered from a peer process to OnNewData.
#include <gtest/gtest.h>

#include <windows.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/QueueLayout.h"
#include "ipc/SMIPCPManager.h"
#include "support/ChildProcess.h"
#include "support/LogFileReader.h"

namespace {

using test_support::OwnLogLinesContaining;

constexpr unsigned long long kQueueSize = 8192;

class TypedReceiver : public SMIPCPManager {
 public:
  struct Seen {
    uint32_t type;
    bool valid;
    std::string payload;
    uint32_t writerProcessId;
  };
  ~TypedReceiver() override { Close(); }

  void OnNewData(std::vector<const TypedItemHeader*> items) override {
    std::vector<Seen> seen;
    for (const TypedItemHeader* item : items) {
      const TypedItemHeader* valid = GetItemProperties(item);
      Seen s{item->type, valid != nullptr, std::string(), item->writerProcessId};
      if (valid != nullptr)
        s.payload.assign(reinterpret_cast<const char*>(GetItemData(valid)), static_cast<size_t>(valid->size));
      seen.push_back(std::move(s));
    }
    items.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.insert(seen_.end(), seen.begin(), seen.end());
    changed_.notify_all();
  }
  std::vector<Seen> WaitFor(size_t count, DWORD ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return seen_.size() >= count; });
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> seen_;
};

class TypedWriter : public SMIPCPManager {
 public:
  ~TypedWriter() override { Close(); }
  void OnNewData(std::vector<const TypedItemHeader*>) override {}
};

std::vector<unsigned char> Item(uint32_t flag, uint32_t type, uint64_t size, size_t payloadBytes = 8) {
  std::vector<unsigned char> bytes(20 + payloadBytes, 0x5A);
  std::memcpy(bytes.data(), &flag, 4);
  std::memcpy(bytes.data() + 4, &type, 4);
  std::memcpy(bytes.data() + 8, &size, 8);
  return bytes;
}

}  // namespace

// args: queue; writes a user response (type 8), a type 9 item, then a type 7 item.
SENTREL_CHILD(L"typed-writer", args) {
  TypedWriter writer;
  if (!writer.Create(SMIPCPManager::kClient, args.at(0), kQueueSize)) return 1;
  const unsigned char response[] = {1, 0, 'r', 0, 'u', 0, 0, 0};
  if (!writer.Write(8, response, sizeof(response))) return 2;
  if (!writer.Write(9, "nine", 4)) return 3;
  if (!writer.Write(7, "seven", 5)) return 4;
  return 0;
}

TEST(TypedQueue, ItemsAreCheckedForTypeThenSizeThenFlag) {
  TypedWriter manager;
  struct Case {
    std::vector<unsigned char> item;
    bool valid;
    const wchar_t* line;
  } cases[] = {
      {Item(0xABCDFFEE, 8, 4), true, nullptr},
      {Item(0xABCDFFEE, 1, 1), true, nullptr},
      {Item(0xABCDFFEE, 0, 4), false, L"GetItemProperties: Invalid Item Type."},
      {Item(0xABCDFFEE, 9, 4), false, L"GetItemProperties: Invalid Item Type."},
      {Item(0x00000000, 9, 0), false, L"GetItemProperties: Invalid Item Type."},  // type first
      {Item(0x00000000, 3, 0), false, L"GetItemProperties: Invalid Item Size."},  // size before flag
      {Item(0x00000000, 3, 4), false, L"GetItemProperties: Invalid Item Flag."},
  };
  for (const Case& c : cases) {
    const auto* item = reinterpret_cast<const TypedItemHeader*>(c.item.data());
    const size_t before = c.line ? OwnLogLinesContaining(c.line).size() : 0;
    EXPECT_EQ(c.valid ? item : nullptr, manager.GetItemProperties(item));
    if (c.line) {
      EXPECT_EQ(before + 1, OwnLogLinesContaining(c.line).size()) << c.line;
    }
    if (c.valid) {
      EXPECT_EQ(c.item.data() + 20, SMIPCPManager::GetItemData(item));
    }
  }
  EXPECT_EQ(nullptr, manager.GetItemProperties(nullptr));
  EXPECT_EQ(nullptr, SMIPCPManager::GetItemData(nullptr));
}

TEST(TypedQueue, CloseOnAnObjectThatNeverListenedAndTwice) {
  TypedReceiver receiver;
  EXPECT_TRUE(receiver.Close());
  EXPECT_TRUE(receiver.Close());
  ASSERT_TRUE(receiver.Create(SMIPCPManager::kServer, test_support::UniqueName(L"TypedClose"), kQueueSize));
  EXPECT_TRUE(receiver.Close());
  EXPECT_FALSE(receiver.IsReady());
  EXPECT_TRUE(receiver.Close());
}

TEST(TypedQueue, PeerProcessDeliversTypedItemsToOnNewData) {
  const std::wstring queue = test_support::UniqueName(L"Typed");
  const size_t typeLinesBefore = OwnLogLinesContaining(L"GetItemProperties: Invalid Item Type.").size();
  TypedReceiver receiver;
  ASSERT_TRUE(receiver.Create(SMIPCPManager::kServer, queue, kQueueSize));
  test_support::ChildProcess child = test_support::ChildProcess::Start(L"typed-writer", {queue});
  DWORD exitCode = 99;
  ASSERT_TRUE(child.Wait(30000, &exitCode));
  EXPECT_EQ(0u, exitCode);
  const auto seen = receiver.WaitFor(3, 10000);
  ASSERT_EQ(3u, seen.size());
  EXPECT_EQ(8u, seen[0].type);
  EXPECT_TRUE(seen[0].valid);
  EXPECT_EQ(std::string("\x01\x00r\x00u\x00\x00\x00", 8), seen[0].payload);
  EXPECT_EQ(child.pid(), seen[0].writerProcessId);
  EXPECT_EQ(9u, seen[1].type);
  EXPECT_FALSE(seen[1].valid);
  EXPECT_EQ(7u, seen[2].type);
  EXPECT_TRUE(seen[2].valid);
  EXPECT_EQ("seven", seen[2].payload);
  EXPECT_EQ(typeLinesBefore + 1, OwnLogLinesContaining(L"GetItemProperties: Invalid Item Type.").size());
}
