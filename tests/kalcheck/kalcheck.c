/* KALCHECK.EXE: the whole install and uninstall of Kalmaris 2001 run and
 * checked on the machine it is started on (a test program, never shipped).
 *
 *   KALCHECK.EXE [KIT]          KIT: the kit's five files (default: the folder
 *                               "kit" beside the program)
 *   KALCHECK.EXE /after-restart after a restart of Windows 95, 98 or Me: the
 *                               temporary copy of the tool is gone
 *   KALCHECK.EXE /elevation     from an ordinary, not elevated, prompt on
 *                               Windows Vista and later: Windows refuses to
 *                               start the kit's REMOVE.EXE without elevation
 *
 * 1. The report's head: the Windows version, 32- or 64-bit, administrator
 *    rights, the ANSI code page, the REMOVE.EXE checked.
 * 2. Refuses (exit code 2, nothing changed) when the product is installed,
 *    the kit lacks a file or its REMOVE.EXE cannot be read, C:\Program Files
 *    is missing, or HKEY_LOCAL_MACHINE and C:\Program Files cannot be written.
 * 3. Install: the kit copied into the installation directory (read-only
 *    attributes cleared, as an installer from a medium does), REMOVE.EXE
 *    /INSTALL started there, its two boxes read and answered, then the
 *    uninstall entry, the shell's own folders, the group and the three
 *    shortcuts checked.
 * 4. Uninstall: the registered command started in the installation directory,
 *    its two boxes read and answered, every process of it awaited, then
 *    everything checked gone and the temporary copy and its WININIT.INI lines
 *    in place.
 * 5. What is left on the machine; exit code 0 when every check passed, else 1.
 *
 * Each check is one line, on the console and in the report beside the
 * program (KALCHECK.TXT; ELEVATION.TXT for /elevation). Boxes are found as a
 * person sees them: visible top-level dialogs of the tool's processes, by
 * caption; a box is its caption, text (bytes), buttons, default button and
 * icon. Every wait is bounded. It links no C runtime and imports only what
 * Windows 95 has; newer functions are looked up when it runs. */
#define COBJMACROS
#include <stdarg.h>
#include <windows.h>
/* After windows.h, which they need. */
#include <shlobj.h>
#include <tlhelp32.h>

#define PROGRAM_FILES "C:\\Program Files"
#define INSTALL_DIR PROGRAM_FILES "\\Kalmaris"
#define UNINSTALL_KEY "Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kalmaris"
#define BOX_WAIT 30000 /* ms for a box to come, and for the tool's processes to end */
#define FAMILY_MAX 64  /* the tool runs two processes at a time, the system may add a few */
#define PRODUCT_LINK "Kalmaris.lnk"
#define MANUAL_LINK "Něco jako manuál.lnk"
#define PRODUCT_FILE "KM.EXE"
#define MANUAL_FILE "KM.RTF"
#define TOOL_FILE "REMOVE.EXE"

/* The kit: the installation directory's five files, in the order the tool deletes them. */
static const char* const kKitFiles[] = {PRODUCT_LINK, MANUAL_LINK, PRODUCT_FILE, MANUAL_FILE, TOOL_FILE};
#define KIT_FILES ((int)(sizeof kKitFiles / sizeof kKitFiles[0]))
/* The shell's link object and its two interfaces used here (stated here: the
 * import library of them all would bring some 40 KB of identifiers). */
static const GUID kShellLink = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID kShellLinkA = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID kPersistFile = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const char kInstallCaption[] = "Instalace programu Kalmaris";
static const char kUninstallCaption[] = "Odinstalace programu Kalmaris";
static const char kCopyStays[] =
    "note    Windows NT and later never read WININIT.INI: %s stays; delete it by hand (README)";

/* A file path: MAX_PATH and a little, since a folder and a name are joined
 * without a check of their sum; the system refuses what is too long. */
typedef char Path[MAX_PATH + 64];
/* A line of the report, or a part of one: wsprintfA writes at most 1024
 * characters and the zero byte. */
typedef char Text[1025];

static HANDLE g_console, g_report;
static int g_failed;
static int g_wow64;        /* a 32-bit process on 64-bit Windows */
static int g_nt;           /* Windows NT and later, not the Windows 95 family */
static DWORD g_major;      /* the Windows version's major number */
static int g_appended;     /* the uninstall's lines are in WININIT.INI */
static int g_afterRestart; /* started with /after-restart */
static int g_elevation;    /* started with /elevation */
/* g_group: the program group; g_startup: the Startup folder (both as the tool
 * reads them, from Shell Folders). */
static Path g_kit, g_temp, g_copy, g_wininit, g_programs, g_group, g_startup;
/* The kit's REMOVE.EXE and any other file read: REMOVE.EXE is about 10 KB,
 * signed a few KB more, and WININIT.INI and the shortcuts are smaller still. */
static char g_tool[1 << 20], g_data[1 << 20];
static int g_toolSize = -1;
static HANDLE g_root; /* the process started last */
static DWORD g_rootId;

/* The tool's three shortcuts: the group's two, then the Startup one. */
typedef struct {
  const char* role;
  const char* folder; /* g_group or g_startup */
  const char* name;
  const char* kitFile; /* the kit's file it is a copy of */
  const char* target;  /* the installed file it leads to */
  Path path;
} Shortcut;
static Shortcut g_shortcuts[] = {
    {"group shortcut", g_group, " " PRODUCT_LINK, PRODUCT_LINK, PRODUCT_FILE, ""},
    {"group shortcut", g_group, MANUAL_LINK, MANUAL_LINK, MANUAL_FILE, ""},
    {"Startup shortcut", g_startup, PRODUCT_LINK, PRODUCT_LINK, PRODUCT_FILE, ""},
};
#define SHORTCUTS ((int)(sizeof g_shortcuts / sizeof g_shortcuts[0]))
#define STARTUP_SHORTCUT (&g_shortcuts[2])

/* Functions newer than Windows 95, or not on every Windows: NULL where missing. */
static HANDLE(WINAPI* g_snapshot)(DWORD, DWORD);
static BOOL(WINAPI* g_first)(HANDLE, PROCESSENTRY32*);
static BOOL(WINAPI* g_next)(HANDLE, PROCESSENTRY32*);
static BOOL(WINAPI* g_processTimes)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*);
static UINT(WINAPI* g_consoleOutputPage)(void);

/* A function of a module that is loaded already (NTDLL is not there on Windows 95). */
static FARPROC LoadedFunction(const char* module, const char* name) {
  HMODULE found = GetModuleHandleA(module);
  return found != NULL ? GetProcAddress(found, name) : NULL;
}

/* Text in the ANSI code page onto the console, in the console's own output
 * code page where it has one (Windows 95 has only the OEM one). */
static void WriteToConsole(char* text, int length) {
  DWORD written;
  UINT page = g_consoleOutputPage != NULL ? g_consoleOutputPage() : 0;
  if (GetFileType(g_console) == FILE_TYPE_CHAR && page != GetACP()) {
    WCHAR wide[1030];
    char converted[4 * 1030];
    int count = page != 0 ? MultiByteToWideChar(CP_ACP, 0, text, length, wide, 1030) : 0;
    int size = count > 0 ? WideCharToMultiByte(page, 0, wide, count, converted, sizeof converted, NULL, NULL) : 0;
    if (size > 0) {
      WriteFile(g_console, converted, (DWORD)size, &written, NULL);
      return;
    }
    CharToOemBuffA(text, text, (DWORD)length);
  }
  WriteFile(g_console, text, (DWORD)length, &written, NULL);
}

/* One line (at most 1024 characters, wvsprintfA's limit) on the console and in the report. */
static void ReportLine(const char* format, ...) {
  char text[1030];
  DWORD written;
  va_list arguments;
  va_start(arguments, format);
  int length = wvsprintfA(text, format, arguments);
  va_end(arguments);
  for (int i = 0; i < length; ++i)
    if (text[i] == '\r' || text[i] == '\n') text[i] = ' '; /* a text found may hold line breaks */
  text[length++] = '\r';
  text[length++] = '\n';
  if (g_report != INVALID_HANDLE_VALUE) WriteFile(g_report, text, (DWORD)length, &written, NULL);
  WriteToConsole(text, length);
}

static void ReportCheck(int passed, const char* what, const char* found) {
  if (!passed) g_failed = 1;
  ReportLine("%s  %s%s%s", passed ? "passed" : "FAILED", what, passed ? "" : "; found: ", passed ? "" : found);
}

static int PathExists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

/* The whole file into buffer (room for capacity bytes and a zero byte); its
 * length, or -1 when it cannot be read or is larger. */
static int ReadWholeFile(const char* path, char* buffer, DWORD capacity) {
  DWORD length = 0;
  /* Others may hold the file open meanwhile (a virus scanner the fresh copy). */
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return -1;
  DWORD size = GetFileSize(file, NULL);
  int ok = size < capacity && ReadFile(file, buffer, size, &length, NULL) && length == size;
  CloseHandle(file);
  return ok ? (int)length : -1;
}

static int SameBytes(const char* a, const char* b, int length) {
  while (length-- > 0)
    if (*a++ != *b++) return 0;
  return 1;
}

/* Two zero-terminated texts byte for byte (lstrcmpA compares by sort weights,
 * which some bytes, the soft hyphen among them, do not have). */
static int SameText(const char* a, const char* b) {
  int length = lstrlenA(a);
  return length == lstrlenA(b) && SameBytes(a, b, length);
}

/* ---- registry */

/* The uninstall key as the list of installed programs reads it: where the
 * 32-bit tool's entry is on this system (Wow6432Node of the 64-bit view on
 * 64-bit Windows). The caller closes it. */
static HKEY OpenUninstallKey(void) {
  HKEY key;
  LONG status = g_wow64 ? RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\" UNINSTALL_KEY, 0,
                                        KEY_READ | KEY_WOW64_64KEY, &key)
                        : RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\" UNINSTALL_KEY, 0, KEY_READ, &key);
  return status == ERROR_SUCCESS ? key : NULL;
}

static int UninstallKeyExists(void) {
  HKEY key = OpenUninstallKey();
  if (key != NULL) RegCloseKey(key);
  return key != NULL;
}

/* A value of an open key into out (size bytes, a zero byte added); the count
 * of its bytes, or -1 when it cannot be read. */
static int QueryValue(HKEY key, const char* name, DWORD* type, char* out, DWORD size) {
  DWORD length = size - 1;
  LONG status = RegQueryValueExA(key, name, NULL, type, (BYTE*)out, &length);
  out[status == ERROR_SUCCESS ? length : 0] = 0;
  return status == ERROR_SUCCESS ? (int)length : -1;
}

/* A value of the uninstall entry; -1 when the entry or the value is not there. */
static int QueryUninstallValue(const char* name, DWORD* type, char* out, DWORD size) {
  HKEY key = OpenUninstallKey();
  out[0] = 0;
  if (key == NULL) return -1;
  int length = QueryValue(key, name, type, out, size);
  RegCloseKey(key);
  return length;
}

static void CheckValue(const char* name, const char* expected) {
  char data[300];
  Text what, found;
  DWORD type = 0;
  int length = QueryUninstallValue(name, &type, data, sizeof data);
  int size = lstrlenA(expected) + 1;
  wsprintfA(what, "uninstall entry: %s = %s (REG_SZ, %d bytes)", name, expected, size);
  if (length < 0)
    lstrcpyA(found, "not there");
  else
    wsprintfA(found, "%s (type %lu, %d bytes)", data, type, length);
  ReportCheck(length == size && type == REG_SZ && SameBytes(data, expected, size), what, found);
}

/* A per-user Shell Folders value, where the tool reads its folders (value names are case-insensitive). */
static void ReadShellFoldersValue(const char* name, char* out) {
  HKEY key;
  DWORD type;
  out[0] = 0;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", 0,
                    KEY_READ, &key) != ERROR_SUCCESS)
    return;
  QueryValue(key, name, &type, out, MAX_PATH);
  RegCloseKey(key);
}

/* ---- processes and boxes */

static int ListHoldsId(const DWORD* list, int count, DWORD id) {
  while (count-- > 0)
    if (list[count] == id) return 1;
  return 0;
}

/* When the process was created, where the system tells (Windows NT); 0 where it does not. */
static int CreationTime(HANDLE process, DWORD id, FILETIME* created) {
  FILETIME ended, kernel, user;
  HANDLE opened = NULL;
  if (g_processTimes == NULL) return 0;
  if (process == NULL) {
    opened = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
    /* Windows Vista and later: the right that every process of the user grants. */
    if (opened == NULL) opened = OpenProcess(0x1000 /* PROCESS_QUERY_LIMITED_INFORMATION */, FALSE, id);
    if (opened == NULL) return 0;
  }
  int told = g_processTimes(opened != NULL ? opened : process, created, &ended, &kernel, &user) != 0;
  if (opened != NULL) CloseHandle(opened);
  return told;
}

/* The tool's processes as far as the system can tell: the process started
 * last and, with Toolhelp (not on NT 4.0), every running process it started,
 * and theirs in turn. A process counts as a parent's child by its parent's id
 * and, where the system tells when processes were created, only when it was
 * created after that parent: Windows reuses the ids of ended processes.
 * Returns how many (the first is always there). */
static int CollectToolProcesses(DWORD* ids) {
  PROCESSENTRY32 entry;
  FILETIME created[FAMILY_MAX];
  int known[FAMILY_MAX];
  int count = 1, grown = 1;
  ids[0] = g_rootId;
  known[0] = CreationTime(g_root, g_rootId, &created[0]);
  HANDLE all = g_snapshot != NULL ? g_snapshot(TH32CS_SNAPPROCESS, 0) : INVALID_HANDLE_VALUE;
  if (all == INVALID_HANDLE_VALUE) return 1;
  while (grown) {
    grown = 0;
    entry.dwSize = sizeof entry;
    for (BOOL more = g_first(all, &entry); more && count < FAMILY_MAX; more = g_next(all, &entry)) {
      if (ListHoldsId(ids, count, entry.th32ProcessID)) continue;
      for (int parent = 0; parent < count; ++parent) {
        if (ids[parent] != entry.th32ParentProcessID) continue;
        known[count] = CreationTime(NULL, entry.th32ProcessID, &created[count]);
        if (known[parent] && known[count] && CompareFileTime(&created[count], &created[parent]) < 0) continue;
        ids[count++] = entry.th32ProcessID;
        grown = 1;
        break;
      }
    }
  }
  CloseHandle(all);
  return count;
}

/* Without Toolhelp every other process counts (see FindToolBox). */
static int IsToolProcess(DWORD id) {
  DWORD ids[FAMILY_MAX];
  return g_snapshot != NULL ? ListHoldsId(ids, CollectToolProcesses(ids), id) : id != GetCurrentProcessId();
}

static int ToolRunning(void) {
  DWORD ids[FAMILY_MAX];
  return (g_root != NULL && WaitForSingleObject(g_root, 0) == WAIT_TIMEOUT) || CollectToolProcesses(ids) > 1;
}

/* A window's text, read so that a hung window cannot hold the check. */
static void WindowText(HWND window, char* out, int size) {
  DWORD_PTR result;
  out[0] = 0;
  if (window != NULL)
    SendMessageTimeoutA(window, WM_GETTEXT, (WPARAM)size, (LPARAM)out, SMTO_ABORTIFHUNG, 2000, &result);
  out[size - 1] = 0;
}

static int ShowsButton(HWND box, int id) {
  HWND button = GetDlgItem(box, id);
  return button != NULL && IsWindowVisible(button);
}

/* Finds a box of the tool. Where the system cannot tell the tool's processes
 * (no Toolhelp), only a box with one of the tool's captions counts, so that
 * no other program's dialog is answered. */
static BOOL CALLBACK FindToolBox(HWND window, LPARAM found) {
  char name[40];
  DWORD id = 0;
  if (!IsWindowVisible(window) || GetClassNameA(window, name, sizeof name) == 0 || !SameText(name, "#32770"))
    return TRUE;
  GetWindowThreadProcessId(window, &id);
  WindowText(window, name, sizeof name);
  if (!IsToolProcess(id) ||
      (g_snapshot == NULL && !SameText(name, kInstallCaption) && !SameText(name, kUninstallCaption)))
    return TRUE;
  *(HWND*)found = window;
  return FALSE;
}

/* Presses the button and waits (at most 10 s) until the box has gone. */
static void PressButton(HWND box, int id) {
  for (int second = 0; second < 10 && IsWindow(box) && IsWindowVisible(box); ++second) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
    for (int tick = 0; tick < 10 && IsWindow(box) && IsWindowVisible(box); ++tick) Sleep(100);
  }
}

/* The name of a box's button by its id, which is the value MessageBoxA returns. */
static const char* ButtonName(int id) {
  static const char* const kNames[] = {"",    "OK", "Cancel", "Abort", "Retry",     "Ignore",
                                       "Yes", "No", "",       "Help",  "Try Again", "Continue"};
  return id > 0 && id < (int)(sizeof kNames / sizeof kNames[0]) && kNames[id][0] ? kNames[id] : NULL;
}

/* The visible buttons of a box, by id (bit n for the button n, up to 31),
 * and the default one: the button drawn as the default push button, which
 * Enter presses. */
typedef struct {
  DWORD ids;
  int defaultId;
} Buttons;
static BOOL CALLBACK CollectButton(HWND child, LPARAM found) {
  Buttons* buttons = (Buttons*)found;
  char name[20];
  int id = GetDlgCtrlID(child);
  if (!IsWindowVisible(child) || GetClassNameA(child, name, sizeof name) == 0 || lstrcmpiA(name, "Button") != 0)
    return TRUE;
  buttons->ids |= id > 0 && id < 32 ? 1UL << id : 1UL;
  if ((GetWindowLongA(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON && buttons->defaultId == 0)
    buttons->defaultId = id;
  return TRUE;
}

/* The box's icon control: a visible static control showing an icon. */
static BOOL CALLBACK FindIconControl(HWND child, LPARAM found) {
  char name[20];
  if (IsWindowVisible(child) && GetClassNameA(child, name, sizeof name) != 0 && lstrcmpiA(name, "Static") == 0 &&
      (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    *(HWND*)found = child;
    return FALSE;
  }
  return TRUE;
}

/* Whether the icon control shows this icon, pixel for pixel on the screen:
 * the icon drawn by this process the same size onto the control's
 * background (where, as under Wine, the system's icons are not one handle
 * in every process). */
static int ShowsIconPixels(HWND control, HICON icon) {
  RECT area;
  POINT origin = {0, 0};
  GetClientRect(control, &area);
  ClientToScreen(control, &origin);
  int width = area.right, height = area.bottom, same = width > 0 && height > 0 && width <= 256 && height <= 256;
  if (!same) return 0;
  HDC screen = GetDC(NULL);
  HDC shown = CreateCompatibleDC(screen), drawn = CreateCompatibleDC(screen);
  HBITMAP shownBits = CreateCompatibleBitmap(screen, width, height);
  HBITMAP drawnBits = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ oldShown = SelectObject(shown, shownBits), oldDrawn = SelectObject(drawn, drawnBits);
  BitBlt(shown, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
  HBRUSH background = CreateSolidBrush(GetPixel(shown, 0, 0));
  FillRect(drawn, &area, background);
  DeleteObject(background);
  DrawIconEx(drawn, 0, 0, icon, width, height, 0, NULL, DI_NORMAL);
  for (int y = 0; y < height && same; ++y)
    for (int x = 0; x < width && same; ++x) same = GetPixel(shown, x, y) == GetPixel(drawn, x, y);
  SelectObject(shown, oldShown), SelectObject(drawn, oldDrawn);
  DeleteObject(shownBits), DeleteObject(drawnBits);
  DeleteDC(shown), DeleteDC(drawn);
  ReleaseDC(NULL, screen);
  return same;
}

/* The icon a box shows: none, or which of the system's four. */
static const char* BoxIcon(HWND box) {
  static const struct {
    const char* id;
    const char* name;
  } kIcons[] = {{IDI_QUESTION, "question icon"},
                {IDI_EXCLAMATION, "exclamation icon"},
                {IDI_HAND, "stop icon"},
                {IDI_ASTERISK, "information icon"}};
  HWND control = NULL;
  DWORD_PTR shown = 0;
  EnumChildWindows(box, FindIconControl, (LPARAM)&control);
  if (control != NULL) SendMessageTimeoutA(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &shown);
  if (shown == 0) return "no icon";
  for (int i = 0; i < 4; ++i)
    if ((DWORD_PTR)LoadIconA(NULL, kIcons[i].id) == shown) return kIcons[i].name;
  /* A box just shown may not be drawn yet: a second at most. */
  for (int attempt = 0; attempt < 10; ++attempt, Sleep(100))
    for (int i = 0; i < 4; ++i)
      if (ShowsIconPixels(control, LoadIconA(NULL, kIcons[i].id))) return kIcons[i].name;
  return "an icon KALCHECK cannot name";
}

/* The box as the report shows it: its text (bytes as they are), its buttons
 * in the order of their ids, the default button and the icon. */
static void DescribeBox(HWND box, char* out) {
  char text[400];
  Buttons buttons = {0, 0};
  WindowText(GetDlgItem(box, 0xFFFF), text, sizeof text);
  EnumChildWindows(box, CollectButton, (LPARAM)&buttons);
  out += wsprintfA(out, "\"%s\", buttons", text);
  for (int id = 0; id < 32; ++id)
    if (buttons.ids & (1UL << id))
      out += ButtonName(id) ? wsprintfA(out, " %s", ButtonName(id))
             : id           ? wsprintfA(out, " #%d", id)
                            : wsprintfA(out, " (another button)");
  int id = buttons.defaultId;
  if (id == 0)
    out += wsprintfA(out, ", no default");
  else
    out += ButtonName(id) ? wsprintfA(out, ", default %s", ButtonName(id)) : wsprintfA(out, ", default #%d", id);
  wsprintfA(out, ", %s", BoxIcon(box));
}

/* A box that was not expected: a failed check, answered No, else OK, so
 * that nothing is left waiting. */
static void ReportUnexpectedBox(HWND box) {
  char caption[200];
  Text found;
  WindowText(box, caption, sizeof caption);
  DescribeBox(box, found);
  ReportLine("FAILED  a box not expected: \"%s\" %s", caption, found);
  g_failed = 1;
  PressButton(box, ShowsButton(box, IDNO) ? IDNO : IDOK);
}

/* Waits for the tool's box with this caption and the look described (text,
 * buttons, default button, icon; at most 30 s) and presses answer; other
 * boxes of the tool meanwhile are not expected. */
static void CheckBox(const char* role, const char* caption, const char* look, int answer) {
  Text what, found;
  DWORD start = GetTickCount();
  wsprintfA(what, "box \"%s\" (%s): %s", caption, role, look);
  while (GetTickCount() - start < BOX_WAIT) {
    HWND box = NULL;
    char seen[200];
    EnumWindows(FindToolBox, (LPARAM)&box);
    WindowText(box, seen, sizeof seen);
    if (box != NULL && SameText(seen, caption)) {
      DescribeBox(box, found);
      ReportCheck(SameText(found, look), what, found);
      PressButton(box, ShowsButton(box, answer) ? answer : ShowsButton(box, IDNO) ? IDNO : IDOK);
      return;
    }
    if (box != NULL) {
      ReportUnexpectedBox(box);
    } else if (g_snapshot != NULL && !ToolRunning()) {
      /* Where the system tells the tool's processes, none is left to show it. */
      ReportCheck(0, what, "none; every process of the tool had ended");
      return;
    }
    Sleep(100);
  }
  ReportCheck(0, what, "no such box within 30 s");
}

/* Waits (at most 30 s) until every process of the tool has ended; boxes
 * that come meanwhile are not expected. */
static void AwaitToolEnd(const char* what) {
  DWORD start = GetTickCount();
  while (ToolRunning() && GetTickCount() - start < BOX_WAIT) {
    HWND box = NULL;
    EnumWindows(FindToolBox, (LPARAM)&box);
    if (box != NULL) ReportUnexpectedBox(box);
    Sleep(100);
  }
  if (ToolRunning()) ReportCheck(0, what, "still running after 30 s");
}

/* Starts a command line in a folder, as the system does; 0 with the error
 * in *error when the system refuses. */
static int StartProcess(const char* commandLine, const char* folder, DWORD* error) {
  char line[400];
  STARTUPINFOA startup = {.cb = sizeof startup};
  PROCESS_INFORMATION process;
  lstrcpynA(line, commandLine, sizeof line);
  if (g_root != NULL) CloseHandle(g_root);
  g_root = NULL;
  g_rootId = 0;
  if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, folder, &startup, &process)) {
    *error = GetLastError();
    return 0;
  }
  CloseHandle(process.hThread);
  g_root = process.hProcess;
  g_rootId = process.dwProcessId;
  return 1;
}

/* StartProcess with its check line. */
static int CheckStarted(const char* commandLine, const char* folder) {
  Text what, found;
  DWORD error = 0;
  wsprintfA(what, "started %s in %s", commandLine, folder);
  int started = StartProcess(commandLine, folder, &error);
  wsprintfA(found, error == 740 ? "error 740: needs administrator rights" : "error %lu", error);
  ReportCheck(started, what, found);
  return started;
}

/* ---- the checks */

/* The shortcut holds the kit's file's bytes and leads, through the shell's
 * own link object, to the installed file, started in the installation directory. */
static void CheckShortcut(const Shortcut* shortcut) {
  Path target, directory, expected;
  Text what, found;
  WCHAR wide[MAX_PATH];
  WIN32_FIND_DATAA targetData;
  IShellLinkA* link = NULL;
  IPersistFile* persist = NULL;
  HRESULT result = E_FAIL;
  wsprintfA(expected, INSTALL_DIR "\\%s", shortcut->target);
  wsprintfA(what, "shortcut %s: the kit's %s, leads to %s in " INSTALL_DIR, shortcut->path, shortcut->kitFile,
            expected);
  wsprintfA(directory, "%s\\%s", g_kit, shortcut->kitFile);
  int length = ReadWholeFile(directory, g_data, sizeof g_data / 2);
  int same = length >= 0 && ReadWholeFile(shortcut->path, g_data + length, sizeof g_data / 2) == length &&
             SameBytes(g_data, g_data + length, length);
  target[0] = directory[0] = 0;
  if (MultiByteToWideChar(CP_ACP, 0, shortcut->path, -1, wide, MAX_PATH) != 0)
    result = CoCreateInstance(&kShellLink, NULL, CLSCTX_INPROC_SERVER, &kShellLinkA, (void**)&link);
  if (SUCCEEDED(result)) result = IShellLinkA_QueryInterface(link, &kPersistFile, (void**)&persist);
  if (SUCCEEDED(result)) result = IPersistFile_Load(persist, wide, STGM_READ);
  /* Windows 95's shell fills the target's find data, given or not. */
  if (SUCCEEDED(result)) result = IShellLinkA_GetPath(link, target, MAX_PATH, &targetData, 0);
  if (SUCCEEDED(result)) result = IShellLinkA_GetWorkingDirectory(link, directory, MAX_PATH);
  if (persist != NULL) IPersistFile_Release(persist);
  if (link != NULL) IShellLinkA_Release(link);
  DWORD error = GetFileAttributesA(shortcut->path) != INVALID_FILE_ATTRIBUTES ? 0 : GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
    lstrcpyA(found, "not there");
  else if (error != 0)
    wsprintfA(found, "cannot be read (error %lu)", error);
  else if (FAILED(result))
    wsprintfA(found, "%s, the shell cannot read it (0x%lx)", same ? "the kit's bytes" : "other bytes", result);
  else
    wsprintfA(found, "%s, leading to %s in %s", same ? "the kit's bytes" : "other bytes", target, directory);
  ReportCheck(same && SUCCEEDED(result) && lstrcmpiA(target, expected) == 0 && lstrcmpiA(directory, INSTALL_DIR) == 0,
              what, found);
}

/* The folder the tool read from Shell Folders is the one the shell itself
 * shows (a redirected Start menu or a stale value would part them, and the
 * user would not see the group). */
static void CheckShellFolder(const char* name, int folderId, const char* used) {
  Path shown = "";
  Text what, found;
  LPITEMIDLIST list = NULL;
  IMalloc* allocator;
  if (SUCCEEDED(SHGetSpecialFolderLocation(NULL, folderId, &list)) && list != NULL) {
    if (!SHGetPathFromIDListA(list, shown)) shown[0] = 0;
    if (SUCCEEDED(SHGetMalloc(&allocator))) IMalloc_Free(allocator, list), IMalloc_Release(allocator);
  }
  wsprintfA(what, "the tool's %s folder (Shell Folders) %s is the one the shell shows", name, used);
  wsprintfA(found, shown[0] ? "the shell shows %s" : "the shell shows no %s folder", shown[0] ? shown : name);
  ReportCheck(used[0] && lstrcmpiA(used, shown) == 0, what, found);
}

/* Gone means the system says "file not found" or "path not found"; any other
 * failure to read the attributes (access denied, pending deletion, a network
 * error) leaves the thing unchecked. */
static void CheckGone(const char* what, const char* path) {
  Text line, found;
  DWORD error = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? 0 : GetLastError();
  wsprintfA(line, "removed: %s %s", what, path);
  wsprintfA(found, error == 0 ? "still there" : "cannot be checked (error %lu)", error);
  ReportCheck(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND, line, found);
}

static int RunInstallChecks(void) {
  Path from, to;
  Text found = "cannot make the folder";
  int copied = CreateDirectoryA(INSTALL_DIR, NULL), readOnly = 0;
  for (int i = 0; i < KIT_FILES && copied; ++i) {
    wsprintfA(from, "%s\\%s", g_kit, kKitFiles[i]);
    wsprintfA(to, INSTALL_DIR "\\%s", kKitFiles[i]);
    copied = CopyFileA(from, to, TRUE);
    wsprintfA(found, "error %lu at %s", GetLastError(), kKitFiles[i]);
    /* CopyFileA keeps the read-only attribute of a kit copied from a CD; an
     * installer from a medium clears it. */
    DWORD attributes = GetFileAttributesA(to);
    if (copied && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
      readOnly += SetFileAttributesA(to, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY) != 0;
  }
  ReportCheck(copied, "the kit's five files copied into " INSTALL_DIR, copied ? NULL : found);
  if (readOnly)
    ReportLine(
        "note    %d of the kit's files were read-only (as copied from a CD): KALCHECK cleared the attribute of "
        "their copies, as an installer from a medium does",
        readOnly);
  if (!copied || !CheckStarted("\"" INSTALL_DIR "\\" TOOL_FILE "\" /INSTALL", INSTALL_DIR)) return 0;
  CheckBox("install, Startup question", kInstallCaption,
           "\"Chcete vytvořit zástupce programu Kalmaris ve složce \"Po spuštění\"?\", buttons Yes No, default Yes, "
           "no icon",
           IDYES);
  CheckBox("install, the end", kInstallCaption, "\"Instalace úspěšně dokončena.\", buttons OK, default OK, no icon",
           IDOK);
  AwaitToolEnd("REMOVE.EXE /INSTALL ended");
  CheckValue("DisplayName", "Kalmaris 2001");
  CheckValue("UninstallString", "\"" INSTALL_DIR "\\" TOOL_FILE "\"");
  for (int i = 0; i < SHORTCUTS; ++i) CheckShortcut(&g_shortcuts[i]);
  return 1;
}

static void RunUninstallChecks(void) {
  char command[300];
  Text found = "", lines, what;
  Path path;
  DWORD type;
  int length = QueryUninstallValue("UninstallString", &type, command, sizeof command);
  if (length <= 0) return; /* the install's checks have said so */
  int before = ReadWholeFile(g_wininit, g_data, sizeof g_data);
  /* The tool starts a new line when the file's last one has no line break. */
  wsprintfA(lines, "%s[rename]\r\nnul=%s\r\n", before > 0 && g_data[before - 1] != '\n' ? "\r\n" : "", g_copy);
  if (before < 0) before = 0;
  /* As a double click on REMOVE.EXE in Explorer does: in the installation
   * directory, which the uninstall removes. */
  if (!CheckStarted(command, INSTALL_DIR)) return;
  CheckBox("uninstall, confirmation", kUninstallCaption,
           "\"Opravdu chcete odstranit program Kalmaris 2001?\", buttons Yes No, default Yes, question icon", IDYES);
  CheckBox("uninstall, the end", kUninstallCaption,
           "\"Odinstalace úspěšně dokončena.\", buttons OK, default OK, no icon", IDOK);
  AwaitToolEnd("every process of the uninstall ended");
  ReportCheck(!UninstallKeyExists(), "removed: the uninstall entry (HKEY_LOCAL_MACHINE, list of installed programs)",
              "still there");
  /* In the tool's order: the Startup shortcut, then the group's two. */
  for (int i = 0; i < SHORTCUTS; ++i) {
    const Shortcut* shortcut = &g_shortcuts[(i + SHORTCUTS - 1) % SHORTCUTS];
    CheckGone(shortcut->role, shortcut->path);
  }
  CheckGone("group", g_group);
  for (int i = 0; i < KIT_FILES; ++i) {
    wsprintfA(path, INSTALL_DIR "\\%s", kKitFiles[i]);
    CheckGone("file", path);
  }
  CheckGone("folder", INSTALL_DIR);

  length = ReadWholeFile(g_copy, g_data, sizeof g_data);
  wsprintfA(what, "temporary copy %s: the bytes of the REMOVE.EXE checked", g_copy);
  ReportCheck(length >= 0 && length == g_toolSize && SameBytes(g_data, g_tool, length), what,
              length >= 0          ? "other bytes"
              : PathExists(g_copy) ? "cannot be read"
                                   : "not there");

  length = ReadWholeFile(g_wininit, g_data, sizeof g_data);
  int size = lstrlenA(lines);
  wsprintfA(what, "%s: [rename] and nul=%s appended", g_wininit, g_copy);
  if (length >= before) {
    g_data[length] = 0;
    lstrcpynA(found, g_data + before, sizeof found);
  }
  g_appended = length == before + size && SameBytes(g_data + before, lines, size);
  ReportCheck(g_appended, what, length < before ? "shorter than before" : found);
}

/* /elevation: the kit's REMOVE.EXE started without a switch, as the list of
 * installed programs starts the uninstall, by a process without elevation.
 * Windows Vista and later recognise the installer and refuse with error 740
 * (their prompt for rights then comes from the list); a tool started instead
 * gets its confirmation answered No. Exit code 0, 1, or 2 before Vista. */
static void CheckElevation(int admin) {
  Path command;
  DWORD error = 0;
  if (!g_nt || g_major < 6) {
    ReportLine("nothing to check: Windows before Vista asks no program for administrator rights");
    ExitProcess(2);
  }
  if (admin)
    ReportLine(
        "note    KALCHECK.EXE has administrator rights itself, and Windows asks nothing of what it starts: "
        "run /elevation from an ordinary command prompt");
  wsprintfA(command, "\"%s\\" TOOL_FILE "\"", g_kit);
  if (!StartProcess(command, g_kit, &error)) {
    if (error == 740) {
      ReportLine("Windows will ask for administrator rights: passed");
      ExitProcess(0);
    }
    ReportLine("FAILED  %s could not be started: error %lu", command, error);
    ExitProcess(1);
  }
  DWORD start = GetTickCount();
  while (ToolRunning() && GetTickCount() - start < BOX_WAIT) {
    HWND box = NULL;
    char caption[200];
    EnumWindows(FindToolBox, (LPARAM)&box);
    WindowText(box, caption, sizeof caption);
    if (box != NULL && SameText(caption, kUninstallCaption))
      PressButton(box, IDNO);
    else if (box != NULL)
      ReportUnexpectedBox(box);
    Sleep(100);
  }
  ReportLine(
      "FAILED  Windows starts REMOVE.EXE without asking for administrator rights: installer detection is off "
      "(README: Administrator rights)");
  ExitProcess(1);
}

/* The head of the report: the system, the rights, the code page, the tool;
 * whether the rights allow the install. */
static int ReportHead(const char* toolPath) {
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
  if (isWow64 != NULL) isWow64(GetCurrentProcess(), &g_wow64);
  g_nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  g_major = version.dwMajorVersion;
  /* The Windows 95 family keeps the major and minor version in the build number's high word. */
  if (!g_nt) version.dwBuildNumber &= 0xFFFF;
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
  ReportLine(g_afterRestart ? "KALCHECK /after-restart: the temporary copy of REMOVE.EXE after a restart"
             : g_elevation  ? "KALCHECK /elevation: whether Windows asks for administrator rights to start REMOVE.EXE"
                            : "KALCHECK: the install and uninstall of Kalmaris 2001 on this machine");
  ReportLine("Windows %lu.%lu build %lu (%s), %d-bit Windows", version.dwMajorVersion, version.dwMinorVersion,
             version.dwBuildNumber, g_nt ? "NT family" : "Windows 95 family", g_wow64 ? 64 : 32);
  ReportLine("Administrator rights: %s (HKEY_LOCAL_MACHINE and " PROGRAM_FILES " writable: %s, IsUserAnAdmin: %s)",
             writable && admin != 0 ? "yes" : "no", writable ? "yes" : "no",
             admin < 0 ? "not here"
             : admin   ? "yes"
                       : "no");
  ReportLine("ANSI code page: %u", GetACP());
  if (g_toolSize >= 0)
    ReportLine("REMOVE.EXE checked: %s, %d bytes", toolPath, g_toolSize);
  else
    ReportLine("REMOVE.EXE checked: %s, %s", toolPath, PathExists(toolPath) ? "cannot be read" : "not there");
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

/* The report (name) opened beside the program (own), or where that folder
 * cannot be written (a CD) in the temporary folder; /after-restart appends to
 * the cycle's one in the same place. The console's first line names it. */
static HANDLE OpenReport(const char* own, const char* name) {
  Path path;
  char text[MAX_PATH + 200];
  const char* folders[] = {own, g_temp};
  HANDLE report = INVALID_HANDLE_VALUE;
  int i;
  for (i = 0; i < 2 && report == INVALID_HANDLE_VALUE; ++i) {
    wsprintfA(path, "%s\\%s", folders[i], name);
    report =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, g_afterRestart ? OPEN_ALWAYS : CREATE_ALWAYS, 0, NULL);
  }
  int length =
      report != INVALID_HANDLE_VALUE
          ? wsprintfA(text, "report: %s%s\r\n", path, i > 1 ? " (the folder of KALCHECK.EXE cannot be written)" : "")
          : wsprintfA(text, "report: none (%s cannot be written, error %lu): this console shows the only one\r\n", path,
                      GetLastError());
  WriteToConsole(text, length);
  return report;
}

void __stdcall KalcheckStart(void) {
  Path own, argument, tool;
  Text reason;
  char* name = own;
  GetModuleFileNameA(NULL, own, MAX_PATH);
  for (char* c = own; *c; ++c)
    if (*c == '\\') name = c;
  *name = 0;
  FirstArgument(argument);
  g_afterRestart = lstrcmpiA(argument, "/after-restart") == 0;
  g_elevation = lstrcmpiA(argument, "/elevation") == 0;
  /* The default kit: the folder kit beside the program, on the medium the folder KALMARIS. */
  if (argument[0] && !g_afterRestart && !g_elevation) {
    lstrcpyA(g_kit, argument);
  } else {
    wsprintfA(g_kit, "%s\\kit", own);
    if (!PathExists(g_kit)) wsprintfA(g_kit, "%s\\KALMARIS", own);
  }
  g_console = GetStdHandle(STD_OUTPUT_HANDLE);
  g_consoleOutputPage = (void*)LoadedFunction("KERNEL32.DLL", "GetConsoleOutputCP");
  GetEnvironmentVariableA("TEMP", g_temp, MAX_PATH);
  /* After a restart the report goes on below the run's own lines. */
  g_report = OpenReport(own, g_elevation ? "ELEVATION.TXT" : "KALCHECK.TXT");
  SetFilePointer(g_report, 0, NULL, FILE_END);
  g_snapshot = (void*)LoadedFunction("KERNEL32.DLL", "CreateToolhelp32Snapshot");
  g_first = (void*)LoadedFunction("KERNEL32.DLL", "Process32First");
  g_next = (void*)LoadedFunction("KERNEL32.DLL", "Process32Next");
  g_processTimes = (void*)LoadedFunction("KERNEL32.DLL", "GetProcessTimes");
  if (g_first == NULL || g_next == NULL) g_snapshot = NULL;
  GetEnvironmentVariableA("WINDIR", g_wininit, MAX_PATH);
  lstrcatA(g_wininit, "\\WININIT.INI");
  wsprintfA(g_copy, "%s\\~REMOVE.TMP", g_temp);
  ReadShellFoldersValue("Programs", g_programs);
  wsprintfA(g_group, "%s\\Kalmaris", g_programs);
  ReadShellFoldersValue("Startup", g_startup);
  for (int i = 0; i < SHORTCUTS; ++i)
    wsprintfA(g_shortcuts[i].path, "%s\\%s", g_shortcuts[i].folder, g_shortcuts[i].name);
  wsprintfA(tool, "%s\\" TOOL_FILE, g_kit);
  g_toolSize = ReadWholeFile(tool, g_tool, sizeof g_tool);
  int admin = ReportHead(tool);

  if (g_afterRestart) {
    if (g_nt) {
      ReportLine(kCopyStays, g_copy);
    } else {
      wsprintfA(reason, "after the restart: the temporary copy %s is gone", g_copy);
      ReportCheck(!PathExists(g_copy), reason, "still there");
    }
    ExitProcess(g_failed);
  }
  if (g_elevation) CheckElevation(admin);

  reason[0] = 0;
  for (int i = 0; i < KIT_FILES; ++i) {
    wsprintfA(tool, "%s\\%s", g_kit, kKitFiles[i]);
    if (!reason[0] && !PathExists(tool))
      wsprintfA(reason, "the kit %s lacks %s%s", g_kit, kKitFiles[i],
                GetACP() != 1250 ? " (or the ANSI code page is not 1250, see the README)" : "");
  }
  if (!reason[0] && g_toolSize < 0)
    wsprintfA(reason, "the kit's " TOOL_FILE " cannot be read whole (another program holds it, or it is over 1 MB)");
  if (UninstallKeyExists())
    lstrcpyA(reason, "Kalmaris 2001 is installed: its uninstall entry exists");
  else if (PathExists(INSTALL_DIR))
    lstrcpyA(reason, "Kalmaris 2001 is installed: " INSTALL_DIR " exists");
  else if (!reason[0] && !PathExists(PROGRAM_FILES))
    lstrcpyA(reason, PROGRAM_FILES " does not exist: the tool installs into it");
  else if (!admin && !reason[0])
    lstrcpyA(reason, "no administrator rights: start KALCHECK.EXE as administrator");
  if (reason[0]) {
    ReportLine("refused: %s; nothing was changed", reason);
    ExitProcess(2);
  }

  CoInitialize(NULL);
  if (RunInstallChecks()) RunUninstallChecks();
  /* Last: asking the shell may write its folders into Shell Folders, where
   * the tool reads them. */
  CheckShellFolder("Programs", CSIDL_PROGRAMS, g_programs);
  CheckShellFolder("Startup", CSIDL_STARTUP, g_startup);
  ReportLine("Left on this machine (KALCHECK removes nothing the tool should have removed):");
  if (UninstallKeyExists()) ReportLine("left    the uninstall entry of Kalmaris 2001");
  const char* paths[] = {INSTALL_DIR, g_group, STARTUP_SHORTCUT->path, g_copy};
  for (int i = 0; i < 4; ++i)
    if (PathExists(paths[i])) ReportLine("left    %s", paths[i]);
  if (g_appended) ReportLine("left    %s: the two lines the uninstall appended", g_wininit);
  if (g_appended && g_nt)
    ReportLine(kCopyStays, g_copy);
  else if (g_appended)
    ReportLine("note    Windows deletes %s at its next start: restart, then run KALCHECK.EXE /after-restart", g_copy);
  ReportLine("%s", g_failed ? "Result: a check FAILED (exit code 1)" : "Result: every check passed (exit code 0)");
  ExitProcess(g_failed);
}
