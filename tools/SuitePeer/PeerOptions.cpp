#include "tools/SuitePeer/PeerOptions.h"

#include <algorithm>
#include <cwchar>

const wchar_t kPeerUsage[] =
    L"SuitePeer: plays the suite's peers on a shared-memory queue.\n"
    L"\n"
    L"  SuitePeer serve <queue> [--size <bytes>] [--count <n>] [--timeout-ms <ms>]\n"
    L"                          [--stop-event <name>] [--ready-event <name>] [--typed]\n"
    L"      Becomes the queue's server and prints each received item on stdout as one\n"
    L"      JSON line: {\"channel\":..,\"size\":..,\"text\":..} (text: the payload read as\n"
    L"      UTF-16 up to its NUL, in UTF-8). With --typed the queue carries typed items:\n"
    L"      {\"type\":..,\"size\":..,\"writer\":..,\"hex\":..}. Serves until --count items\n"
    L"      arrived, --timeout-ms passed, the --stop-event was signalled, Ctrl+C, or\n"
    L"      (when stdin is a pipe) stdin was closed. --ready-event is signalled once\n"
    L"      the queue is served. Exit code 0; 2 when the queue cannot be served; 3 when\n"
    L"      the timeout ended serving before --count items arrived.\n"
    L"\n"
    L"  SuitePeer write <queue> [--size <bytes>] [--channel <id>] [--retries <n>] --text <text>\n"
    L"  SuitePeer write <queue> [--size <bytes>] [--channel <id>]\n"
    L"                          --packet <type> <subtype> <channelid> [key=value ...]\n"
    L"      Writes one item as a client: a text (UTF-16 with its NUL), or a generic\n"
    L"      packet as JSON (the item's channel field is --channel, else <channelid>).\n"
    L"      Exit code 0 when written, 2 when not.\n"
    L"\n"
    L"  SuitePeer signal <event name>\n"
    L"      Sets an existing named event (e.g. Global\\HEARTH_RELOAD_NEWSETTINGS_EVENT).\n"
    L"      Exit code 0 when set, 2 when the event does not exist.\n"
    L"\n"
    L"  Queue names are given without \"Global\\\"; --size defaults to 20480 and must match\n"
    L"  the server's. Exit code 1 for a bad command line.\n";

namespace {

bool ReadNumber(const std::wstring& text, unsigned long long* value) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  const unsigned long long parsed = std::wcstoull(text.c_str(), &end, 10);
  if (end == nullptr || *end != L'\0' || text[0] == L'-') return false;
  *value = parsed;
  return true;
}

}  // namespace

bool ParsePeerOptions(const std::vector<std::wstring>& args, PeerOptions* options, std::wstring* error) {
  *options = PeerOptions();
  if (args.empty() || args[0] == L"--help" || args[0] == L"-h" || args[0] == L"/?") {
    options->command = PeerOptions::Command::Help;
    return true;
  }
  const std::wstring& command = args[0];
  if (command == L"serve") options->command = PeerOptions::Command::Serve;
  else if (command == L"write") options->command = PeerOptions::Command::Write;
  else if (command == L"signal") options->command = PeerOptions::Command::Signal;
  else {
    *error = L"unknown command: " + command;
    return false;
  }
  if (args.size() < 2 || args[1].empty() || args[1].compare(0, 2, L"--") == 0) {
    *error = command + L": a " + (command == L"signal" ? L"event" : L"queue") + L" name is needed";
    return false;
  }
  options->target = args[1];
  for (size_t i = 2; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    auto value = [&](std::wstring* out) {
      if (i + 1 >= args.size()) {
        *error = arg + L" needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    auto number = [&](unsigned long long* out) {
      std::wstring text;
      if (!value(&text)) return false;
      if (!ReadNumber(text, out)) {
        *error = arg + L" needs a number: " + text;
        return false;
      }
      return true;
    };
    unsigned long long n = 0;
    const bool serve = options->command == PeerOptions::Command::Serve;
    const bool write = options->command == PeerOptions::Command::Write;
    if (arg == L"--size" && (serve || write)) {
      if (!number(&options->mappingSize)) return false;
    } else if (arg == L"--count" && serve) {
      if (!number(&options->count)) return false;
    } else if (arg == L"--timeout-ms" && serve) {
      if (!number(&n)) return false;
      options->timeoutMs = static_cast<unsigned long>(n > 0xFFFFFFFEull ? 0xFFFFFFFEull : n);
    } else if (arg == L"--stop-event" && serve) {
      if (!value(&options->stopEvent)) return false;
    } else if (arg == L"--ready-event" && serve) {
      if (!value(&options->readyEvent)) return false;
    } else if (arg == L"--typed" && serve) {
      options->typed = true;
    } else if (arg == L"--channel" && write) {
      if (!value(&options->channel)) return false;
      options->haveChannel = true;
    } else if (arg == L"--retries" && write) {
      if (!number(&n)) return false;
      options->retries = static_cast<int>(n > 1000000 ? 1000000 : n);
    } else if (arg == L"--text" && write) {
      if (!value(&options->text)) return false;
      options->isPacket = false;
    } else if (arg == L"--packet" && write) {
      if (i + 3 >= args.size()) {
        *error = L"--packet needs <type> <subtype> <channelid>";
        return false;
      }
      options->isPacket = true;
      options->packetType = args[++i];
      options->packetSubtype = args[++i];
      options->packetChannel = args[++i];
      while (i + 1 < args.size() && args[i + 1].compare(0, 2, L"--") != 0) {
        const std::wstring& pair = args[++i];
        const size_t equals = pair.find(L'=');
        if (equals == std::wstring::npos || equals == 0) {
          *error = L"--packet pairs are key=value: " + pair;
          return false;
        }
        options->pairs.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
      }
    } else {
      *error = command + L": unknown option " + arg;
      return false;
    }
  }
  if (options->command == PeerOptions::Command::Write && !options->isPacket &&
      std::find(args.begin(), args.end(), L"--text") == args.end()) {
    *error = L"write: --text or --packet is needed";
    return false;
  }
  return true;
}
