// The user's special folders (Start-menu programs, Startup) as recorded in the
// per-user Shell Folders key, and the product's program group inside them.
// Paths end with one backslash; an empty result means failure. The folder
// itself is at most 255 characters long; with a subfolder it can be longer.
#pragma once

#include "runtime/text.h"

constexpr unsigned kShellFolderBuffer = 255;

ShortText GetShellFolder(const char* valueName);
// The shell folder, subfolder and a backslash; touches nothing on disk.
Text GetShellSubfolderPath(const char* folderValue, const char* subfolder);
// The same path once an entry of that name exists (made if missing).
Text EnsureShellSubfolder(const char* folderValue, const char* subfolder);
// Removes the (empty) subfolder directory.
bool RemoveShellSubfolder(const char* folderValue, const char* subfolder);

// The same for names held in texts.
inline ShortText GetShellFolder(const Text& valueName) {
  return GetShellFolder(valueName.chars);
}
inline Text GetShellSubfolderPath(const Text& folderValue, const Text& subfolder) {
  return GetShellSubfolderPath(folderValue.chars, subfolder.chars);
}
inline Text EnsureShellSubfolder(const Text& folderValue, const Text& subfolder) {
  return EnsureShellSubfolder(folderValue.chars, subfolder.chars);
}
inline bool RemoveShellSubfolder(const Text& folderValue, const Text& subfolder) {
  return RemoveShellSubfolder(folderValue.chars, subfolder.chars);
}
