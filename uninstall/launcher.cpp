// The first uninstall stage, started by the system's uninstall command. A
// running program file cannot be deleted, so after the user confirms, the
// tool copies itself to the temporary directory, starts that copy with
// "/REMOVE" and asks the system to delete the copy at its next start.
#include "core/constants.h"
#include "core/modes.h"
#include "runtime/arguments.h"
#include "runtime/environment.h"
#include "runtime/files.h"
#include "runtime/text_file.h"
#include "runtime/win32.h"

namespace {

// The copy's path goes in double quotes: a temporary directory with blanks
// would otherwise split it, and the system would try each prefix of the path
// as a program. The worker starts in the temporary directory, not in the
// launcher's: a user who started the tool from the installation directory
// would otherwise leave the worker holding that directory, which then could
// not be removed.
bool StartWorker(const Text& copyPath, const Text& tempDirectory) {
  Text commandLine = Text("\"") + copyPath + "\"" + WorkerCommandSuffix;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  return CreateProcessA(nullptr, commandLine.chars, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS,
                        nullptr, tempDirectory.chars, &startup, &process) != FALSE;
}

// Appends "[rename]" and "nul=<copy>" to WININIT.INI in the system directory.
// A file that cannot be opened is skipped silently. When the file does not end
// with a line break, one is added first so that another program's last entry
// is not continued.
void ScheduleDeletion(const Text& copyPath) {
  ShortText bootFile = EnvironmentValue(MakeShortText(SystemDirVariable));
  Append(bootFile, "\\");
  Append(bootFile, BootFileName);
  int lastByte = LastFileByte(bootFile);

  AppendTextFile file;
  if (file.Open(bootFile) != 0) return;
  if (lastByte >= 0 && lastByte != '\n') file.EndLine();
  file.Write(SectionLine, sizeof SectionLine - 1);
  file.EndLine();
  file.Write(DeletionPrefix, sizeof DeletionPrefix - 1);
  file.Write(copyPath);
  file.EndLine();
  file.Close();
}

}  // namespace

void RunRemoveLauncher() {
  if (MessageBoxA(nullptr, UninstallConfirmation, UninstallCaption, StyleQuestion) != AnswerYes) return;

  Text ownPath(ProgramArgument(0));
  ShortText temp = EnvironmentValue(MakeShortText(TempVariable));
  ShortText copy = temp;
  Append(copy, TempCopyName);
  Text copyPath(copy);
  // Without TEMP the copy lies in the root of the current drive.
  Text tempDirectory = temp.length > 0 ? Text(temp) : Text("\\");

  if (CopyFileA(ownPath.chars, copyPath.chars, FALSE) == FALSE || !StartWorker(copyPath, tempDirectory)) {
    MessageBoxA(nullptr, LauncherFailed, UninstallCaption, StyleStop);
    return;
  }
  ScheduleDeletion(copyPath);
}
