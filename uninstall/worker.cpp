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

constexpr unsigned kToolRetries = 20;
constexpr DWORD kToolRetryDelay = 100;  // milliseconds

// Deletes the file name in folder, tried again up to retries times 100 ms
// apart. An empty folder, one that could not be found, is a failure.
bool DeleteFileIn(const Text& folder, const char* name, unsigned retries = 0) {
  if (folder.length == 0) return false;
  Text path = folder + name;
  for (;; --retries) {
    if (DeleteFileIfPresent(path.chars)) return true;
    if (retries == 0) return false;
    Sleep(kToolRetryDelay);
  }
}

}  // namespace

void RunRemoveWorker() {
  bool ok = DeleteUninstallEntry();

  Fold(ok, DeleteFileIn(GetShellFolder(StartupValue), ProductShortcutFile));

  Text group = GetShellSubfolderPath(ProgramsValue, ProductKey);
  Fold(ok, DeleteFileIn(group, GroupShortcutName));
  Fold(ok, DeleteFileIn(group, ManualShortcutFile));
  Fold(ok, RemoveShellSubfolder(ProgramsValue, ProductKey));

  // The installed tool comes last. The launcher may still be running from
  // it when the worker gets there; it is given a short while to end before
  // the file counts as undeletable.
  Text installDir(InstallDir);
  for (unsigned i = 0; i < InstalledFileCount; ++i) {
    Fold(ok, DeleteFileIn(installDir, InstalledFileNames[i], i == InstalledFileCount - 1 ? kToolRetries : 0));
  }

  Fold(ok, RemoveDirIfPresent(Text(InstallDir, InstallDirWithoutBackslash).chars));

  MessageBoxA(nullptr, ok ? UninstallSucceeded : UninstallFailed, UninstallCaption, StyleOk);
}
