// Loading a JSON file whose root object maps names to strings into a table of wide
// strings (RapidJSON's file read stream and DOM).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace JsonHelper {

// Sorted by key in UTF-16 code-unit order.
using StringTable = std::map<std::wstring, std::wstring>;

// Reads the UTF-8 JSON file `path` (a leading byte order mark is skipped) and stores
// each member of its root object in `table`, inserting or replacing the entry; names
// and texts are taken up to their first NUL and lower-cased when asked. The root must
// be an object whose values are all strings, followed by nothing but white space.
// True when every member was stored; false on any failure, with `table` unchanged.
bool Load(const std::wstring& path, StringTable& table, bool lowerKeys, bool lowerValues);

// The smallest read block the file stream accepts.
constexpr uint64_t kSmallestReadBlock = 4;

// A read buffer for the file `path`: *size is the file's length in bytes, and the buffer
// holds max(*size, kSmallestReadBlock) + 1 bytes, the byte at offset *size set to 0.
// Null (and *size 0 unless the length was known) when the file cannot be opened or
// measured, or the memory is not there.
std::unique_ptr<char[]> AllocateFileContent(const std::wstring& path, uint64_t* size);

}  // namespace JsonHelper
