// Reliability of the channel under load: four writer processes push 25,000 items each
// of random size through one 20480-byte queue, retrying whenever it is full. Every
// item carries its writer, sequence number and CRC in the channel field, so the server
// can count what was lost, duplicated, corrupted or reordered.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "ipc/QueueLayout.h"
#include "ipc/SMIPCTNG.h"
#include "support/ChildProcess.h"

namespace {

constexpr unsigned long long kQueueSize = 20480;
constexpr int kWriters = 4;
constexpr int kItemsPerWriter = 25000;

uint32_t Crc32(uint32_t crc, const void* data, size_t size) {
  static uint32_t table[256];
  static bool ready = false;
  if (!ready) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  crc = ~crc;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t ItemCrc(unsigned writer, unsigned sequence, const void* payload, size_t size) {
  uint32_t crc = Crc32(0, &writer, sizeof(writer));
  crc = Crc32(crc, &sequence, sizeof(sequence));
  return Crc32(crc, payload, size);
}

class WriterClient : public SMIPCTNG {
 public:
  ~WriterClient() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*>) override {}
};

class CheckingServer : public SMIPCTNG {
 public:
  CheckingServer() : seen_(kWriters, std::vector<bool>(kItemsPerWriter, false)), next_(kWriters, 0) {}
  ~CheckingServer() override { Close(); }

  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++deliveries_;
    for (const QueueItemHeader* item : items) {
      unsigned writer = 0, sequence = 0, crc = 0;
      const std::wstring channel = QueueLayout::ChannelOf(*item);
      if (swscanf(channel.c_str(), L"w%u s%u c%x", &writer, &sequence, &crc) != 3 || writer >= kWriters ||
          sequence >= kItemsPerWriter ||
          ItemCrc(writer, sequence, ItemPayload(item), static_cast<size_t>(item->size)) != crc ||
          item->size < 1 || item->size > 1024) {
        ++corrupted_;
        continue;
      }
      if (seen_[writer][sequence]) {
        ++duplicated_;
        continue;
      }
      seen_[writer][sequence] = true;
      if (sequence != next_[writer]) ++reordered_;
      next_[writer] = sequence + 1;
      ++received_;
    }
  }

  size_t received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

  std::mutex mutex_;
  std::vector<std::vector<bool>> seen_;
  std::vector<unsigned> next_;
  size_t received_ = 0, duplicated_ = 0, corrupted_ = 0, reordered_ = 0, deliveries_ = 0;
};

}  // namespace

// args: queue, writer id, item count. Exit code: 0, or 1 + the number of failed writes.
SENTREL_CHILD(L"stress-writer", args) {
  const unsigned writer = std::stoul(args.at(1));
  const int count = std::stoi(args.at(2));
  WriterClient client;
  if (!client.Create(SMIPCTNG::kClient, args.at(0), kQueueSize)) return 1000000;
  std::mt19937 random(1234 + writer);
  std::vector<unsigned char> payload(1024);
  int failures = 0;
  for (int sequence = 0; sequence < count; ++sequence) {
    const size_t size = 1 + random() % 1024;
    for (size_t i = 0; i < size; ++i) payload[i] = static_cast<unsigned char>(random());
    wchar_t channel[36];
    _snwprintf(channel, 36, L"w%u s%u c%08X", writer, static_cast<unsigned>(sequence),
               ItemCrc(writer, static_cast<unsigned>(sequence), payload.data(), size));
    channel[35] = L'\0';
    for (int attempt = 0;; ++attempt) {
      bool outOfStorage = false;
      if (client.Write(channel, payload.data(), size, &outOfStorage)) break;
      if (!outOfStorage) {
        ++failures;
        break;
      }
      // Full: give the server's listener the processor, then back off a little.
      if (attempt < 2) ::SwitchToThread();
      else ::Sleep(1);
    }
  }
  return failures == 0 ? 0 : 1 + failures;
}

TEST(ChannelReliability, FourWritersLoseNothingThroughASmallQueue) {
  const std::wstring queue = test_support::UniqueName(L"Stress");
  CheckingServer server;
  ASSERT_TRUE(server.Create(SMIPCTNG::kServer, queue, kQueueSize));

  const ULONGLONG start = ::GetTickCount64();
  std::vector<test_support::ChildProcess> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.push_back(test_support::ChildProcess::Start(
        L"stress-writer", {queue, std::to_wstring(w), std::to_wstring(kItemsPerWriter)}));
  for (auto& writer : writers) {
    DWORD exitCode = 99;
    ASSERT_TRUE(writer.Wait(240000, &exitCode));
    EXPECT_EQ(0u, exitCode);
  }
  // The last drain may still be under way.
  const size_t expected = static_cast<size_t>(kWriters) * kItemsPerWriter;
  for (int i = 0; i < 100 && server.received() < expected; ++i) ::Sleep(50);
  const double seconds = (::GetTickCount64() - start) / 1000.0;

  std::lock_guard<std::mutex> lock(server.mutex_);
  const size_t lost = expected - server.received_;
  std::printf("figure queue-items: %zu\n", server.received_);
  std::printf("figure queue-lost: %zu\n", lost);
  std::printf("figure queue-duplicated: %zu\n", server.duplicated_);
  std::printf("figure queue-corrupted: %zu\n", server.corrupted_);
  std::printf("figure queue-order-violations: %zu\n", server.reordered_);
  std::printf("figure queue-deliveries: %zu\n", server.deliveries_);
  std::printf("figure queue-stress-items-per-second: %.0f\n", server.received_ / (seconds > 0 ? seconds : 1));
  std::fflush(stdout);
  EXPECT_EQ(0u, lost);
  EXPECT_EQ(0u, server.duplicated_);
  EXPECT_EQ(0u, server.corrupted_);
  EXPECT_EQ(0u, server.reordered_);
}
