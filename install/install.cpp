// "/INSTALL": registers the product, creates its program group with the two
// prepared shortcuts, offers a Startup shortcut and reports the outcome.
// Every step is attempted whatever happened before; nothing is rolled back.
#include "core/constants.h"
#include "core/modes.h"
#include "runtime/win32.h"
#include "services/shell_folders.h"
#include "services/uninstall_registration.h"

namespace {

// Copies a prepared shortcut file from the current directory under name
// into the folder of folderLength characters. An empty folder, one that
// could not be found or made, is a failure.
bool CopyShortcut(const char* preparedFile, const char* folder, unsigned folderLength, const char* name) {
  if (folderLength == 0) return false;
  Text target(folder, folderLength);
  target += name;
  return CopyFileA(preparedFile, target.chars, FALSE) != FALSE;
}

}  // namespace

void RunInstall() {
  bool ok = RegisterUninstallEntry();

  Text group = EnsureShellSubfolder(ProgramsValue, ProductKey);
  Fold(ok, CopyShortcut(ProductShortcutFile, group.chars, group.length, GroupShortcutName));
  Fold(ok, CopyShortcut(ManualShortcutFile, group.chars, group.length, ManualShortcutFile));

  if (MessageBoxA(nullptr, StartupQuestion, InstallCaption, StyleYesNo) == AnswerYes) {
    ShortText startup = GetShellFolder(StartupValue);
    Fold(ok, CopyShortcut(ProductShortcutFile, startup.chars, startup.length, ProductShortcutFile));
  }

  MessageBoxA(nullptr, ok ? InstallSucceeded : InstallFailed, InstallCaption, ok ? StyleOk : StyleExclamation);
}
