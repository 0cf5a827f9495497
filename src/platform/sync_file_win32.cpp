#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>

#include "platform/sync_file.h"

namespace vexolant {

int SyncFile(FILE* file) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(ERROR_INVALID_HANDLE);
  if (FlushFileBuffers(handle)) return 0;
  const DWORD error = GetLastError();
  // A console or a pipe has nothing to make durable.
  if (error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION) return 0;
  return static_cast<int>(error);
}

}  // namespace vexolant
