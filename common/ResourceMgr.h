// The suite's web-filter resources: named texts loaded from resource.json files into
// one process-wide table, each file once. A file is parsed from a private temporary
// copy, made while the suite's resource mutex is held.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "common/JsonHelper.h"
#include "common/UniqueHandle.h"

class ResourceMgr {
 public:
  using ResourceTable = JsonHelper::StringTable;

  // The instance of this process, created on first use; its mutex is the suite's
  // "Global\VeltraneResourceMgr.mtx".
  static ResourceMgr& Instance();

  // An instance of its own that copies under the named mutex `mutexName` (created or
  // opened with the shared open security attributes). Used by tests.
  explicit ResourceMgr(const std::wstring& mutexName);
  ~ResourceMgr();
  ResourceMgr(const ResourceMgr&) = delete;
  ResourceMgr& operator=(const ResourceMgr&) = delete;

  // Loads resource.json of the installed language below the web-filter install folder.
  bool AddWebFilterResource();
  // True when the file is processed after the call (loaded now or before, compared
  // without regard to letter case); false when it does not exist or cannot be copied or
  // parsed. Never throws.
  bool Load(const std::wstring& path);
  // Empties the resources and forgets the processed files. Always true.
  bool DeInit();

  // A copy of the resources table: lower-cased names to texts (empty when the copy
  // cannot be made for lack of memory).
  ResourceTable Resources() const;

  // The resource file for a web-filter install folder and a language (either may be
  // empty): "<folder>\<language>\resource.json" or "<folder>\resource.json".
  static std::wstring WebFilterResourcePath(const std::wstring& installFolder,
                                            const std::wstring& language);
  // The temporary copy name: "<temp>\ResourceMgr.<seconds><number>.tmp".
  static std::wstring TempCopyName(const std::wstring& tempFolder, long long seconds, int number);

 private:
  class Lock;

  // The temporary copy of one Load: its name, and whether this process created a file
  // of that name. Only such a file is ever removed: a name may be taken by a file that
  // someone else put there.
  struct TempCopy {
    std::wstring name;
    bool made = false;
  };

  // Steps of Load under the lock; the copy is removed by Load after the lock is left.
  bool LoadLocked(const std::wstring& path, TempCopy* copy);
  // One copy attempt under the mutex: the source to a new file named copy->name, or
  // under further fresh names while the names are taken. The Windows error code or 0.
  DWORD CopyUnderMutex(const std::wstring& source, TempCopy* copy, DWORD* waitResult);

  std::map<std::wstring, bool> processedFiles_;
  ResourceTable resources_;
  UniqueKernelHandle mutex_;
  mutable CRITICAL_SECTION lock_;
};
