// The logger's settings as read from its registry key: the level threshold and the
// size limit of one file. Pure interpretation of raw registry values.
#pragma once

#include <windows.h>

#include <cstddef>

namespace LoggerConfig {

constexpr int kDefaultThreshold = 2;
constexpr DWORD kDefaultMaxSizeMb = 10;
constexpr DWORD kDefaultMaxSize = kDefaultMaxSizeMb << 20;  // 10485760 bytes
// The largest limit in MiB whose byte count still fits 32 bits.
constexpr DWORD kLargestMaxSizeMb = 4095;

// One value as RegQueryValueExW returned it.
struct RawValue {
  LONG status;        // the result of the query
  DWORD type;         // REG_DWORD, REG_SZ, ...
  DWORD size;         // bytes returned
  const BYTE* data;   // at least `size` bytes
};

// A usable DWORD: the query succeeded, the type is REG_DWORD and the size is 4 bytes.
// Anything else (missing, another type, another size) is unusable and false.
bool ReadDword(const RawValue& raw, DWORD* value);

// "level": compared as a signed 32-bit number, so 0xFFFFFFFF is -1 and lets every
// level through.
int ThresholdFromValue(DWORD value);

// "max_size_mb" to a byte limit: 0 counts as 1 MiB, and values of 4096 or more are
// clamped to 4095 MiB so that the byte count cannot wrap to 0.
DWORD MaxSizeFromMegabytes(DWORD megabytes);

// The value written back for a missing "max_size_mb": the limit in whole MiB.
DWORD MegabytesFromMaxSize(DWORD maxSize);

// The registry key of a module's settings under HKEY_LOCAL_MACHINE.
const wchar_t* KeyPrefix();  // "SOFTWARE\Veltrane\Logger\"

}  // namespace LoggerConfig
