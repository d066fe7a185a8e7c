#include "MalformedCorpus.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ipc/QueueLayout.h"
#include "support/UserResponsePayload.h"

namespace campaign {
namespace malformed {

namespace {

using test_support::UserResponsePayload;

// splitmix64: a fresh, independent stream for each (seed, door, index).
class Rng {
 public:
  Rng(uint64_t seed, Door door, uint64_t index)
      : state_(seed ^ (0x9E3779B97F4A7C15ull * (static_cast<uint64_t>(door) + 1)) ^
               (index * 0xD1B54A32D192ED03ull)) {
    Next();
  }
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  // Mostly short, now and then long, rarely very long.
  size_t Length(size_t shortMax, size_t longMax, size_t hugeMax) {
    const uint64_t roll = Below(1000);
    if (roll < 3) return static_cast<size_t>(Below(hugeMax + 1));
    if (roll < 60) return static_cast<size_t>(Below(longMax + 1));
    return static_cast<size_t>(Below(shortMax + 1));
  }
  template <typename T, size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  uint64_t state_;
};

std::string Quoted(const std::string& body) { return "\"" + body + "\""; }

std::string Repeat(const std::string& piece, size_t count) {
  std::string out;
  out.reserve(piece.size() * count);
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

// ---------------------------------------------------------------------------------
// Valid texts

// The body of a JSON string (without its quotes) that parses: plain text, escapes,
// UTF-8, and for packets (ANSI code page text) single high bytes.
std::string StringBody(Rng& rng, size_t length, bool highBytes) {
  static const char* const kPieces[] = {
      "\\\"", "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0001", "\\u001F", "\\u00e9", "\\u20AC",
      "\\uD83D\\uDE00", "\\uDC00", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", " ", "%s", "%d", "_{Reserved}_"};
  std::string body;
  while (body.size() < length) {
    const uint64_t roll = rng.Below(100);
    if (roll < 70) {
      body.push_back(static_cast<char>('a' + rng.Below(26)));
    } else if (roll < 80) {
      body.push_back(static_cast<char>('0' + rng.Below(10)));
    } else if (roll < 95 || !highBytes) {
      body += rng.Pick(kPieces);
    } else {
      body.push_back(static_cast<char>(0x80 + rng.Below(0x80)));
    }
  }
  return body;
}

std::string Spaces(Rng& rng) {
  static const char* const kSpaces[] = {"", "", "", " ", "\t", "\r\n", "\n  "};
  return rng.Pick(kSpaces);
}

std::string ValidPacket(Rng& rng) {
  const bool spaced = rng.Chance(15);
  auto gap = [&]() { return spaced ? Spaces(rng) : std::string(); };
  auto text = [&]() { return Quoted(StringBody(rng, rng.Length(12, 200, 70000), true)); };
  std::vector<std::string> members = {
      "\"type\"" + gap() + ":" + gap() + text(),
      "\"subtype\"" + gap() + ":" + gap() + text(),
      "\"channelid\"" + gap() + ":" + gap() + text(),
  };
  std::string list = "[";
  const size_t pairs = rng.Chance(5) ? rng.Below(300) : rng.Below(6);
  for (size_t i = 0; i < pairs; ++i) {
    if (i > 0) list += "," + gap();
    const std::string key = rng.Chance(10) && i > 0 ? "\"dup\"" : text();  // repeated keys now and then
    list += "{\"key\":" + gap() + key + ",\"value\":" + gap() + text() + "}";
  }
  list += "]";
  members.push_back("\"keyvallist\"" + gap() + ":" + gap() + list);
  static const char* const kExtras[] = {"1", "true", "null", "[1,[2]]", "{\"a\":{}}"};
  if (rng.Chance(10)) members.push_back(std::string("\"extra\":") + rng.Pick(kExtras));
  if (rng.Chance(5)) members.push_back("\"type\":\"second\"");  // a repeated member
  if (rng.Chance(10)) std::swap(members[rng.Below(members.size())], members[rng.Below(members.size())]);
  std::string packet = gap() + "{";
  for (size_t i = 0; i < members.size(); ++i) packet += (i > 0 ? "," + gap() : gap()) + members[i];
  return packet + gap() + "}" + gap();
}

std::string ValidResourceFile(Rng& rng) {
  const bool spaced = rng.Chance(40);
  auto gap = [&]() { return spaced ? Spaces(rng) : std::string(); };
  std::string file = rng.Chance(20) ? "\xEF\xBB\xBF" : "";
  file += gap() + "{";
  // Now and then many short members, otherwise a few of any length.
  const bool many = rng.Chance(2);
  const size_t members = many ? static_cast<size_t>(500 + rng.Below(3000)) : static_cast<size_t>(rng.Below(9));
  auto length = [&](size_t shortMax, size_t longMax, size_t hugeMax) {
    return many ? static_cast<size_t>(rng.Below(16)) : rng.Length(shortMax, longMax, hugeMax);
  };
  std::string lastName;
  for (size_t i = 0; i < members; ++i) {
    std::string name = Quoted(StringBody(rng, length(10, 100, 20000), false));
    if (!lastName.empty() && rng.Chance(8)) name = lastName;  // a repeated name
    lastName = name;
    if (i > 0) file += "," + gap();
    file += gap() + name + gap() + ":" + gap() + Quoted(StringBody(rng, length(30, 2000, 300000), false));
  }
  return file + gap() + "}" + gap();
}

// ---------------------------------------------------------------------------------
// Mutations

// Positions of the string literals that are values (follow a ':'): [open quote, close quote].
std::vector<std::pair<size_t, size_t>> ValueStrings(const std::string& text) {
  std::vector<std::pair<size_t, size_t>> found;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != ':') continue;
    size_t open = i + 1;
    while (open < text.size() && (text[open] == ' ' || text[open] == '\t' || text[open] == '\r' || text[open] == '\n'))
      ++open;
    if (open >= text.size() || text[open] != '"') continue;
    size_t close = open + 1;
    while (close < text.size() && text[close] != '"') close += text[close] == '\\' ? 2 : 1;
    if (close < text.size()) found.emplace_back(open, close);
  }
  return found;
}

const char* const kTokens[] = {
    "{", "}", "[", "]", "\"", ",", ":", "\\", "\\u", "\\u12", "\\uD800", "\\uDC00", "\\uD800\\u0041", "\\x41",
    "\\'", "\x01", "\x1F", "\t", "\r\n", "\x7F", "\xFF", "\xFE", "\xC0\x80",
    "\xC1\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xE2\x82",
    "\xF0\x9F\x98", "\x80", "\xBF", "\xEF\xBB\xBF", "true", "false", "null", "nul", "tru", "1e999999",
    "-1e-999999", "123456789012345678901234567890", "-", "01", "1.", ".5", "0x10", "NaN", "Infinity", "+1",
    "/* */", "//", ",]", ",}", "\"a\":\"b\"", "\"type\":1", "\"keyvallist\":{}", "{\"key\":1}", "[]", "{}",
    "\\u0000", "%s%s%n", "\xFF\xFE",
};

// Invalid UTF-8 sequences placed inside strings.
const char* const kBadUtf8[] = {"\x80",         "\xBF",         "\xC0\x80",     "\xC1\xBF",
                                "\xE0\x80\x80", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80",
                                "\xF5\x80\x80\x80", "\xFE",     "\xFF",         "\xE2\x82",
                                "\xF0\x9F\x98", "\xC3"};

std::string Token(Rng& rng) {
  if (rng.Chance(3)) return std::string(1, '\0');
  return rng.Pick(kTokens);
}

std::string WrongType(Rng& rng) {
  static const char* const kValues[] = {"0",    "-12",   "3.5e10", "true",           "false",
                                        "null", "[]",    "{}",     "[\"x\"]",        "{\"key\":\"k\"}",
                                        "1e400", "[[[]]]", "\"\"",  "{\"value\":\"v\"}"};
  return rng.Pick(kValues);
}

std::string DeepNesting(Rng& rng) {
  const uint64_t roll = rng.Below(100);
  const size_t depth = roll < 90 ? 30 + rng.Below(10) : (roll < 99 ? rng.Below(5000) : rng.Below(200000));
  const char* open[] = {"[", "{\"a\":", "[{\"k\":"};
  const char* close[] = {"]", "}", "}]"};
  const uint64_t kind = rng.Below(3);
  std::string nested = Repeat(open[kind], depth) + (rng.Chance(50) ? "\"x\"" : "1");
  if (rng.Chance(80)) nested += Repeat(close[kind], depth);  // balanced, or left open
  return nested;
}

void Mutate(Rng& rng, std::string& text) {
  const size_t at = static_cast<size_t>(rng.Below(text.size() + 1));
  switch (rng.Below(14)) {
    case 0:  // truncated
      text.resize(at);
      break;
    case 1:  // a few bytes gone
      text.erase(at, static_cast<size_t>(1 + rng.Below(8)));
      break;
    case 2:  // a stray token
      text.insert(at, Token(rng));
      break;
    case 3:  // flipped bits
      if (!text.empty()) text[std::min(at, text.size() - 1)] ^= static_cast<char>(1u << rng.Below(8));
      break;
    case 4: {  // a value of the wrong type
      const auto strings = ValueStrings(text);
      if (strings.empty()) break;
      const auto& s = strings[rng.Below(strings.size())];
      text.replace(s.first, s.second - s.first + 1, WrongType(rng));
      break;
    }
    case 5: {  // deep nesting, in place of a value or anywhere
      const auto strings = ValueStrings(text);
      if (!strings.empty() && rng.Chance(70)) {
        const auto& s = strings[rng.Below(strings.size())];
        text.replace(s.first, s.second - s.first + 1, DeepNesting(rng));
      } else {
        text.insert(at, DeepNesting(rng));
      }
      break;
    }
    case 6: {  // invalid UTF-8 inside a string
      const auto strings = ValueStrings(text);
      const std::string bad = rng.Pick(kBadUtf8);
      if (strings.empty()) {
        text.insert(at, bad);
      } else {
        const auto& s = strings[rng.Below(strings.size())];
        text.insert(s.first + 1 + static_cast<size_t>(rng.Below(s.second - s.first)), bad);
      }
      break;
    }
    case 7: {  // a missing terminator
      static const char kClosers[] = {'"', '}', ']'};
      const size_t last = text.rfind(rng.Pick(kClosers));
      if (last != std::string::npos) text.erase(last, 1);
      break;
    }
    case 8:  // an embedded NUL, raw or escaped
      text.insert(at, rng.Chance(50) ? std::string(1, '\0') : std::string("\\u0000"));
      break;
    case 9: {  // a huge value: a long string, a long number
      const auto strings = ValueStrings(text);
      const size_t length = rng.Chance(2) ? 1000000 : static_cast<size_t>(1000 + rng.Below(64000));
      const std::string huge = rng.Chance(70) ? Quoted(std::string(length, 'h'))
                                              : std::string(static_cast<size_t>(300 + rng.Below(3000)), '9');
      if (strings.empty()) {
        text.insert(at, huge);
      } else {
        const auto& s = strings[rng.Below(strings.size())];
        text.replace(s.first, s.second - s.first + 1, huge);
      }
      break;
    }
    case 10: {  // a slice of itself again
      if (text.empty()) break;
      const size_t from = static_cast<size_t>(rng.Below(text.size()));
      const std::string slice = text.substr(from, static_cast<size_t>(1 + rng.Below(64)));
      text.insert(at, slice);
      break;
    }
    case 11:  // text after the end
      text += rng.Chance(50) ? Token(rng) : std::string(" ") + Token(rng);
      break;
    case 12:  // a line break where a log line would show it
      text.insert(at, rng.Chance(50) ? "\r\n" : "\n");
      break;
    default:  // a control byte
      text.insert(at, 1, static_cast<char>(rng.Below(0x20)));
      break;
  }
}

TextInput Fuzzed(Rng& rng, std::string text) {
  // A few valid inputs stay as they are, so that the acceptance path is exercised too.
  if (!rng.Chance(8)) {
    const uint64_t mutations = 1 + rng.Below(3);
    for (uint64_t i = 0; i < mutations; ++i) Mutate(rng, text);
  }
  return TextInput{std::move(text), Expect::Either};
}

// ---------------------------------------------------------------------------------
// Hand-made corpora

std::string WithValue(const std::string& before, const std::string& value, const std::string& after) {
  return before + value + after;
}

std::vector<TextInput> HandMadePackets() {
  const std::string head = "{\"type\":\"ServiceType\",\"subtype\":\"SubTypeServiceStatus\",";
  const std::string channel = "\"channelid\":\"91C2257D-77FF-463A-8E40-1CE2B0D3B840\",";
  const std::string pairs =
      "[{\"key\":\"CreationTime\",\"value\":\"1700000000\"},{\"key\":\"Priority\",\"value\":\"high\"},"
      "{\"key\":\"Service\",\"value\":\"start\"}]";
  const std::string valid = head + channel + "\"keyvallist\":" + pairs + "}";
  const std::string nul(1, '\0');
  auto withPair = [&](const std::string& key, const std::string& value) {
    return head + channel + "\"keyvallist\":[{\"key\":" + key + ",\"value\":" + value + "}]}";
  };
  auto withList = [&](const std::string& list) { return head + channel + "\"keyvallist\":" + list + "}"; };
  auto withExtra = [&](const std::string& extra) { return head + channel + "\"x\":" + extra + ",\"keyvallist\":[]}"; };

  std::vector<TextInput> cases;
  auto accept = [&](const std::string& text) { cases.push_back(TextInput{text, Expect::Accept}); };
  auto refuse = [&](const std::string& text) { cases.push_back(TextInput{text, Expect::Refuse}); };
  auto either = [&](const std::string& text) { cases.push_back(TextInput{text, Expect::Either}); };

  accept(valid);
  // Truncated at every byte.
  for (size_t length = 0; length < valid.size(); ++length) refuse(valid.substr(0, length));
  // White space around it, text or NULs after it.
  accept(" \t\r\n" + valid + "\r\n ");
  refuse(valid + "x");
  refuse(valid + "{}");
  accept(valid + nul);  // a text taken with its terminating NULs ends at them
  accept(valid + "\r\n" + nul + nul);
  refuse(valid + nul + "garbage");
  refuse(valid + nul + nul + "}");
  refuse(head + nul + channel + "\"keyvallist\":[]}");
  refuse(withPair("\"k\"", "\"a" + nul + "b\""));
  accept(withPair("\"k\"", "\"a\\u0000b\""));
  accept(withPair("\"k\\u0000hidden\"", "\"v\""));
  // Duplicate keys and members (the first is kept).
  accept(withList("[{\"key\":\"k\",\"value\":\"1\"},{\"key\":\"k\",\"value\":\"2\"}]"));
  accept("{\"type\":\"a\",\"type\":\"b\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[]}");
  accept("{\"type\":\"a\",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[],\"keyvallist\":5}");
  // Wrong types in the header, the list and its elements.
  const char* const wrong[] = {"1", "null", "true", "[\"t\"]", "{\"t\":\"t\"}"};
  for (const char* w : wrong) {
    refuse(std::string("{\"type\":") + w + ",\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[]}");
    refuse(std::string("{\"type\":\"t\",\"subtype\":") + w + ",\"channelid\":\"c\",\"keyvallist\":[]}");
    refuse(std::string("{\"type\":\"t\",\"subtype\":\"s\",\"channelid\":") + w + ",\"keyvallist\":[]}");
    refuse(withPair("\"k\"", w));
    refuse(withPair(w, "\"v\""));
  }
  refuse(withList("{\"key\":\"k\",\"value\":\"v\"}"));
  refuse(withList("\"list\""));
  refuse(withList("null"));
  refuse(withList("[\"k\",\"v\"]"));
  refuse(withList("[[\"k\",\"v\"]]"));
  refuse(withList("[{\"key\":\"k\"}]"));
  refuse(withList("[{\"value\":\"v\"}]"));
  refuse(withList("[{\"key\":\"k\",\"value\":\"v\"},7]"));
  // Missing members, other roots.
  refuse("{\"subtype\":\"s\",\"channelid\":\"c\",\"keyvallist\":[]}");
  refuse("{\"type\":\"t\",\"channelid\":\"c\",\"keyvallist\":[]}");
  refuse("{\"type\":\"t\",\"subtype\":\"s\",\"keyvallist\":[]}");
  refuse(head + "\"channelid\":\"c\"}");
  refuse("{}");
  refuse("[]");
  refuse("[\"type\",\"subtype\",\"channelid\",\"keyvallist\"]");
  refuse("\"type\"");
  refuse("42");
  refuse("null");
  refuse("");
  // Nesting: 32 levels are a packet, 33 are not; far deeper is refused before parsing.
  accept(withExtra(Repeat("[", 31) + Repeat("]", 31)));
  refuse(withExtra(Repeat("[", 32) + Repeat("]", 32)));
  refuse(withExtra(Repeat("[", 100000) + Repeat("]", 100000)));
  refuse(withExtra(Repeat("{\"a\":", 50000) + "1" + Repeat("}", 50000)));
  refuse(Repeat("[", 200000));
  refuse(Repeat("{\"a\":", 200000));
  accept(withExtra("\"" + Repeat("[{", 5000) + "\""));  // brackets inside a string do not nest
  // Invalid UTF-8 is carried as it is (packets hold code-page text, not UTF-8).
  for (const char* bad : kBadUtf8) accept(withPair("\"k\"", std::string("\"a") + bad + "b\""));
  // Escapes.
  refuse(withPair("\"k\"", "\"\\x41\""));
  refuse(withPair("\"k\"", "\"\\u12\""));
  refuse(withPair("\"k\"", "\"\\u12G4\""));
  refuse(withPair("\"k\"", "\"\\uD800\""));
  refuse(withPair("\"k\"", "\"\\uD800\\u0041\""));
  accept(withPair("\"k\"", "\"\\uDC00\""));
  accept(withPair("\"k\"", "\"\\uD83D\\uDE00\""));
  refuse(withPair("\"k\"", "\"\\\""));
  // Missing terminators.
  refuse("{\"type\":\"abc");
  refuse(head + channel + "\"keyvallist\":[{\"key\":\"k\",\"value\":\"v\"}]");
  refuse(head + channel + "\"keyvallist\":[{\"key\":\"k\",\"value\":\"v\"}}");
  refuse(head + channel + "\"keyvallist\":[{\"key\":\"k\",\"value\":\"v\"]}");
  // Raw control characters inside strings, line breaks in a text that fails.
  refuse(withPair("\"k\"", "\"a\x01z\""));
  refuse(withPair("\"k\"", "\"a\tz\""));
  refuse(withPair("\"k\"", "\"line\r\nbreak\""));
  refuse("{\r\n\"type\":\"t\",\r\nFORGED LINE\r\n");
  accept("{\r\n \"type\": \"t\",\r\n \"subtype\": \"s\",\r\n \"channelid\": \"c\",\r\n \"keyvallist\": []\r\n}\r\n");
  // Huge values, whole and cut short.
  const std::string huge(1000000, 'h');
  accept(withPair("\"k\"", "\"" + huge + "\""));
  refuse(withPair("\"k\"", "\"" + huge));
  refuse(withPair("\"k\"", "\"" + std::string(5000, 'v') + "\"") + "x");
  refuse(std::string(4000, ' ') + "}");
  accept(withPair("\"" + std::string(70000, 'k') + "\"", "\"v\""));
  // Numbers outside the packet's strings.
  either(withExtra("1e400"));
  accept(withExtra("123456789012345678901234567890"));
  refuse(withExtra("-"));
  refuse(withExtra("01"));
  refuse(withExtra("1."));
  refuse(withExtra(".5"));
  refuse(withExtra("NaN"));
  refuse(withExtra("Infinity"));
  refuse(withExtra("0x10"));
  // Other syntax.
  refuse(withList("[{\"key\":\"k\",\"value\":\"v\"},]"));
  refuse("{\"type\":\"t\",}");
  refuse(withExtra("/* comment */ 1"));
  refuse(withExtra("'single'"));
  either("\xEF\xBB\xBF" + valid);  // the parser skips a byte order mark
  accept(withPair("\"_{Reserved}_x\"", "\"v\""));
  accept(withPair("\"%s%s%n%d\"", "\"%ls%hs\""));
  return cases;
}

std::vector<TextInput> HandMadeResourceFiles() {
  const std::string valid = "{\"Title\":\"Blocked page\",\"Reason\":\"Category: %s\",\"Back\":\"Go back\"}";
  const std::string bom = "\xEF\xBB\xBF";
  const std::string nul(1, '\0');
  auto withValue = [&](const std::string& value) { return WithValue("{\"Title\":\"t\",\"Name\":", value, "}"); };
  auto withName = [&](const std::string& name) { return WithValue("{\"Title\":\"t\",", name, ":\"v\"}"); };

  std::vector<TextInput> cases;
  auto accept = [&](const std::string& text) { cases.push_back(TextInput{text, Expect::Accept}); };
  auto refuse = [&](const std::string& text) { cases.push_back(TextInput{text, Expect::Refuse}); };
  auto either = [&](const std::string& text) { cases.push_back(TextInput{text, Expect::Either}); };

  accept(valid);
  accept(bom + valid);
  accept(" \t\r\n" + valid + "\r\n\t ");
  accept("{}");
  for (size_t length = 0; length < valid.size(); ++length) refuse(valid.substr(0, length));
  refuse(bom);
  either(bom + bom + valid);  // the run-time library may take one away itself
  refuse(" \t\r\n ");
  refuse(valid + "x");
  refuse(valid + "{}");
  refuse(valid + nul);
  refuse(valid + nul + "x");
  refuse(valid + "\r\n" + nul);
  refuse(nul + valid);
  refuse("{\"Title\":\"a" + nul + "b\"}");
  refuse("{\"Ti" + nul + "tle\":\"ab\"}");
  accept("{\"Title\":\"a\\u0000b\"}");
  accept("{\"Ti\\u0000tle\":\"ab\"}");
  // Other roots, values of other types.
  for (const char* root : {"[]", "[\"a\",\"b\"]", "\"text\"", "1", "null", "true"}) refuse(root);
  for (const char* value : {"1", "-0.5", "true", "false", "null", "[]", "{}", "[\"x\"]", "{\"a\":\"b\"}"})
    refuse(withValue(value));
  // Duplicate names, names that differ only in letter case, an empty name.
  accept("{\"Title\":\"first\",\"Title\":\"second\"}");
  accept("{\"Title\":\"first\",\"TITLE\":\"second\",\"title\":\"third\"}");
  accept("{\"\":\"empty name\"}");
  // Invalid UTF-8 is converted with replacement characters.
  for (const char* bad : kBadUtf8) {
    accept(withValue(std::string("\"a") + bad + "b\""));
    accept(withName(std::string("\"n") + bad + "\""));
  }
  // Escapes.
  refuse(withValue("\"\\x41\""));
  refuse(withValue("\"\\u12\""));
  refuse(withValue("\"\\uD800\""));
  refuse(withValue("\"\\uD800\\u0041\""));
  accept(withValue("\"\\uDC00\""));
  accept(withValue("\"\\uD83D\\uDE00 \\u00e9\\/\\b\\f\\n\\r\\t\""));
  // Missing terminators, stray commas, raw control characters.
  refuse("{\"Title\":\"abc");
  refuse("{\"Title\":\"abc\"");
  refuse("{\"Title\":\"abc\",}");
  refuse("{\"Title\" \"abc\"}");
  refuse("{\"Title\":\"a\x01z\"}");
  refuse("{\"Title\":\"a\r\nz\"}");
  refuse("{'Title':'abc'}");
  refuse("{Title:\"abc\"}");
  // Deep nesting, balanced and not.
  refuse(withValue(Repeat("[", 100000) + Repeat("]", 100000)));
  refuse(withValue(Repeat("{\"a\":", 100000) + "\"x\"" + Repeat("}", 100000)));
  refuse(Repeat("[", 200000));
  refuse(Repeat("[", 200000) + Repeat("]", 200000));
  // Huge values, many members.
  accept(withValue("\"" + std::string(4 << 20, 'h') + "\""));
  refuse(withValue("\"" + std::string(4 << 20, 'h')));
  accept(withName("\"" + std::string(100000, 'n') + "\""));
  {
    std::string many = "{";
    for (int i = 0; i < 20000; ++i) many += (i > 0 ? ",\"name" : "\"name") + std::to_string(i) + "\":\"text\"";
    accept(many + "}");
  }
  either(withValue("1e400"));
  // Not UTF-8 at all: UTF-16 with its byte order mark.
  {
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("{\"a\":\"b\"}")) utf16 += std::string(1, c) + nul;
    refuse(utf16);
  }
  return cases;
}

const std::vector<TextInput>& PacketCases() {
  static const std::vector<TextInput> cases = HandMadePackets();
  return cases;
}

const std::vector<TextInput>& ResourceFileCases() {
  static const std::vector<TextInput> cases = HandMadeResourceFiles();
  return cases;
}

// ---------------------------------------------------------------------------------
// Typed items

TypedInput Item(uint32_t type, std::string payload, uint32_t flag = QueueLayout::kItemFlag) {
  TypedInput item;
  item.flag = flag;
  item.type = type;
  item.size = payload.size();
  item.payload = std::move(payload);
  return item;
}

TypedInput WithSize(TypedInput item, uint64_t size) {
  item.size = size;
  return item;
}

std::vector<TypedInput> HandMadeItems(bool queued) {
  std::vector<TypedInput> items;
  const std::string response = UserResponsePayload(1, 0, L"rule", 2);
  for (uint32_t type : {0u, 9u, 0xFFFFFFFFu, 0x80000008u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u})
    items.push_back(Item(type, response));
  items.push_back(Item(8, std::string(1, '\x01')));                      // no room for the modify flag
  items.push_back(Item(8, std::string("\x01\x02", 2)));                  // an empty rule without its zero
  items.push_back(Item(8, std::string("\x01\x02\x41", 3)));              // half a character
  items.push_back(Item(8, UserResponsePayload(1, 1, L"abc", 0)));            // no terminating zero
  items.push_back(Item(8, UserResponsePayload(1, 1, L"abc", 0) + "d"));      // and an odd last byte
  items.push_back(Item(8, UserResponsePayload(0xFF, 0x80, L"", 2)));
  items.push_back(Item(8, UserResponsePayload(2, 3, L"a\r\nFORGED [P:    1] [ ERROR  ] - x", 2)));
  items.push_back(Item(8, UserResponsePayload(2, 3, L"tab\there\x7F\x1B[31m", 2)));
  items.push_back(Item(8, UserResponsePayload(1, 0, std::wstring(3000, L'x'), 2)));
  items.push_back(Item(8, UserResponsePayload(1, 0, std::wstring(1023, L'y') + L"\xD83D\xDE00" + L"tail", 2)));
  items.push_back(Item(8, UserResponsePayload(1, 0, std::wstring(20000, L'z'), 0)));
  items.push_back(Item(8, UserResponsePayload(1, 0, L"\xD800 \xDC00 \xFFFF \xFEFF \xFFFE", 2)));
  items.push_back(Item(8, UserResponsePayload(1, 0, std::wstring(L"ab\0cd", 5), 2)));  // the rule ends at the zero
  items.push_back(Item(8, UserResponsePayload(1, 0, L"%s%n%d%ls", 2)));
  items.push_back(Item(8, UserResponsePayload(1, 0, L"x", 2) + std::string(1000, '\xAA')));  // bytes after the zero
  if (!queued) {
    // Header fields a client never writes: size 0, a bad flag, a size short of the payload.
    items.push_back(WithSize(Item(8, response), 0));
    items.push_back(WithSize(Item(0, response), 0));  // the type is checked first
    items.push_back(Item(8, response, 0));
    items.push_back(Item(8, response, ~QueueLayout::kItemFlag));
    items.push_back(Item(8, response, QueueLayout::kItemFlag ^ 1));
    items.push_back(Item(9, response, 0));           // the type before the flag
    items.push_back(WithSize(Item(8, response, 0), 0));  // the size before the flag
    items.push_back(WithSize(Item(8, UserResponsePayload(1, 0, L"abcdef", 2)), 6));  // reads "ab" only
    items.push_back(WithSize(Item(8, UserResponsePayload(1, 0, L"abcdef", 2)), 1));
    items.push_back(WithSize(Item(8, UserResponsePayload(1, 0, L"abcdef", 2)), 2));
    items.push_back(WithSize(Item(8, UserResponsePayload(1, 0, L"abcdef", 2)), 7));
  }
  return items;
}

const std::vector<TypedInput>& QueuedCases() {
  static const std::vector<TypedInput> cases = HandMadeItems(true);
  return cases;
}

const std::vector<TypedInput>& DirectCases() {
  static const std::vector<TypedInput> cases = HandMadeItems(false);
  return cases;
}

uint32_t FuzzedType(Rng& rng) {
  const uint64_t roll = rng.Below(100);
  if (roll < 75) return 8;
  if (roll < 90) return static_cast<uint32_t>(1 + rng.Below(7));
  static const uint32_t kOutside[] = {0u, 9u, 10u, 0xFFFFFFFFu, 0x80000000u, 0x108u, 0x7FFFFFFFu};
  return rng.Chance(50) ? rng.Pick(kOutside) : static_cast<uint32_t>(rng.Next());
}

wchar_t FuzzedUnit(Rng& rng) {
  static const wchar_t kSpecial[] = {L'\r', L'\n', L'\t', 0x7F, 0x1B, 0xD800, 0xDBFF, 0xDC00, 0xDFFF,
                                     0xFFFF, 0xFFFE, 0xFEFF, 0x2028, 0x0085, L'%', L'\\', 0x00E9, 0x4E2D};
  const uint64_t roll = rng.Below(100);
  if (roll < 70) return static_cast<wchar_t>(L'a' + rng.Below(26));
  if (roll < 85) return rng.Pick(kSpecial);
  if (roll < 88) return L'\0';
  return static_cast<wchar_t>(1 + rng.Below(0xFFFF));
}

std::string FuzzedPayload(Rng& rng, size_t largest) {
  const uint64_t roll = rng.Below(100);
  if (roll < 3) return std::string(1, static_cast<char>(rng.Below(256)));  // too short
  std::wstring rule(rng.Length(40, 3000, (largest - 4) / 2), L'\0');
  for (wchar_t& c : rule) c = FuzzedUnit(rng);
  const size_t zeros = roll < 70 ? 2 : static_cast<size_t>(rng.Below(4));
  std::string payload = UserResponsePayload(static_cast<unsigned char>(rng.Below(256)),
                                        static_cast<unsigned char>(rng.Below(256)), rule, zeros);
  if (rng.Chance(10)) payload.append(static_cast<size_t>(rng.Below(64)), static_cast<char>(rng.Below(256)));
  if (payload.size() > largest) payload.resize(largest);
  return payload;
}

}  // namespace

const char* DoorName(Door door) {
  switch (door) {
    case Door::Packet: return "packet";
    case Door::ResourceFile: return "resource-file";
    case Door::TypedQueue: return "typed-queue";
    case Door::UserResponse: return "user-response";
  }
  return "?";
}

bool DoorFromName(const std::string& name, Door* door) {
  for (int i = 0; i < kDoorCount; ++i) {
    if (name == DoorName(static_cast<Door>(i))) {
      *door = static_cast<Door>(i);
      return true;
    }
  }
  return false;
}

uint64_t HandMadeCount(Door door) {
  switch (door) {
    case Door::Packet: return PacketCases().size();
    case Door::ResourceFile: return ResourceFileCases().size();
    case Door::TypedQueue: return QueuedCases().size();
    case Door::UserResponse: return DirectCases().size();
  }
  return 0;
}

TextInput PacketInput(uint64_t seed, uint64_t index) {
  if (index < PacketCases().size()) return PacketCases()[static_cast<size_t>(index)];
  Rng rng(seed, Door::Packet, index);
  return Fuzzed(rng, ValidPacket(rng));
}

TextInput ResourceFileInput(uint64_t seed, uint64_t index) {
  if (index < ResourceFileCases().size()) return ResourceFileCases()[static_cast<size_t>(index)];
  Rng rng(seed, Door::ResourceFile, index);
  return Fuzzed(rng, ValidResourceFile(rng));
}

TypedInput TypedQueueInput(uint64_t seed, uint64_t index) {
  if (index < QueuedCases().size()) return QueuedCases()[static_cast<size_t>(index)];
  Rng rng(seed, Door::TypedQueue, index);
  std::string payload = FuzzedPayload(rng, kLargestQueuedPayload);
  if (payload.empty()) payload.push_back('\0');
  return Item(FuzzedType(rng), std::move(payload));
}

TypedInput UserResponseInput(uint64_t seed, uint64_t index) {
  if (index < DirectCases().size()) return DirectCases()[static_cast<size_t>(index)];
  Rng rng(seed, Door::UserResponse, index);
  TypedInput item = Item(FuzzedType(rng), FuzzedPayload(rng, 200000));
  if (rng.Chance(8)) {
    static const uint32_t kFlags[] = {0u, 0xFFFFFFFFu, QueueLayout::kItemFlag ^ 1u, 0xEEFFCDABu};
    item.flag = rng.Chance(50) ? rng.Pick(kFlags) : static_cast<uint32_t>(rng.Next());
  }
  if (rng.Chance(10)) item.size = rng.Below(item.payload.size() + 1);  // 0 .. the whole payload
  return item;
}

TypedVerdict ExpectedVerdict(const TypedInput& item) {
  TypedVerdict verdict;
  if (item.type < 1 || item.type > 8) {
    verdict.kind = TypedVerdict::InvalidType;
  } else if (item.size == 0) {
    verdict.kind = TypedVerdict::InvalidSize;
  } else if (item.flag != QueueLayout::kItemFlag) {
    verdict.kind = TypedVerdict::InvalidFlag;
  } else if (item.type != 8) {
    verdict.kind = TypedVerdict::OtherCommand;
  } else if (item.size < 2) {
    verdict.kind = TypedVerdict::TooShort;
  } else {
    verdict.kind = TypedVerdict::Response;
    const std::string& p = item.payload;
    verdict.block = static_cast<unsigned char>(p[0]);
    verdict.modify = static_cast<unsigned char>(p[1]);
    const uint64_t size = std::min<uint64_t>(item.size, p.size());
    for (uint64_t at = 2; at + 2 <= size; at += 2) {
      const wchar_t c = static_cast<wchar_t>(static_cast<unsigned char>(p[at]) |
                                             (static_cast<unsigned char>(p[at + 1]) << 8));
      if (c == L'\0') break;
      verdict.rule.push_back(c);
    }
  }
  return verdict;
}

}  // namespace malformed
}  // namespace campaign
