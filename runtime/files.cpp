#include "runtime/files.h"

#include "runtime/win32.h"

namespace {

ShortText SystemPath(const char* path) {
  ShortText result = MakeShortText(path);
  for (unsigned i = 0; i < result.length; ++i) {
    if (result.chars[i] == '/') result.chars[i] = '\\';
  }
  return result;
}

bool ValidHandle(HANDLE handle) {
  return handle != INVALID_HANDLE_VALUE && handle != nullptr;
}

}  // namespace

bool PathExists(const char* path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (!ValidHandle(search)) return false;
  FindClose(search);
  return true;
}

bool MakeDirectory(const char* path) {
  return CreateDirectoryA(SystemPath(path).chars, nullptr) != FALSE;
}

bool DeleteDirectory(const char* path) {
  return RemoveDirectoryA(SystemPath(path).chars) != FALSE;
}

int LastFileByte(const ShortText& name) {
  HANDLE file = CreateFileA(name.chars, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!ValidHandle(file)) return -1;
  int result = -1;
  unsigned char last = 0;
  DWORD read = 0;
  if (SetFilePointer(file, -1, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
      ReadFile(file, &last, 1, &read, nullptr) != FALSE && read == 1) {
    result = last;
  }
  CloseHandle(file);
  return result;
}

HANDLE OpenReadOnlyShared(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool SameContents(HANDLE a, HANDLE b) {
  // Two blocks of one disk sector each keep the frame small; the files
  // compared are a few kilobytes.
  char blockA[512];
  char blockB[512];
  for (;;) {
    DWORD readA = 0;
    DWORD readB = 0;
    if (ReadFile(a, blockA, sizeof blockA, &readA, nullptr) == FALSE ||
        ReadFile(b, blockB, sizeof blockB, &readB, nullptr) == FALSE || readA != readB) {
      return false;
    }
    for (DWORD i = 0; i < readA; ++i) {
      if (blockA[i] != blockB[i]) return false;
    }
    if (readA == 0) return true;
  }
}
