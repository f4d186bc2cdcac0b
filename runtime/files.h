// Existence tests, single-directory operations and file reading.
#pragma once

#include "runtime/text.h"
#include "runtime/win32.h"

// True when path, taken as a search pattern, matches any file or directory.
// A path ending in a backslash or naming a drive root is reported absent.
bool PathExists(const char* path);

// Create, respectively remove, the last component of path (cut to 255
// characters, forward slashes read as backslashes). True on success.
bool MakeDirectory(const char* path);
bool DeleteDirectory(const char* path);

// The same for paths held in texts.
inline bool PathExists(const Text& path) {
  return PathExists(path.chars);
}
inline bool MakeDirectory(const Text& path) {
  return MakeDirectory(path.chars);
}
inline bool DeleteDirectory(const Text& path) {
  return DeleteDirectory(path.chars);
}

// The last byte of an existing, non-empty, readable file, or -1.
int LastFileByte(const ShortText& name);

// Opens an existing file for reading, shared with readers only: while the
// handle is open nobody can write, replace, rename or delete the file.
// INVALID_HANDLE_VALUE when it cannot be opened so.
HANDLE OpenReadOnlyShared(const char* path);
// True when both files, read from their starts, hold the same bytes up to
// the same end; false when either cannot be read.
bool SameContents(HANDLE a, HANDLE b);
