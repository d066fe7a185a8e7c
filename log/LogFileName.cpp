#include "log/LogFileName.h"

#include <cwctype>
#include <initializer_list>

namespace LogFileName {
namespace {

std::wstring Lower(const std::wstring& text) {
  std::wstring lower(text);
  for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  return lower;
}

bool IsOneOf(const std::wstring& name, std::initializer_list<const wchar_t*> names) {
  const std::wstring lower = Lower(name);
  for (const wchar_t* candidate : names) {
    if (lower == Lower(candidate)) return true;
  }
  return false;
}

}  // namespace

bool IsPackageModule(const std::wstring& exeName) {
  return IsOneOf(exeName, {L"ShieldPack", L"VaultPack", L"BasePack", L"TrimPack", L"SievePack",
                           L"deploy", L"remover", L"scrubber", L"trustkit"});
}

bool IsBootstrapModule(const std::wstring& exeName) {
  return IsOneOf(exeName, {L"boot32", L"boot64"});
}

bool IsTimestampedModule(const std::wstring& exeName) {
  return IsOneOf(exeName, {L"deploy", L"remover", L"refresher"}) || IsBootstrapModule(exeName);
}

std::wstring BuildFileName(const std::wstring& name, const NameInputs& inputs) {
  std::wstring fileName = name;
  if (IsOneOf(inputs.exeName, {L"Hub.Console", L"Hub.Admin", L"Hub.Events"})) {
    if (IsOneOf(inputs.exeName, {L"Hub.Events"})) fileName += std::to_wstring(inputs.sessionId);
    fileName += L"_CPlus";
  } else if (IsOneOf(inputs.exeName, {L"webscan2"})) {
    fileName += std::to_wstring(inputs.processId);
  }
  if (IsTimestampedModule(inputs.exeName)) {
    fileName += L"_[" + inputs.timeText + L"][" + inputs.dateText + L"].log";
  } else {
    fileName += L".log";
  }
  return fileName;
}

bool FolderPrefixes(const std::wstring& folder, std::vector<std::wstring>* prefixes) {
  if (prefixes == nullptr) return false;
  prefixes->clear();
  if (folder.empty()) return false;
  const bool drivePath = folder.size() >= 2 && folder[1] == L':';
  const bool uncPath = folder.size() >= 2 && folder[0] == L'\\' && folder[1] == L'\\';
  if (!drivePath && !uncPath) return false;

  std::wstring path = folder;
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.back() != L'\\') path += L'\\';
  for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1)) {
    prefixes->push_back(path.substr(0, pos + 1));
  }
  return true;
}

}  // namespace LogFileName
