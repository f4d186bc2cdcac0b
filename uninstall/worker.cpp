// The second uninstall stage, run from the temporary copy so that the
// installed tool can be deleted too. Removes the registration, the shortcuts,
// the program group, the installation directory's files and the directory;
// every step is attempted and the user sees one message at the end.
#include "core/constants.h"
#include "core/modes.h"
#include "runtime/win32.h"
#include "services/shell_folders.h"
#include "services/tolerant_removal.h"
#include "services/uninstall_registration.h"

namespace {

// Deletes the file name in the folder of folderLength characters, tried
// again up to retries times, FileInUseRetryDelay apart. An empty folder, one
// that could not be found, is a failure.
bool DeleteFileIn(const char* folder, unsigned folderLength, const char* name, unsigned retries = 0) {
  if (folderLength == 0) return false;
  Text path(folder, folderLength);
  path += name;
  for (;; --retries) {
    if (DeleteFileIfPresent(path.chars)) return true;
    if (retries == 0) return false;
    Sleep(FileInUseRetryDelay);
  }
}

}  // namespace

void RunRemoveWorker() {
  bool ok = DeleteUninstallEntry();

  ShortText startup = GetShellFolder(StartupValue);
  Fold(ok, DeleteFileIn(startup.chars, startup.length, ProductShortcutFile));

  Text group = GetShellSubfolderPath(ProgramsValue, ProductKey);
  Fold(ok, DeleteFileIn(group.chars, group.length, GroupShortcutName));
  Fold(ok, DeleteFileIn(group.chars, group.length, ManualShortcutFile));
  Fold(ok, RemoveShellSubfolder(ProgramsValue, ProductKey));

  // The installed tool comes last. The launcher may still be running from
  // it when the worker gets there; it is given a short while to end before
  // the file counts as undeletable.
  for (unsigned i = 0; i < InstalledFileCount; ++i) {
    unsigned retries = i == InstalledFileCount - 1 ? FileInUseRetries : 0;
    Fold(ok, DeleteFileIn(InstallDir, sizeof InstallDir - 1, InstalledFileNames[i], retries));
  }

  Fold(ok, RemoveDirIfPresent(Text(InstallDir, InstallDirWithoutBackslash).chars));

  MessageBoxA(nullptr, ok ? UninstallSucceeded : UninstallFailed, UninstallCaption, StyleOk);
}
