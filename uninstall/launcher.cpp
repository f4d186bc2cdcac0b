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

// The worker's command line: the copy's path (at most 255 characters) in
// double quotes, then the switch with its terminating zero.
constexpr unsigned kCommandLineSize = 1 + kShortTextMax + 1 + sizeof WorkerCommandSuffix;

// The copy's path goes in double quotes: a temporary directory with blanks
// would otherwise split it, and the system would try each prefix of the path
// as a program. The worker starts in the temporary directory, not in the
// launcher's: a user who started the tool from the installation directory
// would otherwise leave the worker holding that directory, which then could
// not be removed.
bool StartWorker(const ShortText& copyPath, const char* tempDirectory) {
  char commandLine[kCommandLineSize];
  commandLine[0] = '"';
  CopyBytes(commandLine + 1, copyPath.chars, copyPath.length);
  commandLine[1 + copyPath.length] = '"';
  CopyBytes(commandLine + 2 + copyPath.length, WorkerCommandSuffix, sizeof WorkerCommandSuffix);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  return CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS,
                        nullptr, tempDirectory, &startup, &process) != FALSE;
}

// Opens the copy as OpenReadOnlyShared does. Security scanners open a new
// program file right after it is written, and other programs may hold it for
// a moment: while another program holds it (a sharing violation) it is tried
// again as the worker tries the installed tool. Any other failure, and a
// copy still held after the last try, is final.
HANDLE OpenCopy(const char* path) {
  for (unsigned retries = FileInUseRetries;; --retries) {
    HANDLE copy = OpenReadOnlyShared(path);
    if (copy != INVALID_HANDLE_VALUE || retries == 0 || GetLastError() != ERROR_SHARING_VIOLATION) return copy;
    Sleep(FileInUseRetryDelay);
  }
}

// The temporary folder belongs to the user: any program of the user can
// write there, while the worker usually runs with the administrator rights
// the uninstall was given. A copy replaced between the copying and the start
// would run with those rights. So the copy is opened first in a way that
// keeps everybody from writing, replacing or deleting it until the worker
// has been started, and the worker is started only when the copy still holds
// the tool's own bytes.
bool StartCheckedWorker(const ShortText& ownPath, const ShortText& copyPath, const char* tempDirectory) {
  HANDLE copy = OpenCopy(copyPath.chars);
  if (copy == INVALID_HANDLE_VALUE) return false;
  bool unchanged = false;
  HANDLE own = OpenReadOnlyShared(ownPath.chars);
  if (own != INVALID_HANDLE_VALUE) {
    unchanged = SameContents(copy, own);
    CloseHandle(own);
  }
  bool started = unchanged && StartWorker(copyPath, tempDirectory);
  CloseHandle(copy);
  return started;
}

// Appends "[rename]" and "nul=<copy>" to WININIT.INI in the system directory.
// A file that cannot be opened is skipped silently. When the file does not end
// with a line break, one is added first so that another program's last entry
// is not continued.
void ScheduleDeletion(const ShortText& copyPath) {
  ShortText bootFile = EnvironmentValue(SystemDirVariable, sizeof SystemDirVariable - 1);
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

  ShortText ownPath = ProgramArgument(0);
  ShortText temp = EnvironmentValue(TempVariable, sizeof TempVariable - 1);
  ShortText copyPath = temp;
  Append(copyPath, TempCopyName);
  // Without TEMP the copy lies in the root of the current drive.
  const char* tempDirectory = temp.length > 0 ? temp.chars : "\\";

  if (CopyFileA(ownPath.chars, copyPath.chars, FALSE) == FALSE ||
      !StartCheckedWorker(ownPath, copyPath, tempDirectory)) {
    MessageBoxA(nullptr, LauncherFailed, UninstallCaption, StyleStop);
    return;
  }
  ScheduleDeletion(copyPath);
}
