/* KALCHECK.EXE's parts: the run's state, the kinds of observation a step of
 * the cycle expects, and the functions that make and report them.
 *
 *   report.c   the report (console and file), texts and files read whole
 *   observe.c  the tool's processes and boxes, and one check per kind of
 *              observation: box, registry value, shortcut, file, folder,
 *              the temporary copy, WININIT.INI, exit codes
 *   cycle.c    the table of the cycle (its steps and what each must show),
 *              the refusals and the clean slate, the entry point */
#ifndef KALCHECK_H
#define KALCHECK_H

#define COBJMACROS
#include <stdarg.h>
#include <windows.h>
/* After windows.h, which they need. */
#include <shlobj.h>
#include <tlhelp32.h>

#define PROGRAM_FILES "C:\\Program Files"
#define INSTALL_DIR PROGRAM_FILES "\\Kalmaris"
#define UNINSTALL_KEY "Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kalmaris"
#define TOOL_FILE "REMOVE.EXE"
#define COPY_NAME "~REMOVE.TMP"
#define INSTALL_CAPTION "Instalace programu Kalmaris"
#define UNINSTALL_CAPTION "Odinstalace programu Kalmaris"
/* How long a box may take to come, and the tool's processes to end: a slow
 * virtual machine, or a scanner that holds the new copy for a cloud lookup. */
#define BOX_WAIT 120000
#define BOX_WAIT_TEXT "2 minutes"
/* How long a deletion may stay pending while another program (a virus
 * scanner, the indexer, a backup) still holds the file. */
#define SETTLE_WAIT 30000
#define FAMILY_MAX 64 /* the tool runs two processes at a time, the system may add a few */
#define HANDLED_MAX 32

/* A file path: MAX_PATH and a little, since a folder and a name are joined
 * without a check of their sum; the system refuses what is too long. */
typedef char Path[MAX_PATH + 64];
/* A line of the report, or a part of one: wsprintfA writes at most 1024
 * characters and the zero byte. */
typedef char Line[1025];

/* A message box as a person sees it: expected (a row of the cycle's table)
 * or found on the screen. A new attribute is a field here, read in
 * ObserveBox and written in DescribeBox. */
typedef enum { ICON_NONE, ICON_QUESTION, ICON_EXCLAMATION, ICON_STOP, ICON_INFORMATION, ICON_UNKNOWN } Icon;
#define BUTTON(id) (1UL << (id))
typedef struct {
  char caption[128];
  char text[400];
  DWORD buttons; /* BUTTON(id) of each visible button; bit 0 for one without an id */
  int defaultButton;
  Icon icon;
} Box;

/* What is there after a step: the product installed (with or without the
 * Startup shortcut) or removed. */
enum { INSTALLED = 1, INSTALLED_WITH_STARTUP = 2, REMOVED = 4 };
#define EVERY_INSTALL (INSTALLED | INSTALLED_WITH_STARTUP)

/* Where a thing of the product lies. */
typedef enum { IN_REGISTRY, IN_STARTUP, IN_GROUP, IN_PROGRAMS, IN_INSTALL_DIR, IN_PROGRAM_FILES } Place;
typedef enum { THING_KEY, THING_VALUE, THING_SHORTCUT, THING_FILE, THING_FOLDER } ThingKind;
/* A thing the tool makes or removes, and in which states it is there. */
typedef struct {
  ThingKind kind;
  const char* role;
  Place place;
  const char* name;
  const char* expected; /* a value's data; the kit's file a shortcut or a file is a copy of */
  const char* target;   /* the installed file a shortcut leads to */
  unsigned there;       /* the states it is there in */
} Thing;

/* A process of the tool, held from the moment it is seen, so that its exit
 * code can be read after it has ended. */
typedef struct {
  DWORD id;
  HANDLE handle;
  char name[MAX_PATH]; /* its program's file name; empty where the system does not tell */
} Held;

/* The run's state, one structure passed to the phases. */
typedef struct {
  HANDLE console, report;
  int failed;
  int nt, wow64;
  DWORD major;
  Path own;       /* KALCHECK.EXE's folder */
  Path kit;       /* the kit's folder */
  Path temp;      /* the temporary folder of the user, as TEMP names it */
  Path blankTemp; /* KALCHECK's own temporary folder, with a blank in its name */
  Path wininit, programs, group, startup;
  Path copy; /* the temporary copy of the step under way */
  /* The kit's REMOVE.EXE and any other file read: REMOVE.EXE is about 10 KB,
   * signed a few KB more; WININIT.INI and the shortcuts are smaller still. */
  char tool[1 << 20], data[1 << 20];
  int toolSize;
  /* WININIT.INI as it must be now: as found, with KALCHECK's own pending
   * line, and the lines each uninstall appended. */
  char wininitText[1 << 16];
  int wininitSize, wininitFound, wininitOwn; /* its size; what was there before; KALCHECK's line's length */
  int wininitExisted;
  /* The step under way: the process started, every process of the tool
   * seen, the boxes answered, the boxes reported missing. */
  DWORD rootId;
  const char* rootRole;
  Held held[FAMILY_MAX];
  int heldCount;
  HWND handled[HANDLED_MAX];
  int handledCount;
  const Box* missing[4];
  int missingAnswer[4];
  int missingCount;
  DWORD settleUntil; /* a pending deletion is waited for until then */
  int appended;      /* the tool appended its lines to WININIT.INI at least once */
  /* Functions newer than Windows 95, or not on every Windows: NULL where missing. */
  HANDLE(WINAPI* snapshot)(DWORD, DWORD);
  BOOL(WINAPI* first)(HANDLE, PROCESSENTRY32*);
  BOOL(WINAPI* next)(HANDLE, PROCESSENTRY32*);
  BOOL(WINAPI* processTimes)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*);
  UINT(WINAPI* consoleOutputPage)(void);
} Run;

/* report.c */
void WriteToConsole(Run* run, char* text, int length);
void ReportLine(Run* run, const char* format, ...);
void ReportCheck(Run* run, int passed, const char* what, const char* found);
int SameBytes(const char* a, const char* b, int length);
int SameText(const char* a, const char* b);
int PathExists(const char* path);
int ReadWholeFile(const char* path, char* buffer, DWORD capacity);
int WriteWholeFile(const char* path, const char* data, int length, DWORD disposition);
FARPROC LoadedFunction(const char* module, const char* name);
const char* FileName(const char* path);

/* observe.c */
void StartStep(Run* run);
int StartHeld(Run* run, const char* role, const char* commandLine, const char* folder, const char* environment,
              DWORD* error);
int StartTool(Run* run, const char* role, const char* commandLine, const char* folder, const char* environment);
void ExpectBox(Run* run, const char* role, const Box* expected, int answer);
void AwaitToolEnd(Run* run, const char* what);
void CheckExitCodes(Run* run, int processes);
void CheckThing(Run* run, const Thing* thing, const char* path, int there, int removal);
void CheckCopy(Run* run, int tools, const char* seed, int seedSize);
void CheckWininit(Run* run, int appended);
void CheckShellFolder(Run* run, const char* name, int folderId, const char* used);
int UninstallKeyExists(Run* run);
int QueryUninstallValue(Run* run, const char* name, DWORD* type, char* out, DWORD size);
void ReadShellFoldersValue(const char* name, char* out);
HWND FindToolBox(Run* run, char* caption, int size);
void PressButton(HWND box, int id);
void ReportUnexpectedBox(Run* run, HWND box);

#endif
