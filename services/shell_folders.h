// The user's special folders (Start-menu programs, Startup) as recorded in the
// per-user Shell Folders key, and the product's program group inside them.
// Paths end with one backslash; an empty result means failure.
#pragma once

#include "runtime/text.h"

constexpr unsigned kShellFolderBuffer = 255;

Text GetShellFolder(const Text& valueName);
// The shell folder, subfolder and a backslash; touches nothing on disk.
Text GetShellSubfolderPath(const Text& folderValue, const Text& subfolder);
// The same path once an entry of that name exists (made if missing).
Text EnsureShellSubfolder(const Text& folderValue, const Text& subfolder);
// Removes the (empty) subfolder directory.
bool RemoveShellSubfolder(const Text& folderValue, const Text& subfolder);
