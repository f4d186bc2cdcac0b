/* KALCHECK.EXE: the whole install and uninstall of Kalmaris 2001 run and
 * checked on the machine it is started on (a test program, never shipped).
 *
 *   KALCHECK.EXE [KIT]          KIT: the kit's five files (default: the folder
 *                               "kit" beside the program, else "KALMARIS")
 *   KALCHECK.EXE /after-restart after a restart of Windows 95, 98 or Me: the
 *                               temporary copy of the tool is gone
 *   KALCHECK.EXE /elevation     from an ordinary, not elevated, prompt on
 *                               Windows Vista and later: Windows refuses to
 *                               start the kit's REMOVE.EXE without elevation
 *
 * 1. The report's head: the Windows version, 32- or 64-bit, administrator
 *    rights, the ANSI code page, the REMOVE.EXE checked.
 * 2. Refuses (exit code 2, nothing changed) when the product or a part of it
 *    is there (its uninstall entry, its folder, its program group, its
 *    Startup shortcut), the kit lacks a file or its REMOVE.EXE cannot be
 *    read, C:\Program Files is missing, or HKEY_LOCAL_MACHINE and
 *    C:\Program Files cannot be written.
 * 3. A clean slate: a temporary copy an earlier uninstall left is deleted,
 *    and a pending line of KALCHECK's own is put in WININIT.INI, as another
 *    program's would stand there.
 * 4. The cycle (kCycle): every path a user can take, each step answered and
 *    checked against the table of what it must show: its boxes, how many
 *    processes of the tool ran and their exit codes, every thing of the
 *    product there or gone, the temporary copy and WININIT.INI whole. Before
 *    an uninstall that goes on, the copy's place holds bytes of KALCHECK's
 *    own, as an earlier version's copy would; one uninstall runs with TEMP
 *    naming a folder with a blank.
 * 5. What is left on the machine; exit code 0 when every check passed, else 1.
 *
 * Each check is one line, on the console and in the report beside the
 * program (KALCHECK.TXT; ELEVATION.TXT for /elevation), or in the temporary
 * folder where the program's own cannot be written (a CD); the console's
 * first line names it. Every wait is bounded. It links no C runtime and
 * imports only what Windows 95 has; newer functions are looked up when it
 * runs. */
#include "tests/kalcheck/kalcheck.h"

/* Windows 95's KERNEL32 exports the ANSI environment under this name; the
 * headers map it to a name of newer systems. */
#undef GetEnvironmentStringsA
__declspec(dllimport) LPCH WINAPI GetEnvironmentStringsA(void);

#define PRODUCT_LINK "Kalmaris.lnk"
#define MANUAL_LINK "Něco jako manuál.lnk"
#define PRODUCT_FILE "KM.EXE"
#define MANUAL_FILE "KM.RTF"
/* KALCHECK's own folder with a blank, below the user's temporary folder. */
#define BLANK_FOLDER "Kalcheck temp"
/* The file KALCHECK's own WININIT.INI line names: in its folder, never there. */
#define PENDING_NAME "KALCHECK.NUL"

/* ---- the cycle's table */

static const Box kStartupQuestion = {INSTALL_CAPTION,
                                     "Chcete vytvořit zástupce programu Kalmaris ve složce \"Po spuštění\"?",
                                     BUTTON(IDYES) | BUTTON(IDNO), IDYES, ICON_NONE};
static const Box kInstallEnd = {INSTALL_CAPTION, "Instalace úspěšně dokončena.", BUTTON(IDOK), IDOK, ICON_NONE};
static const Box kConfirmation = {UNINSTALL_CAPTION, "Opravdu chcete odstranit program Kalmaris 2001?",
                                  BUTTON(IDYES) | BUTTON(IDNO), IDYES, ICON_QUESTION};
static const Box kUninstallEnd = {UNINSTALL_CAPTION, "Odinstalace úspěšně dokončena.", BUTTON(IDOK), IDOK, ICON_NONE};

/* What the tool makes and removes, in the order it removes them. */
static const Thing kThings[] = {
    {THING_KEY, "the uninstall entry (HKEY_LOCAL_MACHINE, list of installed programs)", IN_REGISTRY, "", NULL, NULL,
     EVERY_INSTALL},
    {THING_VALUE, "uninstall entry", IN_REGISTRY, "DisplayName", "Kalmaris 2001", NULL, EVERY_INSTALL},
    {THING_VALUE, "uninstall entry", IN_REGISTRY, "UninstallString", "\"" INSTALL_DIR "\\" TOOL_FILE "\"", NULL,
     EVERY_INSTALL},
    {THING_SHORTCUT, "Startup shortcut", IN_STARTUP, PRODUCT_LINK, PRODUCT_LINK, PRODUCT_FILE, INSTALLED_WITH_STARTUP},
    {THING_SHORTCUT, "group shortcut", IN_GROUP, " " PRODUCT_LINK, PRODUCT_LINK, PRODUCT_FILE, EVERY_INSTALL},
    {THING_SHORTCUT, "group shortcut", IN_GROUP, MANUAL_LINK, MANUAL_LINK, MANUAL_FILE, EVERY_INSTALL},
    {THING_FOLDER, "group", IN_PROGRAMS, "Kalmaris", NULL, NULL, EVERY_INSTALL},
    /* The kit: the installation directory's five files. */
    {THING_FILE, "file", IN_INSTALL_DIR, PRODUCT_LINK, PRODUCT_LINK, NULL, EVERY_INSTALL},
    {THING_FILE, "file", IN_INSTALL_DIR, MANUAL_LINK, MANUAL_LINK, NULL, EVERY_INSTALL},
    {THING_FILE, "file", IN_INSTALL_DIR, PRODUCT_FILE, PRODUCT_FILE, NULL, EVERY_INSTALL},
    {THING_FILE, "file", IN_INSTALL_DIR, MANUAL_FILE, MANUAL_FILE, NULL, EVERY_INSTALL},
    {THING_FILE, "file", IN_INSTALL_DIR, TOOL_FILE, TOOL_FILE, NULL, EVERY_INSTALL},
    {THING_FOLDER, "folder", IN_PROGRAM_FILES, "Kalmaris", NULL, NULL, EVERY_INSTALL},
};
#define THINGS ((int)(sizeof kThings / sizeof kThings[0]))
#define STARTUP_SHORTCUT (&kThings[3])
#define GROUP (&kThings[6])

/* A box a step must show, and the answer it gets. */
typedef struct {
  const char* role;
  const Box* box;
  int answer;
} ExpectedBox;

/* A step of the cycle: the install or the uninstall as the user starts it,
 * the answers, and what must be there after it. */
typedef struct {
  const char* title;
  int install;   /* REMOVE.EXE /INSTALL; else the registered uninstall command */
  int blankTemp; /* started with TEMP naming KALCHECK's own folder with a blank */
  unsigned state;
  ExpectedBox boxes[2];
  int processes; /* of the tool, each ending with exit code 0 */
} Step;

static const Step kCycle[] = {
    {"install, the Startup question answered No",
     1,
     0,
     INSTALLED,
     {{"install, Startup question", &kStartupQuestion, IDNO}, {"install, the end", &kInstallEnd, IDOK}},
     1},
    {"uninstall, the confirmation answered No",
     0,
     0,
     INSTALLED,
     {{"uninstall, confirmation", &kConfirmation, IDNO}},
     1},
    {"uninstall, answered Yes, with TEMP naming a folder with a blank",
     0,
     1,
     REMOVED,
     {{"uninstall, confirmation", &kConfirmation, IDYES}, {"uninstall, the end", &kUninstallEnd, IDOK}},
     2},
    {"install, the Startup question answered Yes",
     1,
     0,
     INSTALLED_WITH_STARTUP,
     {{"install, Startup question", &kStartupQuestion, IDYES}, {"install, the end", &kInstallEnd, IDOK}},
     1},
    {"uninstall, answered Yes",
     0,
     0,
     REMOVED,
     {{"uninstall, confirmation", &kConfirmation, IDYES}, {"uninstall, the end", &kUninstallEnd, IDOK}},
     2},
};
#define STEPS ((int)(sizeof kCycle / sizeof kCycle[0]))

/* What an earlier version's copy stands for at ~REMOVE.TMP before an
 * uninstall: bytes of KALCHECK's own, no program. */
static const char kSeed[] = "KALCHECK.EXE put this here as a copy an earlier version of REMOVE.EXE left.\r\n";
#define SEED_SIZE ((int)sizeof kSeed - 1)

static const char kCopyStays[] =
    "note    Windows NT and later never read WININIT.INI: %s stays; delete it by hand (docs/using-on-windows.md, "
    "The temporary copy on Windows NT and later)";

static Run g_run;

/* ---- paths */

static const char* PlaceFolder(const Run* run, Place place) {
  switch (place) {
    case IN_STARTUP:
      return run->startup;
    case IN_GROUP:
      return run->group;
    case IN_PROGRAMS:
      return run->programs;
    case IN_INSTALL_DIR:
      return INSTALL_DIR;
    case IN_PROGRAM_FILES:
      return PROGRAM_FILES;
    default:
      return "";
  }
}

static void ThingPath(const Run* run, const Thing* thing, char* out) {
  wsprintfA(out, "%s\\%s", PlaceFolder(run, thing->place), thing->name);
}

/* The temporary copy's path in the user's temporary folder or in KALCHECK's own. */
static void CopyPath(const Run* run, int blankTemp, char* out) {
  wsprintfA(out, "%s\\" COPY_NAME, blankTemp ? run->blankTemp : run->temp);
}

/* ---- the clean slate */

/* KALCHECK's own pending line in WININIT.INI: after what is there (a line
 * break first where the last line has none), as another program's line
 * would stand there. The tool must keep it. */
static int AddOwnWininitLine(Run* run) {
  char line[MAX_PATH + 40];
  run->wininitFound = ReadWholeFile(run->wininit, run->wininitText, sizeof run->wininitText - sizeof line);
  run->wininitExisted = run->wininitFound >= 0;
  if (run->wininitFound < 0) {
    if (PathExists(run->wininit)) return 0;
    run->wininitFound = 0;
  }
  int at = run->wininitFound;
  int length = wsprintfA(line, "%s[rename]\r\nnul=%s\\" PENDING_NAME "\r\n",
                         at > 0 && run->wininitText[at - 1] != '\n' ? "\r\n" : "", run->own);
  if (!WriteWholeFile(run->wininit, line, length, OPEN_ALWAYS)) return 0;
  for (int i = 0; i < length; ++i) run->wininitText[at + i] = line[i];
  run->wininitOwn = length;
  run->wininitSize = at + length;
  ReportLine(run,
             "note    KALCHECK put a pending line of its own in %s: nul=%s\\" PENDING_NAME
             " (a file that is not there), as another program's would stand there; the tool must keep it",
             run->wininit, run->own);
  return 1;
}

/* On Windows NT, which never reads WININIT.INI, KALCHECK's own line is
 * taken out again: the file as it was, then whatever came after the line. */
static void RemoveOwnWininitLine(Run* run) {
  int at = run->wininitFound, own = run->wininitOwn;
  if (own == 0 || !run->nt) return;
  int length = ReadWholeFile(run->wininit, run->data, sizeof run->data - 1);
  if (length < at + own || !SameBytes(run->data, run->wininitText, at) ||
      !SameBytes(run->data + at, run->wininitText + at, own)) {
    ReportLine(run, "note    %s has changed where KALCHECK's own line stood: the line is left as it is", run->wininit);
    return;
  }
  for (int i = at; i + own < length; ++i) run->data[i] = run->data[i + own];
  length -= own;
  int removed = length == 0 && !run->wininitExisted ? DeleteFileA(run->wininit)
                                                    : WriteWholeFile(run->wininit, run->data, length, CREATE_ALWAYS);
  ReportLine(run,
             removed ? "note    KALCHECK's own line taken out of %s again"
                     : "note    KALCHECK's own line could not be taken out of %s",
             run->wininit);
}

/* A copy an earlier uninstall left (Windows NT and later never delete it):
 * deleted, so that the cycle sees only what the tool does now. */
static int DeleteLeftCopy(Run* run, int blankTemp, char* reason) {
  Path copy;
  CopyPath(run, blankTemp, copy);
  if (!PathExists(copy)) return 1;
  SetFileAttributesA(copy, FILE_ATTRIBUTE_NORMAL);
  if (!DeleteFileA(copy)) {
    wsprintfA(reason, "the copy an earlier uninstall left, %s, cannot be deleted (error %lu)", copy, GetLastError());
    return 0;
  }
  ReportLine(run, "note    KALCHECK deleted %s, the copy an earlier uninstall left", copy);
  return 1;
}

/* Whether the kit has its five files and its REMOVE.EXE can be read;
 * where not, why. */
static int KitIsWhole(const Run* run, char* reason) {
  Path path;
  for (int i = 0; i < THINGS; ++i) {
    wsprintfA(path, "%s\\%s", run->kit, kThings[i].name);
    if (kThings[i].kind == THING_FILE && !PathExists(path)) {
      wsprintfA(reason, "the kit %s lacks %s%s", run->kit, kThings[i].name,
                GetACP() != 1250 ? " (or the ANSI code page is not 1250: docs/using-on-windows.md, Czech as the "
                                   "language for non-Unicode programs)"
                                 : "");
      return 0;
    }
  }
  if (run->toolSize >= 0) return 1;
  lstrcpyA(reason, "the kit's " TOOL_FILE " cannot be read whole (another program holds it, or it is over 1 MB)");
  return 0;
}

/* Why the cycle cannot start, where anything of the product is already
 * there or the machine lacks what the install needs; empty when it can. */
static void RefusalReason(Run* run, int admin, char* reason) {
  Path group, startupLink;
  ThingPath(run, GROUP, group);
  ThingPath(run, STARTUP_SHORTCUT, startupLink);
  reason[0] = 0;
  if (UninstallKeyExists(run))
    lstrcpyA(reason, "Kalmaris 2001 is installed: its uninstall entry exists");
  else if (PathExists(INSTALL_DIR))
    lstrcpyA(reason, "Kalmaris 2001 is installed: " INSTALL_DIR " exists");
  else if (PathExists(group))
    wsprintfA(reason, "the program group of Kalmaris 2001 is there: %s", group);
  else if (PathExists(startupLink))
    wsprintfA(reason, "a Startup shortcut of Kalmaris 2001 is there: %s", startupLink);
  else if (KitIsWhole(run, reason) && !PathExists(PROGRAM_FILES))
    lstrcpyA(reason, PROGRAM_FILES " does not exist: the tool installs into it");
  else if (!reason[0] && !admin)
    lstrcpyA(reason, "no administrator rights: start KALCHECK.EXE as administrator");
}

/* ---- the steps */

/* The kit's five files copied into the installation directory, as an
 * installer does. */
static int CopyKit(Run* run) {
  Path from, to;
  Line found = "cannot make the folder";
  int copied = CreateDirectoryA(INSTALL_DIR, NULL), readOnly = 0;
  for (int i = 0; i < THINGS && copied; ++i) {
    if (kThings[i].kind != THING_FILE) continue;
    wsprintfA(from, "%s\\%s", run->kit, kThings[i].name);
    ThingPath(run, &kThings[i], to);
    copied = CopyFileA(from, to, TRUE);
    wsprintfA(found, "error %lu at %s", GetLastError(), kThings[i].name);
    /* CopyFileA keeps the read-only attribute of a kit copied from a CD; an
     * installer from a medium clears it. */
    DWORD attributes = GetFileAttributesA(to);
    if (copied && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
      readOnly += SetFileAttributesA(to, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY) != 0;
  }
  ReportCheck(run, copied, "the kit's five files copied into " INSTALL_DIR, found);
  if (readOnly)
    ReportLine(run,
               "note    %d of the kit's files were read-only (as copied from a CD): KALCHECK cleared the attribute of "
               "their copies, as an installer from a medium does",
               readOnly);
  return copied;
}

/* Is entry (NAME=value) the variable name, in any case? */
static int IsVariable(const char* entry, const char* name) {
  char own[16];
  int length = lstrlenA(name);
  lstrcpynA(own, entry, length + 1);
  return entry[length] == '=' && lstrcmpiA(own, name) == 0;
}

/* KALCHECK's environment with TEMP and TMP naming its own folder with a
 * blank, as for an account whose name has one; NULL where it does not fit. */
static const char* BlankTempEnvironment(Run* run) {
  static char block[1 << 15];
  char* out = block;
  char* strings = GetEnvironmentStringsA();
  for (const char* entry = strings; entry != NULL && *entry; entry += lstrlenA(entry) + 1) {
    int length = lstrlenA(entry) + 1;
    if (IsVariable(entry, "TEMP") || IsVariable(entry, "TMP")) continue;
    if (out + length + 2 * sizeof run->blankTemp + 16 > block + sizeof block) return NULL;
    lstrcpyA(out, entry);
    out += length;
  }
  if (strings != NULL) FreeEnvironmentStringsA(strings);
  out += wsprintfA(out, "TEMP=%s", run->blankTemp) + 1;
  out += wsprintfA(out, "TMP=%s", run->blankTemp) + 1;
  *out = 0;
  return block;
}

/* One step: started as the user starts it, its boxes answered, then
 * everything it must show checked. 0 where the cycle cannot go on. */
static int RunStep(Run* run, const Step* step) {
  char command[300];
  Path path;
  DWORD type;
  int goesOn = step->state == REMOVED;
  ReportLine(run, "-- %s", step->title);
  StartStep(run);
  CopyPath(run, step->blankTemp, run->copy);
  if (step->install) {
    if (UninstallKeyExists(run) || PathExists(INSTALL_DIR)) {
      ReportLine(run, "stopped: Kalmaris 2001 is still installed, so it cannot be installed again");
      return 0;
    }
    if (!CopyKit(run) ||
        !StartTool(run, "REMOVE.EXE /INSTALL", "\"" INSTALL_DIR "\\" TOOL_FILE "\" /INSTALL", INSTALL_DIR, NULL))
      return 0;
  } else {
    if (QueryUninstallValue(run, "UninstallString", &type, command, sizeof command) <= 0) {
      ReportLine(run, "stopped: no uninstall command is registered");
      return 0;
    }
    if (goesOn) {
      if (WriteWholeFile(run->copy, kSeed, SEED_SIZE, CREATE_ALWAYS))
        ReportLine(run,
                   "note    KALCHECK put bytes of its own at %s, as a copy an earlier version left: the tool must "
                   "replace them",
                   run->copy);
      else
        ReportLine(run, "note    KALCHECK could not put bytes of its own at %s (error %lu)", run->copy, GetLastError());
    }
    /* As the list of installed programs, or a double click on REMOVE.EXE in
     * Explorer, does: in the installation directory, which the uninstall removes. */
    if (!StartTool(run, "the uninstall command", command, INSTALL_DIR,
                   step->blankTemp ? BlankTempEnvironment(run) : NULL))
      return 0;
  }
  for (int i = 0; i < 2 && step->boxes[i].box != NULL; ++i)
    ExpectBox(run, step->boxes[i].role, step->boxes[i].box, step->boxes[i].answer);
  AwaitToolEnd(run, "every process of the tool ended");
  CheckExitCodes(run, step->processes);
  for (int i = 0; i < THINGS; ++i) {
    ThingPath(run, &kThings[i], path);
    CheckThing(run, &kThings[i], path, (kThings[i].there & step->state) != 0, goesOn);
  }
  CheckCopy(run, goesOn, kSeed, SEED_SIZE);
  CheckWininit(run, goesOn);
  return 1;
}

/* ---- the other runs */

/* /elevation: the kit's REMOVE.EXE started without a switch, as the list of
 * installed programs starts the uninstall, by a process without elevation.
 * Windows Vista and later recognise the installer and refuse with error 740
 * (their prompt for rights then comes from the list); a tool started instead
 * gets its confirmation answered No. Exit code 0, 1, or 2 before Vista. */
static void CheckElevation(Run* run, int admin) {
  Path command;
  char caption[128];
  DWORD error = 0;
  if (!run->nt || run->major < 6) {
    ReportLine(run, "nothing to check: Windows before Vista asks no program for administrator rights");
    ExitProcess(2);
  }
  if (admin)
    ReportLine(run,
               "note    KALCHECK.EXE has administrator rights itself, and Windows asks nothing of what it starts: "
               "run /elevation from an ordinary command prompt");
  wsprintfA(command, "\"%s\\" TOOL_FILE "\"", run->kit);
  if (!StartHeld(run, TOOL_FILE, command, run->kit, NULL, &error)) {
    if (error == 740) {
      ReportLine(run, "Windows will ask for administrator rights: passed");
      ExitProcess(0);
    }
    ReportLine(run, "FAILED  %s could not be started: error %lu", command, error);
    ExitProcess(1);
  }
  for (DWORD start = GetTickCount();
       WaitForSingleObject(run->held[0].handle, 0) == WAIT_TIMEOUT && GetTickCount() - start < BOX_WAIT; Sleep(100)) {
    HWND box = FindToolBox(run, caption, sizeof caption);
    if (box != NULL && SameText(caption, UNINSTALL_CAPTION))
      PressButton(box, IDNO);
    else if (box != NULL)
      ReportUnexpectedBox(run, box);
  }
  ReportLine(run,
             "FAILED  Windows starts REMOVE.EXE without asking for administrator rights: installer detection is off "
             "(docs/using-on-windows.md, Administrator rights)");
  ExitProcess(1);
}

/* The head of the report: the system, the rights, the code page, the tool;
 * whether the rights allow the install. */
static int ReportHead(Run* run, const char* toolPath, int afterRestart, int elevation) {
  OSVERSIONINFOW version = {.dwOSVersionInfoSize = sizeof version};
  OSVERSIONINFOA old = {.dwOSVersionInfoSize = sizeof old};
  LONG(WINAPI * rtlGetVersion)(OSVERSIONINFOW*) = (void*)LoadedFunction("NTDLL.DLL", "RtlGetVersion");
  BOOL(WINAPI * isWow64)(HANDLE, BOOL*) = (void*)LoadedFunction("KERNEL32.DLL", "IsWow64Process");
  BOOL(WINAPI * isAdmin)(void) = (void*)GetProcAddress(LoadLibraryA("SHELL32.DLL"), "IsUserAnAdmin");
  HKEY key;
  if (rtlGetVersion == NULL || rtlGetVersion(&version) != 0) {
    GetVersionExA(&old);
    version.dwMajorVersion = old.dwMajorVersion, version.dwMinorVersion = old.dwMinorVersion;
    version.dwBuildNumber = old.dwBuildNumber, version.dwPlatformId = old.dwPlatformId;
  }
  if (isWow64 != NULL) isWow64(GetCurrentProcess(), &run->wow64);
  run->nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  run->major = version.dwMajorVersion;
  /* The Windows 95 family keeps the major and minor version in the build number's high word. */
  if (!run->nt) version.dwBuildNumber &= 0xFFFF;
  /* Rights as the tool needs them: a scratch key and folder made and removed
   * again. On Windows Vista and later a process without elevation may see
   * such writes succeed (the system keeps them in a per-user store), so
   * there the shell's account of the user's rights counts as well. */
  int writable = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\KALCHECK.TMP", 0, NULL, 0, KEY_WRITE, NULL, &key,
                                 NULL) == ERROR_SUCCESS;
  if (writable) RegCloseKey(key), RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\KALCHECK.TMP");
  CreateDirectoryA(PROGRAM_FILES "\\KALCHECK.TMP", NULL);
  writable = RemoveDirectoryA(PROGRAM_FILES "\\KALCHECK.TMP") && writable;
  int admin = isAdmin != NULL ? isAdmin() : -1;
  ReportLine(run, afterRestart ? "KALCHECK /after-restart: the temporary copy of REMOVE.EXE after a restart"
                  : elevation ? "KALCHECK /elevation: whether Windows asks for administrator rights to start REMOVE.EXE"
                              : "KALCHECK: the install and uninstall of Kalmaris 2001 on this machine");
  ReportLine(run, "Windows %lu.%lu build %lu (%s), %d-bit Windows", version.dwMajorVersion, version.dwMinorVersion,
             version.dwBuildNumber, run->nt ? "NT family" : "Windows 95 family", run->wow64 ? 64 : 32);
  ReportLine(run, "Administrator rights: %s (HKEY_LOCAL_MACHINE and " PROGRAM_FILES " writable: %s, IsUserAnAdmin: %s)",
             writable && admin != 0 ? "yes" : "no", writable ? "yes" : "no",
             admin < 0 ? "not here"
             : admin   ? "yes"
                       : "no");
  ReportLine(run, "ANSI code page: %u", GetACP());
  if (run->toolSize >= 0)
    ReportLine(run, "REMOVE.EXE checked: %s, %d bytes", toolPath, run->toolSize);
  else
    ReportLine(run, "REMOVE.EXE checked: %s, %s", toolPath, PathExists(toolPath) ? "cannot be read" : "not there");
  return writable && admin != 0 ? 1 : 0;
}

/* The command line after its first word (the program), without quotes and
 * blanks around it; at most MAX_PATH characters. */
static void FirstArgument(char* out) {
  const char* line = GetCommandLineA();
  char *start = out, *end = out;
  int quoted = 0;
  while (*line && (quoted || (*line != ' ' && *line != '\t'))) quoted ^= *line++ == '"';
  while (*line == ' ' || *line == '\t') ++line;
  for (; *line && out - start < MAX_PATH; ++line) {
    if (*line != '"') *out++ = *line;
    if (*line != ' ' && *line != '\t' && *line != '"') end = out;
  }
  *end = 0;
}

/* The report file: beside the program, else (a CD, a folder without write
 * rights) in the temporary folder. After a restart the report goes on below
 * the cycle's lines, wherever the cycle wrote them. The console's first
 * line names it. */
static void OpenReport(Run* run, const char* name, int afterRestart) {
  Path path;
  char text[2 * MAX_PATH + 100];
  DWORD disposition = afterRestart ? OPEN_EXISTING : CREATE_ALWAYS;
  int inTemp = 0;
  wsprintfA(path, "%s\\%s", run->own, name);
  run->report = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, disposition, 0, NULL);
  DWORD error = GetLastError();
  if (run->report == INVALID_HANDLE_VALUE && run->temp[0]) {
    wsprintfA(path, "%s\\%s", run->temp, name);
    run->report = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, disposition, 0, NULL);
    inTemp = 1;
  }
  if (run->report == INVALID_HANDLE_VALUE && afterRestart) {
    wsprintfA(path, "%s\\%s", run->own, name);
    run->report = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
    inTemp = 0;
  }
  int length =
      run->report != INVALID_HANDLE_VALUE
          ? wsprintfA(text, inTemp ? "report: %s (the folder of KALCHECK.EXE cannot be written)\r\n" : "report: %s\r\n",
                      path)
          : wsprintfA(text, "report: none (%s cannot be written, error %lu): this console shows the only one\r\n", path,
                      error);
  WriteToConsole(run, text, length);
  SetFilePointer(run->report, 0, NULL, FILE_END);
}

void __stdcall KalcheckStart(void) {
  Run* run = &g_run;
  Path argument, tool;
  Line reason;
  GetModuleFileNameA(NULL, run->own, MAX_PATH);
  char* name = (char*)FileName(run->own);
  if (name > run->own) name[-1] = 0; /* the folder, without its backslash */
  FirstArgument(argument);
  int afterRestart = lstrcmpiA(argument, "/after-restart") == 0;
  int elevation = lstrcmpiA(argument, "/elevation") == 0;
  if (argument[0] && !afterRestart && !elevation) {
    lstrcpyA(run->kit, argument);
  } else {
    wsprintfA(run->kit, "%s\\kit", run->own);
    if (!PathExists(run->kit)) wsprintfA(run->kit, "%s\\KALMARIS", run->own);
  }
  GetEnvironmentVariableA("TEMP", run->temp, MAX_PATH);
  run->console = GetStdHandle(STD_OUTPUT_HANDLE);
  run->consoleOutputPage = (void*)LoadedFunction("KERNEL32.DLL", "GetConsoleOutputCP");
  OpenReport(run, elevation ? "ELEVATION.TXT" : "KALCHECK.TXT", afterRestart);
  run->snapshot = (void*)LoadedFunction("KERNEL32.DLL", "CreateToolhelp32Snapshot");
  run->first = (void*)LoadedFunction("KERNEL32.DLL", "Process32First");
  run->next = (void*)LoadedFunction("KERNEL32.DLL", "Process32Next");
  run->processTimes = (void*)LoadedFunction("KERNEL32.DLL", "GetProcessTimes");
  if (run->first == NULL || run->next == NULL) run->snapshot = NULL;
  wsprintfA(run->blankTemp, "%s\\" BLANK_FOLDER, run->temp);
  GetEnvironmentVariableA("WINDIR", run->wininit, MAX_PATH);
  lstrcatA(run->wininit, "\\WININIT.INI");
  ReadShellFoldersValue("Programs", run->programs);
  wsprintfA(run->group, "%s\\Kalmaris", run->programs);
  ReadShellFoldersValue("Startup", run->startup);
  wsprintfA(tool, "%s\\" TOOL_FILE, run->kit);
  run->toolSize = ReadWholeFile(tool, run->tool, sizeof run->tool - 1);
  int admin = ReportHead(run, tool, afterRestart, elevation);

  if (afterRestart) {
    CopyPath(run, 0, run->copy);
    if (run->nt) {
      ReportLine(run, kCopyStays, run->copy);
    } else {
      wsprintfA(reason, "after the restart: the temporary copy %s is gone", run->copy);
      ReportCheck(run, !PathExists(run->copy), reason, "still there");
    }
    ExitProcess(run->failed);
  }
  if (elevation) CheckElevation(run, admin);

  RefusalReason(run, admin, reason);
  if (!reason[0] && !AddOwnWininitLine(run))
    wsprintfA(reason, "%s cannot be written (error %lu)", run->wininit, GetLastError());
  if (reason[0]) {
    ReportLine(run, "refused: %s; nothing was changed", reason);
    ExitProcess(2);
  }
  int clean = DeleteLeftCopy(run, 0, reason) && DeleteLeftCopy(run, 1, reason);
  if (clean && !CreateDirectoryA(run->blankTemp, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
    wsprintfA(reason, "KALCHECK's own temporary folder %s cannot be made (error %lu)", run->blankTemp, GetLastError());
    clean = 0;
  }
  if (!clean) {
    RemoveOwnWininitLine(run);
    ReportLine(run, "refused: %s; nothing else was changed", reason);
    ExitProcess(2);
  }

  CoInitialize(NULL);
  for (int i = 0; i < STEPS && RunStep(run, &kCycle[i]); ++i) continue;
  StartStep(run);
  /* Last: asking the shell may write its folders into Shell Folders, where
   * the tool reads them. */
  CheckShellFolder(run, "Programs", CSIDL_PROGRAMS, run->programs);
  CheckShellFolder(run, "Startup", CSIDL_STARTUP, run->startup);
  RemoveOwnWininitLine(run);
  ReportLine(run, "Left on this machine (KALCHECK removes nothing the tool should have removed):");
  if (UninstallKeyExists(run)) ReportLine(run, "left    the uninstall entry of Kalmaris 2001");
  Path blankCopy, startupLink;
  ThingPath(run, STARTUP_SHORTCUT, startupLink);
  CopyPath(run, 1, blankCopy);
  CopyPath(run, 0, run->copy);
  const char* paths[] = {INSTALL_DIR, run->group, startupLink, blankCopy, run->copy};
  for (int i = 0; i < 5; ++i)
    if (PathExists(paths[i])) ReportLine(run, "left    %s", paths[i]);
  if (run->appended) ReportLine(run, "left    %s: the lines the uninstalls appended", run->wininit);
  if (run->appended && run->nt)
    ReportLine(run, kCopyStays, run->copy);
  else if (run->appended)
    ReportLine(run, "note    Windows deletes %s at its next start: restart, then run KALCHECK.EXE /after-restart",
               run->copy);
  ReportLine(run, "%s",
             run->failed ? "Result: a check FAILED (exit code 1)" : "Result: every check passed (exit code 0)");
  ExitProcess(run->failed);
}
