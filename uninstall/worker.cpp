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

// The launcher may still be running from the installed tool when the worker
// gets to it; give it a short while to end before counting the file as
// undeletable.
bool DeleteInstalledTool(const char* path) {
  for (unsigned retry = 0;; ++retry) {
    if (DeleteFileIfPresent(path)) return true;
    if (retry == kToolRetries) return false;
    Sleep(kToolRetryDelay);
  }
}

}  // namespace

void RunRemoveWorker() {
  bool ok = DeleteUninstallEntry(Text(ProductKey));

  Text path = GetShellFolder(Text(StartupValue));
  if (path.length == 0) {
    ok = false;
  } else {
    Fold(ok, DeleteFileIfPresent((path + ProductShortcutFile).chars));
  }

  path = GetShellSubfolderPath(Text(ProgramsValue), Text(ProductKey));
  if (path.length == 0) {
    ok = false;
  } else {
    Fold(ok, DeleteFileIfPresent((path + GroupShortcutName).chars));
    Fold(ok, DeleteFileIfPresent((path + ManualShortcutFile).chars));
  }

  Fold(ok, RemoveShellSubfolder(Text(ProgramsValue), Text(ProductKey)));

  for (const char* file : InstalledFiles) {
    bool isTool = file == InstalledFiles[InstalledFileCount - 1];
    Fold(ok, isTool ? DeleteInstalledTool(file) : DeleteFileIfPresent(file));
  }

  Fold(ok, RemoveDirIfPresent(Text(InstallDir, InstallDirWithoutBackslash)));

  MessageBoxA(nullptr, ok ? UninstallSucceeded : UninstallFailed, UninstallCaption, StyleOk);
}
