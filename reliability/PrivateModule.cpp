#include "PrivateModule.h"

#include "plugins/ProductLocations.h"

namespace campaign {

PrivateModule::PrivateModule(const std::wstring& stem, DWORD level, DWORD maxSizeMb)
    : bin_(stem), name_(test_support::UniqueName(stem)), exe_(bin_ / (name_ + L".exe")),
      key_(name_, level, maxSizeMb) {
  copied_ = ::CopyFileW(test_support::SelfPath().c_str(), exe_.c_str(), FALSE) != FALSE;
}

PrivateModule::~PrivateModule() { test_support::DeleteTree(LogFolder()); }

std::wstring PrivateModule::LogFolder() const { return ProductLocations::GetLogsFolder() + L"\\" + name_; }

std::wstring PrivateModule::LogPath() const { return LogFolder() + L"\\" + name_ + L".log"; }

test_support::ChildProcess PrivateModule::Start(const std::wstring& child,
                                                const std::vector<std::wstring>& args) const {
  std::wstring commandLine = test_support::QuoteArgument(exe_) + L" --child=" + child;
  for (const auto& arg : args) commandLine += L" " + test_support::QuoteArgument(arg);
  return test_support::ChildProcess::StartCommandLine(commandLine);
}

}  // namespace campaign
