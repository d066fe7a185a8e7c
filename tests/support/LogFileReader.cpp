#include "support/LogFileReader.h"

#include "common/UniqueHandle.h"
#include "log/LogLineFormat.h"
#include "log/Logger.h"

namespace test_support {

LogFileContent DecodeLogBytes(const std::string& bytes) {
  LogFileContent content;
  content.exists = true;
  std::wstring text(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  for (wchar_t c : text) content.bomCount += (c == 0xFEFF) ? 1 : 0;
  content.hasBom = !text.empty() && text[0] == 0xFEFF;
  content.text = content.hasBom ? text.substr(1) : text;
  content.endsWithCrLf = content.text.size() >= 2 &&
                         content.text.compare(content.text.size() - 2, 2, L"\r\n") == 0;
  size_t start = 0;
  while (start < content.text.size()) {
    size_t end = content.text.find(L"\r\n", start);
    if (end == std::wstring::npos) {
      content.lines.push_back(content.text.substr(start));
      break;
    }
    content.lines.push_back(content.text.substr(start, end - start));
    start = end + 2;
  }
  return content;
}

LogFileContent ReadLogFile(const std::wstring& path) {
  UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return LogFileContent();
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool identified = ::GetFileInformationByHandle(file.get(), &info) != FALSE;
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
    bytes.append(buffer, read);
  LogFileContent content = DecodeLogBytes(bytes);
  if (identified) {
    content.volume = info.dwVolumeSerialNumber;
    content.fileIndex = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  return content;
}

std::vector<std::wstring> LogLinesContaining(const std::wstring& path, const std::wstring& needle,
                                             DWORD pid) {
  wchar_t pidField[32];
  _snwprintf(pidField, 32, L"[P:%5lu]", static_cast<unsigned long>(pid));
  std::vector<std::wstring> found;
  for (const auto& line : ReadLogFile(path).lines) {
    if (line.find(pidField) == std::wstring::npos) continue;
    // Process ids come back: a header line of this id begins the lines of another run.
    if (line.find(L"Logger Started") != std::wstring::npos) found.clear();
    if (line.find(needle) != std::wstring::npos) found.push_back(line);
  }
  return found;
}

std::vector<std::wstring> ThisRunLogLinesContaining(const std::wstring& needle) {
  return LogLinesContaining(Logger::Instance().FilePath(), needle, ::GetCurrentProcessId());
}

std::vector<std::wstring> OwnLogLinesContaining(const std::wstring& needle, DWORD pid) {
  return LogLinesContaining(Logger::Instance().FilePath(), needle, pid);
}

std::wstring LoggedText(int level, const std::wstring& message) {
  const wchar_t* label = LogLineFormat::BracketedLabel(level);
  return std::wstring(label != nullptr ? label : L"") + L" - " + message;
}

size_t CountContaining(const std::vector<std::wstring>& lines, const std::wstring& needle) {
  size_t count = 0;
  for (const auto& line : lines) count += line.find(needle) != std::wstring::npos ? 1 : 0;
  return count;
}

}  // namespace test_support
