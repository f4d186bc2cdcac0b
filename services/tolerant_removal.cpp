#include "services/tolerant_removal.h"

#include "runtime/files.h"
#include "runtime/win32.h"

namespace {

// Asked right after PathExists said no: whether the search reported that
// nothing of that name is there. A search that failed for another reason
// (access to the folder refused, a drive not ready) leaves the entry in place
// as far as anyone knows, so its removal is not reported as done.
bool ReportedMissing() {
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NO_MORE_FILES ||
         error == ERROR_INVALID_NAME;
}

}  // namespace

bool DeleteFileIfPresent(const char* path) {
  if (!PathExists(path)) return ReportedMissing();
  return DeleteFileA(path) != FALSE;
}

bool RemoveDirIfPresent(const char* path) {
  if (!PathExists(path)) return ReportedMissing();
  return DeleteDirectory(path);
}
