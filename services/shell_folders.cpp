#include "services/shell_folders.h"

#include "core/constants.h"
#include "runtime/files.h"
#include "runtime/win32.h"

Text GetShellFolder(const Text& valueName) {
  HKEY folders;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, ShellFoldersKey, 0, KEY_READ, &folders) != ERROR_SUCCESS) return Text();
  char data[kShellFolderBuffer];
  DWORD size = kShellFolderBuffer;
  LSTATUS status = RegQueryValueExA(folders, valueName.chars, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(folders);
  if (status != ERROR_SUCCESS) return Text();
  // The reported size counts the value's terminating zero; the type is not
  // looked at. A value without data gives an empty folder text.
  if (size > kShellFolderBuffer) size = kShellFolderBuffer;
  ShortText folder = MakeShortText(data, size > 0 ? size - 1 : 0);
  Append(folder, "\\");
  return Text(folder);
}

Text GetShellSubfolderPath(const Text& folderValue, const Text& subfolder) {
  Text folder = GetShellFolder(folderValue);
  if (folder.length == 0) return folder;
  return folder + subfolder + "\\";
}

Text EnsureShellSubfolder(const Text& folderValue, const Text& subfolder) {
  Text folder = GetShellFolder(folderValue);
  if (folder.length == 0) return folder;
  Text group = folder + subfolder;
  if (PathExists(group) || MakeDirectory(group)) return group + "\\";
  return Text();
}

bool RemoveShellSubfolder(const Text& folderValue, const Text& subfolder) {
  Text folder = GetShellFolder(folderValue);
  if (folder.length == 0) return false;
  return DeleteDirectory(folder + subfolder);
}
