#include "common/JsonHelper.h"

#include <windows.h>

#include <rapidjson/document.h>
#include <rapidjson/filereadstream.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>

#include "common/ExCommon.h"
#include "common/JsonAllocator.h"
#include "common/TextConversion.h"
#include "common/UniqueHandle.h"
#include "log/Logger.h"

namespace JsonHelper {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// The iterative parser keeps its state on the heap: a file nested thousands of levels
// deep cannot exhaust the thread's stack. The document's pool allocator frees without
// walking the tree, so destroying such a document does not recurse either.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

// Skips a UTF-8 byte order mark that the run-time library passed through ("ccs=utf-8"
// may or may not remove it, depending on the library).
void SkipByteOrderMark(rapidjson::FileReadStream& stream) {
  const char* head = stream.Peek4();
  if (head != nullptr && static_cast<unsigned char>(head[0]) == 0xEF &&
      static_cast<unsigned char>(head[1]) == 0xBB && static_cast<unsigned char>(head[2]) == 0xBF) {
    stream.Take();
    stream.Take();
    stream.Take();
  }
}

// The parser takes a NUL byte for the end of its input, so a file with a NUL after the
// root value parses as if it ended there. Taking one more character moves the stream
// only when bytes are left, that is when such a NUL was not the stream's own end mark.
bool HasBytesAfterEnd(rapidjson::FileReadStream& stream) {
  const size_t end = stream.Tell();
  stream.Take();
  return stream.Tell() != end;
}

// Only an object whose members all have string values is read: a value of another
// type is never taken for a string.
bool IsObjectOfStrings(const JsonDocument& document) {
  if (!document.IsObject()) return false;
  for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
    if (!member->value.IsString()) return false;
  }
  return true;
}

// A JSON string up to its first NUL, UTF-8 to wide, lower-cased when asked.
std::wstring TableText(const JsonDocument::ValueType& text, bool lower) {
  const std::wstring wide = MultiByteToWide(std::string(text.GetString()), CP_UTF8);
  return lower ? ExCommon::ToLower(wide) : wide;
}

}  // namespace

bool Load(const std::wstring& path, StringTable& table, bool lowerKeys, bool lowerValues) {
  Logger& log = Logger::Instance();
  try {
    log.Log(LogLevel::Always, L"JsonHelper Load - File %s", path.c_str());

    std::FILE* opened = nullptr;
    const errno_t openError = _wfopen_s(&opened, path.c_str(), L"rb, ccs=utf-8");
    UniqueFile file(opened);
    if (openError != 0 || !file) {
      log.Log(LogLevel::Error, L"JsonHelper Load - failed to open file %s. Error=%d", path.c_str(),
              static_cast<int>(openError));
      return false;
    }

    uint64_t size = 0;
    std::unique_ptr<char[]> buffer = AllocateFileContent(path, &size);
    if (!buffer) {
      log.Log(LogLevel::Error, L"JsonHelper Load - Failed to allocate.");
      return false;
    }

    // One block as large as the file: the whole file comes in with one read.
    rapidjson::FileReadStream stream(file.get(), buffer.get(),
                                     static_cast<size_t>(std::max(size, kSmallestReadBlock)));
    SkipByteOrderMark(stream);
    JsonDocument document;
    document.ParseStream<kParseFlags>(stream);
    if (document.HasParseError() || HasBytesAfterEnd(stream) || !IsObjectOfStrings(document)) {
      log.Log(LogLevel::Error, L"JsonHelper Load- - failed to parse the file %s", path.c_str());
      return false;
    }

    // Filled on a copy and swapped in, so that a failure half-way (memory) leaves the
    // caller's table as it was.
    StringTable updated(table);
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
      updated[TableText(member->name, lowerKeys)] = TableText(member->value, lowerValues);
    }
    table.swap(updated);

    log.Log(LogLevel::Always, L"JsonHelper Load - Loading File %s Succeeded.", path.c_str());
    return true;
  } catch (const std::exception& e) {
    const DWORD lastError = ::GetLastError();
    log.Log(LogLevel::Error, L"JsonHelper Load - file:%s, exception caught: %s (GLE = %d)",
            path.c_str(), AnsiToWide(e.what()).c_str(), static_cast<int>(lastError));
    return false;
  }
}

std::unique_ptr<char[]> AllocateFileContent(const std::wstring& path, uint64_t* size) {
  *size = 0;
  try {
    UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return nullptr;
    LARGE_INTEGER length = {};
    if (!::GetFileSizeEx(file.get(), &length) || length.QuadPart < 0) return nullptr;
    *size = static_cast<uint64_t>(length.QuadPart);
    file.reset();

    const uint64_t capacity = std::max(*size, kSmallestReadBlock) + 1;
    if (capacity >= static_cast<uint64_t>(PTRDIFF_MAX)) return nullptr;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(capacity)]);
    if (!buffer) return nullptr;
    buffer[static_cast<size_t>(*size)] = '\0';
    return buffer;
  } catch (const std::exception&) {
    Logger::Instance().Log(LogLevel::Fatal, L"AllocateFileContent Exception. File:%s",
                           path.c_str());
    return nullptr;
  }
}

}  // namespace JsonHelper
