#include "FileIdentity.h"

#include "common/UniqueHandle.h"

namespace campaign {

unsigned long long FileIdentity(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!::GetFileInformationByHandle(file, &info)) return 0;
  return (static_cast<unsigned long long>(info.dwVolumeSerialNumber) << 48) ^
         (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) ^ info.nFileIndexLow;
}

unsigned long long PathIdentity(const std::wstring& path) {
  UniqueKernelHandle probe(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return probe ? FileIdentity(probe.get()) : 0;
}

}  // namespace campaign
