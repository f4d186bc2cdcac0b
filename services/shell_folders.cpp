#include "services/shell_folders.h"

#include "core/constants.h"
#include "runtime/files.h"
#include "runtime/win32.h"

namespace {

// The shell folder followed by the subfolder, without a closing backslash;
// empty when the folder is not recorded.
Text ShellSubfolder(const char* folderValue, const char* subfolder) {
  Text path(GetShellFolder(folderValue));
  if (path.length != 0) path += subfolder;
  return path;
}

}  // namespace

ShortText GetShellFolder(const char* valueName) {
  ShortText folder;
  folder.length = 0;
  folder.chars[0] = 0;
  HKEY folders;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, ShellFoldersKey, 0, KEY_READ, &folders) == ERROR_SUCCESS) {
    char data[kShellFolderBuffer];
    DWORD size = kShellFolderBuffer;
    LSTATUS status = RegQueryValueExA(folders, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(folders);
    if (status == ERROR_SUCCESS) {
      // The reported size counts the value's terminating zero; the type is
      // not looked at. A value without data gives an empty folder text.
      if (size > kShellFolderBuffer) size = kShellFolderBuffer;
      Append(folder, data, size > 0 ? size - 1 : 0);
      Append(folder, "\\");
    }
  }
  return folder;
}

Text GetShellSubfolderPath(const char* folderValue, const char* subfolder) {
  Text path = ShellSubfolder(folderValue, subfolder);
  if (path.length != 0) path += "\\";
  return path;
}

Text EnsureShellSubfolder(const char* folderValue, const char* subfolder) {
  Text path = ShellSubfolder(folderValue, subfolder);
  if (path.length == 0) return path;
  if (!PathExists(path.chars) && !MakeDirectory(path.chars)) return Text();
  path += "\\";
  return path;
}

bool RemoveShellSubfolder(const char* folderValue, const char* subfolder) {
  Text path = ShellSubfolder(folderValue, subfolder);
  return path.length != 0 && DeleteDirectory(path.chars);
}
