#include "log/LoggerConfig.h"

#include <cstring>

namespace LoggerConfig {

bool ReadDword(const RawValue& raw, DWORD* value) {
  if (raw.status != ERROR_SUCCESS || raw.type != REG_DWORD || raw.size != sizeof(DWORD) ||
      raw.data == nullptr) {
    return false;
  }
  DWORD result = 0;
  std::memcpy(&result, raw.data, sizeof(result));
  if (value != nullptr) *value = result;
  return true;
}

int ThresholdFromValue(DWORD value) { return static_cast<int>(value); }

DWORD MaxSizeFromMegabytes(DWORD megabytes) {
  if (megabytes == 0) megabytes = 1;
  if (megabytes > kLargestMaxSizeMb) megabytes = kLargestMaxSizeMb;
  return megabytes << 20;
}

DWORD MegabytesFromMaxSize(DWORD maxSize) { return maxSize >> 20; }

const wchar_t* KeyPrefix() { return L"SOFTWARE\\Veltrane\\Logger\\"; }

}  // namespace LoggerConfig
