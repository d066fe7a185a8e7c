// The suite's one-way shared-memory message queue between processes.
//
// One process is the server: it creates the named mapping and runs a listener thread
// that drains every item written so far into a private copy and hands the items to
// OnNewData. Any number of clients open the mapping and append items under the
// queue's named mutex. The mapping layout is shared with every program of the suite
// (ipc/QueueLayout.h).
//
// A receiver derived from this class calls Close() in its own destructor, so that the
// listener has ended (or can no longer reach it) before the receiver is destroyed.
#pragma once

#include <string>
#include <vector>

#include "ipc/QueueEndpoint.h"
#include "ipc/QueueLayout.h"

class SMIPCTNG : private QueueEndpoint::Receiver {
 public:
  enum { kServer = 1, kClient = 2 };

  SMIPCTNG();
  virtual ~SMIPCTNG();
  SMIPCTNG(const SMIPCTNG&) = delete;
  SMIPCTNG& operator=(const SMIPCTNG&) = delete;

  // type 1 server, 2 client; mappingSize must match between the server and its clients.
  bool Create(int type, const std::wstring& queueName, unsigned long long mappingSize);
  // Appends one item; *outOfStorage (when given) is set when the queue had no room.
  bool Write(const std::wstring& channelId, const void* data, unsigned long long length,
             bool* outOfStorage = nullptr);
  // Converts both strings from the ANSI code page to UTF-16 and appends the text with
  // its terminating NUL; on a full queue retries up to `retries` times, 50 ms apart.
  bool Write(const std::string& channelId, const std::string& text, int retries);
  // Stops the listener (at most 3 s) and releases every handle. Always true.
  bool Close();

  // Called on the listener thread with the items of one drain, in the order written.
  // The pointers point into the private copy and stay valid until this returns.
  virtual void OnNewData(std::vector<const QueueItemHeader*> items) = 0;

  // The payload that follows an item header.
  static const unsigned char* ItemPayload(const QueueItemHeader* item);

  bool IsReady() const { return endpoint_.IsReady(); }
  const std::wstring& MappingName() const { return endpoint_.mappingName(); }

 private:
  void Deliver(std::vector<const unsigned char*> items) override;

  QueueEndpoint endpoint_;
};
