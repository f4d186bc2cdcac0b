#include "services/tolerant_removal.h"

#include "runtime/files.h"
#include "runtime/win32.h"

bool DeleteFileIfPresent(const char* path) {
  if (!PathExists(Text(path))) return true;
  return DeleteFileA(path) != FALSE;
}

bool RemoveDirIfPresent(const Text& path) {
  if (!PathExists(path)) return true;
  return DeleteDirectory(path);
}
