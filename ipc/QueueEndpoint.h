// One end of a shared-memory queue: the named mapping, its mutex, the new-data event,
// and for a server the listener thread that drains the queue into a private copy.
//
// The Win32 side shared by the channel (SMIPCTNG) and the typed-queue receivers
// (SMIPCPManager); they differ in their item layout and their log texts.
//
// Everything the listener thread touches (mutex, mapping, view, events, private copy)
// lives in one reference-counted state. Close waits at most 3 s for the listener; a
// listener stuck in its receiver keeps that state alive and releases it when it ends,
// so a late return from the receiver never touches freed memory or closed handles.
// Once stopped, a listener takes nothing more out of the mapping and never waits on the
// shared new-data event again, so one that Close gave up on cannot take the wake-up of
// the next server of the queue; items it took out before the stop are still delivered,
// unless Close has given up on it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "ipc/QueueLayout.h"

// The log lines of one endpoint family (wide printf formats).
struct QueueTexts {
  const wchar_t* alreadyCreated;        // Create on a created object
  const wchar_t* invalidType;           // %d type
  const wchar_t* mutexFailed;           // %d gle
  const wchar_t* anotherServer;         // %s server-running event name
  const wchar_t* serverRunningFailed;   // %d gle
  const wchar_t* newDataEventFailed;    // %d gle
  const wchar_t* forwardEventFailed;    // %d gle
  const wchar_t* listenerFailed;        // %d gle
  const wchar_t* channelAlreadyCreated; // open mapping on a created object
  const wchar_t* serverMappingFailed;   // %s mapping name, %d gle
  const wchar_t* clientMappingFailed;   // %s mapping name, %d gle
  const wchar_t* mapViewFailed;         // %s mapping name, %d gle
  const wchar_t* invalidData;           // write of null data or no bytes
  const wchar_t* acquireLockFailed;     // %d gle
  const wchar_t* writeCannotLock;
  const wchar_t* notReady;              // %s mapping name
  const wchar_t* noRoom;                // %d length
  const wchar_t* wrote;                 // %d thread id, %d length
  const wchar_t* listenerTerminated;
  const wchar_t* readCannotLock;
  const wchar_t* readFailed;
  const wchar_t* readNotReady;
  const wchar_t* invalidItemSize;
  const wchar_t* invalidItemFlag;
  const wchar_t* nullItemProperty;
};

class QueueEndpoint {
 public:
  enum Type { kNone = 0, kServer = 1, kClient = 2 };
  static constexpr unsigned long long kDefaultMappingSize = 5120;

  // Receives the items of one drain on the listener thread.
  class Receiver {
   public:
    virtual void Deliver(std::vector<const unsigned char*> items) = 0;

   protected:
    ~Receiver() = default;
  };

  QueueEndpoint(const QueueTexts& texts, QueueLayout::ItemKind kind, Receiver* receiver);
  ~QueueEndpoint();
  QueueEndpoint(const QueueEndpoint&) = delete;
  QueueEndpoint& operator=(const QueueEndpoint&) = delete;

  // type 1 server (creates the mapping, starts the listener), 2 client. Any other type is
  // logged and fails.
  bool Create(int type, const std::wstring& queueName, unsigned long long mappingSize);
  // Appends one item under the queue's mutex and announces it.
  bool Append(const void* itemHeader, unsigned long long headerSize, const void* data,
              unsigned long long length, bool* outOfStorage);
  // Stops the listener (waiting at most 3000 ms) and releases every handle.
  bool Close();

  bool IsReady() const;
  int type() const { return type_; }
  unsigned long long mappingSize() const { return mappingSize_; }
  const std::wstring& mappingName() const { return mappingName_; }
  const std::wstring& newDataEventName() const { return newDataEventName_; }
  const std::wstring& serverRunningEventName() const { return serverRunningEventName_; }

  struct State;  // shared with the listener thread

 private:
  static DWORD WINAPI ListenerThread(void* parameter);

  const QueueTexts& texts_;
  QueueLayout::ItemKind kind_;
  Receiver* receiver_;
  std::wstring mappingName_;
  int type_ = kNone;
  unsigned long long mappingSize_ = kDefaultMappingSize;
  std::wstring newDataEventName_;
  std::wstring serverRunningEventName_;
  std::shared_ptr<State> state_;
  UniqueKernelHandle serverRunningEvent_;
  std::vector<UniqueKernelHandle> listenerThreads_;
};
