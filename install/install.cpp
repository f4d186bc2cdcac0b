// "/INSTALL": registers the product, creates its program group with the two
// prepared shortcuts, offers a Startup shortcut and reports the outcome.
// Every step is attempted whatever happened before; nothing is rolled back.
#include "core/constants.h"
#include "core/modes.h"
#include "runtime/win32.h"
#include "services/shell_folders.h"
#include "services/uninstall_registration.h"

namespace {

// Copies a prepared shortcut file from the current directory into folder
// under name. An empty folder, one that could not be found or made, is a
// failure.
bool CopyShortcut(const char* preparedFile, const Text& folder, const char* name) {
  if (folder.length == 0) return false;
  return CopyFileA(preparedFile, (folder + name).chars, FALSE) != FALSE;
}

}  // namespace

void RunInstall() {
  bool ok = RegisterUninstallEntry();

  Text group = EnsureShellSubfolder(ProgramsValue, ProductKey);
  Fold(ok, CopyShortcut(ProductShortcutFile, group, GroupShortcutName));
  Fold(ok, CopyShortcut(ManualShortcutFile, group, ManualShortcutFile));

  if (MessageBoxA(nullptr, StartupQuestion, InstallCaption, StyleYesNo) == AnswerYes) {
    Fold(ok, CopyShortcut(ProductShortcutFile, GetShellFolder(StartupValue), ProductShortcutFile));
  }

  MessageBoxA(nullptr, ok ? InstallSucceeded : InstallFailed, InstallCaption, ok ? StyleOk : StyleExclamation);
}
