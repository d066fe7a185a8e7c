#include "ServiceLogRoom.h"

#include <windows.h>

#include "log/LogArchiver.h"
#include "support/LogWatch.h"

namespace campaign {

void MakeRoomInServiceLog(unsigned long long roomBytes) {
  const std::wstring path = test_support::ServiceLogPath();
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return;
  const unsigned long long size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  DWORD megabytes = 10;
  DWORD type = 0;
  DWORD length = sizeof(megabytes);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Veltrane\\Logger\\SentrelSrv", L"max_size_mb",
                     RRF_RT_REG_DWORD, &type, &megabytes, &length) != ERROR_SUCCESS) {
    megabytes = 10;
  }
  const unsigned long long limit = static_cast<unsigned long long>(megabytes == 0 ? 1 : megabytes) << 20;
  if (size + roomBytes >= limit) ArchiveLogFile(path, L"", 0);
}

}  // namespace campaign
