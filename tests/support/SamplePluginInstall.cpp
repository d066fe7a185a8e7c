#include "support/SamplePluginInstall.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/ChildProcess.h"

namespace test_support {

namespace {

constexpr wchar_t kWebFilterKey[] = L"SOFTWARE\\Veltrane\\WebFilter";
constexpr wchar_t kRootKey[] = L"SOFTWARE\\Veltrane";

const wchar_t* FolderName(SamplePlugin plugin) {
  switch (plugin) {
    case SamplePlugin::Hearth: return L"Hearth";
    case SamplePlugin::Malware: return L"Malware";
    case SamplePlugin::IDTheft: return L"IDTheft";
  }
  return L"";
}

const wchar_t* VariantFileName(SampleVariant variant) {
  switch (variant) {
    case SampleVariant::Complete: return nullptr;
    case SampleVariant::WithoutStart: return L"SamplePluginWithoutStart.dll";
    case SampleVariant::WithoutStop: return L"SamplePluginWithoutStop.dll";
    case SampleVariant::WithoutOnNotifyChanges: return L"SamplePluginWithoutOnNotifyChanges.dll";
    case SampleVariant::WithoutGenerateReports: return L"SamplePluginWithoutGenerateReports.dll";
    case SampleVariant::WithoutGetProtectionStatus: return L"SamplePluginWithoutGetProtectionStatus.dll";
  }
  return nullptr;
}

// "<folder>\<base>" of a DLL path followed by `suffix`.
std::wstring Beside(const std::wstring& dllPath, const wchar_t* suffix) {
  const size_t slash = dllPath.find_last_of(L'\\');
  const size_t dot = dllPath.find_last_of(L'.');
  const bool hasExtension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
  return (hasExtension ? dllPath.substr(0, dot) : dllPath) + suffix;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], size, nullptr,
                          nullptr);
  return narrow;
}

bool StartsWith(const std::string& text, const char* prefix, std::string* rest) {
  const size_t length = std::strlen(prefix);
  if (text.compare(0, length, prefix) != 0) return false;
  *rest = text.substr(length);
  return true;
}

}  // namespace

std::wstring SamplePluginBuildFolder() {
  std::wstring self = SelfPath();
  self.resize(self.find_last_of(L'\\'));
  // <build>\tests\x.exe, or <build>\tests\<configuration>\x.exe with a multi-configuration
  // generator; the DLLs lie in <build>\samples\plugins either way.
  std::wstring found;
  for (const wchar_t* relative : {L"\\..\\samples\\plugins", L"\\..\\..\\samples\\plugins"}) {
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD length = ::GetFullPathNameW((self + relative).c_str(), MAX_PATH * 2, full, nullptr);
    if (length == 0 || length >= MAX_PATH * 2) continue;
    if (found.empty()) found = full;
    const DWORD attributes = ::GetFileAttributesW((std::wstring(full) + L"\\HearthPlugin.dll").c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return full;
  }
  return found;
}

const wchar_t* SamplePluginFileName(SamplePlugin plugin) {
  switch (plugin) {
    case SamplePlugin::Hearth: return L"HearthPlugin.dll";
    case SamplePlugin::Malware: return L"MalwarePlugin.dll";
    case SamplePlugin::IDTheft: return L"IDTheft.dll";
  }
  return L"";
}

std::wstring SamplePluginBuiltDll(SamplePlugin plugin, SampleVariant variant) {
  const wchar_t* variantFile = VariantFileName(variant);
  return SamplePluginBuildFolder() + L"\\" + (variantFile != nullptr ? variantFile : SamplePluginFileName(plugin));
}

std::wstring SampleSettingsPath(const std::wstring& dllPath) { return Beside(dllPath, L".settings.ini"); }

std::wstring SampleJournalPath(const std::wstring& dllPath) { return Beside(dllPath, L".journal.txt"); }

bool WriteSampleSettings(const std::wstring& dllPath, const SamplePluginSettings& settings) {
  std::ostringstream text;
  text << "[SamplePlugin]\r\n"
       << "ProtectionStatus=" << settings.protectionStatus << "\r\n"
       << "StartResult=" << (settings.startResult ? 1 : 0) << "\r\n"
       << "StopResult=" << (settings.stopResult ? 1 : 0) << "\r\n"
       << "StartDelayMs=" << settings.startDelayMs << "\r\n"
       << "StopDelayMs=" << settings.stopDelayMs << "\r\n"
       << "StopHangs=" << (settings.stopHangs ? 1 : 0) << "\r\n"
       << "SignalEvent=" << Narrow(settings.signalEvent) << "\r\n"
       << "Journal=" << (settings.journal ? 1 : 0) << "\r\n";
  // Written aside and moved into place, so that a running plug-in reads either the old
  // settings or the new ones, never half a file.
  const std::wstring path = SampleSettingsPath(dllPath);
  const std::wstring staged = path + L"." + UniqueName(L"new");
  if (!WriteBytes(staged, text.str())) return false;
  if (!::MoveFileExW(staged.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    ::DeleteFileW(staged.c_str());
    return false;
  }
  return true;
}

std::vector<JournalLine> ReadSampleJournal(const std::wstring& dllPath) {
  return ParseSampleJournal(ReadBytes(SampleJournalPath(dllPath)));
}

bool ClearSampleJournal(const std::wstring& dllPath) {
  const std::wstring path = SampleJournalPath(dllPath);
  return ::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::vector<JournalLine> ParseSampleJournal(const std::string& text) {
  std::vector<JournalLine> lines;
  std::istringstream stream(text);
  std::string row;
  while (std::getline(stream, row)) {
    if (!row.empty() && row.back() == '\r') row.pop_back();
    std::istringstream fields(row);
    JournalLine line;
    std::string field;
    int seen = 0;
    if (!(fields >> line.call >> line.time)) continue;
    while (fields >> field) {
      std::string value;
      if (StartsWith(field, "qpc=", &value)) {
        line.qpc = std::strtoll(value.c_str(), nullptr, 10);
        seen |= 1;
      } else if (StartsWith(field, "pid=", &value)) {
        line.pid = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        seen |= 2;
      } else if (StartsWith(field, "tid=", &value)) {
        line.tid = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        seen |= 4;
      } else if (StartsWith(field, "result=", &value)) {
        line.result = value;
        seen |= 8;
      }
    }
    if (seen == 15) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> CallsOf(const std::vector<JournalLine>& lines) {
  std::vector<std::string> calls;
  for (const JournalLine& line : lines) calls.push_back(line.call);
  return calls;
}

SamplePluginInstall::SamplePluginInstall()
    : scratch_(new ScratchFolder(L"WebFilter")),
      installPath_(scratch_->path()),
      webFilterInstallPath_(kWebFilterKey, L"InstallPath"),
      suiteType_(kRootKey, L"SuiteType") {
  Prepare();
}

SamplePluginInstall::SamplePluginInstall(const std::wstring& installPath)
    : installPath_(installPath),
      webFilterInstallPath_(kWebFilterKey, L"InstallPath"),
      suiteType_(kRootKey, L"SuiteType") {
  Prepare();
}

SamplePluginInstall::~SamplePluginInstall() = default;

void SamplePluginInstall::Prepare() {
  ::CreateDirectoryW(installPath_.c_str(), nullptr);
  ::CreateDirectoryW((installPath_ + L"\\Plugins").c_str(), nullptr);
  bool folders = true;
  for (SamplePlugin plugin : {SamplePlugin::Hearth, SamplePlugin::Malware, SamplePlugin::IDTheft}) {
    ::CreateDirectoryW(Folder(plugin).c_str(), nullptr);
    const DWORD attributes = ::GetFileAttributesW(Folder(plugin).c_str());
    folders = folders && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  valid_ = folders && webFilterInstallPath_.SetString(installPath_) && suiteType_.Remove();
}

std::wstring SamplePluginInstall::Folder(SamplePlugin plugin) const {
  return installPath_ + L"\\Plugins\\" + FolderName(plugin);
}

std::wstring SamplePluginInstall::DllPath(SamplePlugin plugin) const {
  return Folder(plugin) + L"\\" + SamplePluginFileName(plugin);
}

bool SamplePluginInstall::Install(SamplePlugin plugin, SampleVariant variant) const {
  return ::CopyFileW(SamplePluginBuiltDll(plugin, variant).c_str(), DllPath(plugin).c_str(), FALSE) != FALSE;
}

bool SamplePluginInstall::InstallAll() const {
  return Install(SamplePlugin::Hearth) && Install(SamplePlugin::Malware) && Install(SamplePlugin::IDTheft);
}

bool SamplePluginInstall::Remove(SamplePlugin plugin) const {
  return ::DeleteFileW(DllPath(plugin).c_str()) != FALSE;
}

bool SamplePluginInstall::WriteSettings(SamplePlugin plugin, const SamplePluginSettings& settings) const {
  return WriteSampleSettings(DllPath(plugin), settings);
}

std::vector<JournalLine> SamplePluginInstall::Journal(SamplePlugin plugin) const {
  return ReadSampleJournal(DllPath(plugin));
}

std::vector<std::string> SamplePluginInstall::JournalCalls(SamplePlugin plugin) const {
  return CallsOf(Journal(plugin));
}

bool SamplePluginInstall::ClearJournal(SamplePlugin plugin) const { return ClearSampleJournal(DllPath(plugin)); }

bool SamplePluginInstall::SetSuiteType(const std::wstring& suiteType) const {
  return suiteType_.SetString(suiteType);
}

bool SamplePluginInstall::IsLoadedHere(SamplePlugin plugin) const {
  return ::GetModuleHandleW(DllPath(plugin).c_str()) != nullptr;
}

}  // namespace test_support
