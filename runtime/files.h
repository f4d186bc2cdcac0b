// Existence tests and single-directory operations.
#pragma once

#include "runtime/text.h"

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
