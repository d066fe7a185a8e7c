// SuitePeer: plays the suite's other programs on shared-memory queues (see kPeerUsage).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "common/TextConversion.h"
#include "common/UniqueHandle.h"
#include "ipc/GenericPacket.h"
#include "ipc/SMIPCPManager.h"
#include "ipc/SMIPCTNG.h"
#include "tools/SuitePeer/ItemJson.h"
#include "tools/SuitePeer/PeerOptions.h"

namespace {

// Set to end serving: count reached, stop event, Ctrl+C, stdin closed.
HANDLE g_stop = nullptr;

void WriteOut(const std::string& line) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fwrite("\n", 1, 1, stdout);
  std::fflush(stdout);
}

void WriteErr(const std::wstring& text) {
  const std::string utf8 = WideToUtf8(text) + "\n";
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
  std::fflush(stderr);
}

// Counts printed items and stops serving at the limit; items past it are not printed.
class ItemBudget {
 public:
  explicit ItemBudget(unsigned long long limit) : limit_(limit) {}
  bool Take() {
    const unsigned long long n = ++taken_;
    if (limit_ != 0 && n > limit_) return false;
    if (limit_ != 0 && n == limit_) ::SetEvent(g_stop);
    return true;
  }
  bool Reached() const { return limit_ == 0 || taken_ >= limit_; }

 private:
  unsigned long long limit_;
  std::atomic<unsigned long long> taken_{0};
};

class PeerServer : public SMIPCTNG {
 public:
  explicit PeerServer(ItemBudget* budget) : budget_(budget) {}
  ~PeerServer() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*> items) override {
    for (const QueueItemHeader* item : items) {
      if (!budget_->Take()) break;
      WriteOut(ChannelItemJson(QueueLayout::ChannelOf(*item), ItemPayload(item), item->size));
    }
  }

 private:
  ItemBudget* budget_;
};

class TypedPeerServer : public SMIPCPManager {
 public:
  explicit TypedPeerServer(ItemBudget* budget) : budget_(budget) {}
  ~TypedPeerServer() override { Close(); }
  void OnNewData(std::vector<const TypedItemHeader*> items) override {
    for (const TypedItemHeader* item : items) {
      if (!budget_->Take()) break;
      WriteOut(TypedItemJson(item->type, item->size, item->writerProcessId, GetItemData(item)));
    }
  }

 private:
  ItemBudget* budget_;
};

class PeerClient : public SMIPCTNG {
 public:
  ~PeerClient() override { Close(); }
  void OnNewData(std::vector<const QueueItemHeader*>) override {}
};

BOOL WINAPI OnConsoleControl(DWORD) {
  ::SetEvent(g_stop);
  return TRUE;
}

// Ends serving when the other end of a stdin pipe closes it.
DWORD WINAPI WatchStdin(void*) {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  char buffer[256];
  DWORD read = 0;
  while (::ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
  }
  ::SetEvent(g_stop);
  return 0;
}

void SignalReady(const std::wstring& name) {
  if (name.empty()) return;
  UniqueKernelHandle ready(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  if (ready) ::SetEvent(ready.get());
}

int Serve(const PeerOptions& options) {
  UniqueKernelHandle stop(::CreateEventW(nullptr, TRUE, FALSE, options.stopEvent.empty() ? nullptr : options.stopEvent.c_str()));
  if (!stop) {
    WriteErr(L"serve: cannot create the stop event " + options.stopEvent);
    return 2;
  }
  g_stop = stop.get();
  ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  if (::GetFileType(::GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_PIPE) {
    UniqueKernelHandle watcher(::CreateThread(nullptr, 0, &WatchStdin, nullptr, 0, nullptr));
  }

  ItemBudget budget(options.count);
  PeerServer channelServer(&budget);
  TypedPeerServer typedServer(&budget);
  const bool created = options.typed
                           ? typedServer.Create(SMIPCPManager::kServer, options.target, options.mappingSize)
                           : channelServer.Create(SMIPCTNG::kServer, options.target, options.mappingSize);
  if (!created) {
    WriteErr(L"serve: cannot serve the queue " + options.target + L" (another server, or a size mismatch?)");
    return 2;
  }
  WriteErr(L"serve: serving Global\\" + options.target);
  SignalReady(options.readyEvent);
  const DWORD waited = ::WaitForSingleObject(stop.get(), options.timeoutMs == 0 ? INFINITE : options.timeoutMs);
  channelServer.Close();
  typedServer.Close();
  if (waited == WAIT_TIMEOUT && !budget.Reached()) {
    WriteErr(L"serve: timed out before the expected items arrived");
    return 3;
  }
  return 0;
}

int Write(const PeerOptions& options) {
  if (options.isPacket) {
    GenericPacket packet;
    packet.SetHeader(WideToAnsi(options.packetType), WideToAnsi(options.packetSubtype),
                     WideToAnsi(options.packetChannel));
    for (const auto& pair : options.pairs) packet.AddKeyValue(WideToAnsi(pair.first), WideToAnsi(pair.second));
    const std::wstring channel = options.haveChannel ? options.channel : options.packetChannel;
    if (!packet.WriteOnce(options.target, options.mappingSize, channel)) {
      WriteErr(L"write: the packet was not written to " + options.target);
      return 2;
    }
    return 0;
  }
  PeerClient client;
  if (!client.Create(SMIPCTNG::kClient, options.target, options.mappingSize)) {
    WriteErr(L"write: the queue " + options.target + L" is not served");
    return 2;
  }
  const unsigned long long length = 2ull * options.text.size() + 2;
  for (int attempt = 0;; ++attempt) {
    bool outOfStorage = false;
    if (client.Write(options.channel, options.text.c_str(), length, &outOfStorage)) return 0;
    if (!outOfStorage || attempt >= options.retries) break;
    ::Sleep(50);
  }
  WriteErr(L"write: the text was not written to " + options.target);
  return 2;
}

int Signal(const PeerOptions& options) {
  UniqueKernelHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, options.target.c_str()));
  if (!event || !::SetEvent(event.get())) {
    WriteErr(L"signal: no event named " + options.target);
    return 2;
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::wstring> args(argv + 1, argv + argc);
  PeerOptions options;
  std::wstring error;
  if (!ParsePeerOptions(args, &options, &error)) {
    WriteErr(L"SuitePeer: " + error + L"\n\n" + kPeerUsage);
    return 1;
  }
  switch (options.command) {
    case PeerOptions::Command::Help: {
      const std::string usage = WideToUtf8(kPeerUsage);
      std::fwrite(usage.data(), 1, usage.size(), stdout);
      return 0;
    }
    case PeerOptions::Command::Serve:
      return Serve(options);
    case PeerOptions::Command::Write:
      return Write(options);
    case PeerOptions::Command::Signal:
      return Signal(options);
  }
  return 1;
}
