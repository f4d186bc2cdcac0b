// "/INSTALL": registers the product, creates its program group with the two
// prepared shortcuts, offers a Startup shortcut and reports the outcome.
// Every step is attempted whatever happened before; nothing is rolled back.
#include "core/constants.h"
#include "core/modes.h"
#include "runtime/win32.h"
#include "services/shell_folders.h"
#include "services/uninstall_registration.h"

namespace {

// The prepared shortcut files are read from the current directory.
bool CopyShortcut(const char* preparedFile, const Text& target) {
  return CopyFileA(preparedFile, target.chars, FALSE) != FALSE;
}

}  // namespace

void RunInstall() {
  bool ok = RegisterUninstallEntry(Text(ProductKey), MakeShortText(DisplayName), MakeShortText(UninstallCommand));

  Text path = EnsureShellSubfolder(Text(ProgramsValue), Text(ProductKey));
  if (path.length == 0) {
    ok = false;
  } else {
    Fold(ok, CopyShortcut(ProductShortcutFile, path + GroupShortcutName));
    Fold(ok, CopyShortcut(ManualShortcutFile, path + ManualShortcutFile));
  }

  if (MessageBoxA(nullptr, StartupQuestion, InstallCaption, StyleYesNo) == AnswerYes) {
    path = GetShellFolder(Text(StartupValue));
    if (path.length == 0) {
      ok = false;
    } else {
      Fold(ok, CopyShortcut(ProductShortcutFile, path + ProductShortcutFile));
    }
  }

  if (ok) {
    MessageBoxA(nullptr, InstallSucceeded, InstallCaption, StyleOk);
  } else {
    MessageBoxA(nullptr, InstallFailed, InstallCaption, StyleExclamation);
  }
}
