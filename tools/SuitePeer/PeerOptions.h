// The command line of SuitePeer, read into plain values.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct PeerOptions {
  enum class Command { Help, Serve, Write, Signal };
  Command command = Command::Help;
  std::wstring target;  // queue name (serve, write) or event name (signal)
  unsigned long long mappingSize = 20480;
  // serve
  bool typed = false;
  unsigned long long count = 0;       // 0: no limit
  unsigned long timeoutMs = 0;        // 0: no limit
  std::wstring stopEvent;
  std::wstring readyEvent;
  // write
  std::wstring channel = L"SuitePeer";
  bool haveChannel = false;
  bool isPacket = false;
  std::wstring text;
  std::wstring packetType, packetSubtype, packetChannel;
  std::vector<std::pair<std::wstring, std::wstring>> pairs;
  int retries = 0;
};

// Reads the arguments after the program name. False with `error` set on a bad line.
bool ParsePeerOptions(const std::vector<std::wstring>& args, PeerOptions* options, std::wstring* error);

extern const wchar_t kPeerUsage[];
