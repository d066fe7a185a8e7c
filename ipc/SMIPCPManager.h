// Base of receivers that take typed items from a shared-memory queue of the suite.
//
// A typed queue has the same 16-byte header as a channel queue (ipc/QueueLayout.h);
// its items carry a 20-byte header: flag 0xABCDFFEE, type (1 to 8), payload size and,
// in the 4 bytes at offset 16, the writer's process id (for diagnosis only).
//
// Create(1, ...) makes the object the queue's server, with a listener thread that
// delivers each drain to OnNewData; Create(2, ...) and Write let a peer process append
// typed items. A receiver derived from this class calls Close() in its own destructor.
#pragma once

#include <string>
#include <vector>

#include "ipc/QueueEndpoint.h"
#include "ipc/QueueLayout.h"

class SMIPCPManager : private QueueEndpoint::Receiver {
 public:
  enum { kServer = 1, kClient = 2 };
  static constexpr unsigned int kMinItemType = 1;
  static constexpr unsigned int kMaxItemType = 8;

  SMIPCPManager();
  virtual ~SMIPCPManager();
  SMIPCPManager(const SMIPCPManager&) = delete;
  SMIPCPManager& operator=(const SMIPCPManager&) = delete;

  // Called on the listener thread with the items of one delivery, in queue order;
  // each pointer stays valid until this returns. Items are only known to lie inside
  // the delivery: check each with GetItemProperties before reading it.
  virtual void OnNewData(std::vector<const TypedItemHeader*> items) = 0;

  // The item itself when its type, size and flag are valid (checked in that order,
  // each failure logged once), else null. Null gives null without a log line.
  const TypedItemHeader* GetItemProperties(const TypedItemHeader* item) const;
  // The payload (item + 20), or null for a null item.
  static const unsigned char* GetItemData(const TypedItemHeader* item);

  // Stops the listener (at most 3 s) and releases every handle. Always true.
  bool Close();

  // Opens the typed queue `queueName`: type 1 server, 2 client.
  bool Create(int type, const std::wstring& queueName, unsigned long long mappingSize);
  // Appends one typed item (flag set, type as given, even outside 1..8).
  bool Write(unsigned int itemType, const void* data, unsigned long long length,
             bool* outOfStorage = nullptr);

  bool IsReady() const { return endpoint_.IsReady(); }

 private:
  void Deliver(std::vector<const unsigned char*> items) override;

  QueueEndpoint endpoint_;
};
