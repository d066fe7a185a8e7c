#include "EventReport.h"

#include <windows.h>

#include "common/TextConversion.h"
#include "common/UniqueHandle.h"

namespace {
std::wstring& ReportPath() {
  static std::wstring path;
  return path;
}
}  // namespace

void EventReport::SetPath(const std::wstring& path) { ReportPath() = path; }

void EventReport::Line(const std::string& line) {
  if (ReportPath().empty()) return;
  UniqueKernelHandle file(::CreateFileW(ReportPath().c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  const std::string text = line + "\r\n";
  DWORD written = 0;
  ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}
