// Existence tests and single-directory operations.
#pragma once

#include "runtime/text.h"

// True when path, taken as a search pattern, matches any file or directory.
// A path ending in a backslash or naming a drive root is reported absent.
bool PathExists(const Text& path);

// Create, respectively remove, the last component of path (cut to 255
// characters, forward slashes read as backslashes). True on success.
bool MakeDirectory(const Text& path);
bool DeleteDirectory(const Text& path);

// The last byte of an existing, non-empty, readable file, or -1.
int LastFileByte(const ShortText& name);
