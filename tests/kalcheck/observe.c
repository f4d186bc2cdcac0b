/* The tool's processes and boxes, and one check per kind of observation.
 * Each check compares what it finds with what the cycle's table expects and
 * writes one report line. */
#include "tests/kalcheck/kalcheck.h"

/* The shell's link object and its two interfaces used here (stated here: the
 * import library of them all would bring some 40 KB of identifiers). */
static const GUID kShellLink = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID kShellLinkA = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID kPersistFile = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

/* ---- processes */

/* When the process was created, where the system tells (Windows NT); 0 where it does not. */
static int CreationTime(Run* run, HANDLE process, FILETIME* created) {
  FILETIME ended, kernel, user;
  return run->processTimes != NULL && process != NULL && run->processTimes(process, created, &ended, &kernel, &user);
}

static Held* FindHeld(Run* run, DWORD id) {
  for (int i = 0; i < run->heldCount; ++i)
    if (run->held[i].id == id) return &run->held[i];
  return NULL;
}

static int IsHeld(Run* run, DWORD id) {
  return FindHeld(run, id) != NULL;
}

/* Holds a process of the tool by its id: opened with the rights that
 * Windows 95 grants too (its state and exit code, and waiting for it), so
 * that its exit code can be read after it has ended, also where it is not
 * KALCHECK's child. Windows does not give a held process's id to another. */
static Held* HoldProcess(Run* run, DWORD id, HANDLE handle, const char* program) {
  Held* held = FindHeld(run, id);
  if (held != NULL || run->heldCount == FAMILY_MAX) return held;
  held = &run->held[run->heldCount++];
  held->id = id;
  held->handle = handle != NULL ? handle : OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, id);
  lstrcpynA(held->name, program != NULL ? FileName(program) : "", sizeof held->name);
  return held;
}

/* Every running process the tool started, and theirs in turn, held: with
 * Toolhelp (not on NT 4.0). A process counts as a held one's child by its
 * parent's id and, where the system tells when processes were created,
 * only when it was created after that parent. Returns how many are held. */
static int CollectToolProcesses(Run* run) {
  PROCESSENTRY32 entry;
  HANDLE all = run->snapshot != NULL ? run->snapshot(TH32CS_SNAPPROCESS, 0) : INVALID_HANDLE_VALUE;
  if (all == INVALID_HANDLE_VALUE) return run->heldCount;
  for (int grown = 1; grown;) {
    grown = 0;
    entry.dwSize = sizeof entry;
    for (BOOL more = run->first(all, &entry); more && run->heldCount < FAMILY_MAX; more = run->next(all, &entry)) {
      Held* known = FindHeld(run, entry.th32ProcessID);
      /* A process just created may not have its program's name yet. */
      if (known != NULL && !known->name[0]) lstrcpynA(known->name, FileName(entry.szExeFile), sizeof known->name);
      if (known != NULL || !IsHeld(run, entry.th32ParentProcessID)) continue;
      FILETIME parentCreated, created;
      Held* parent = HoldProcess(run, entry.th32ParentProcessID, NULL, NULL);
      HANDLE child = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
      if (CreationTime(run, parent->handle, &parentCreated) && CreationTime(run, child, &created) &&
          CompareFileTime(&created, &parentCreated) < 0) {
        if (child != NULL) CloseHandle(child);
        continue;
      }
      HoldProcess(run, entry.th32ProcessID, child, entry.szExeFile);
      grown = 1;
    }
  }
  CloseHandle(all);
  return run->heldCount;
}

static int ToolRunning(Run* run) {
  CollectToolProcesses(run);
  for (int i = 0; i < run->heldCount; ++i)
    if (run->held[i].handle != NULL && WaitForSingleObject(run->held[i].handle, 0) == WAIT_TIMEOUT) return 1;
  return 0;
}

/* A new step: the processes, boxes and waits of the last one forgotten. */
void StartStep(Run* run) {
  for (int i = 0; i < run->heldCount; ++i)
    if (run->held[i].handle != NULL) CloseHandle(run->held[i].handle);
  run->heldCount = run->handledCount = run->missingCount = 0;
  run->rootId = 0;
}

/* Starts a command line in a folder, as the system does, with another
 * environment where one is given, and holds it as the step's first
 * process; 0 with the system's error where it refuses. */
int StartHeld(Run* run, const char* role, const char* commandLine, const char* folder, const char* environment,
              DWORD* error) {
  char line[400];
  STARTUPINFOA startup = {.cb = sizeof startup};
  PROCESS_INFORMATION process;
  lstrcpynA(line, commandLine, sizeof line);
  if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, (void*)environment, folder, &startup, &process)) {
    *error = GetLastError();
    return 0;
  }
  CloseHandle(process.hThread);
  run->rootId = process.dwProcessId;
  run->rootRole = role;
  HoldProcess(run, process.dwProcessId, process.hProcess, TOOL_FILE);
  return 1;
}

/* StartHeld with its check line. */
int StartTool(Run* run, const char* role, const char* commandLine, const char* folder, const char* environment) {
  Line what, found;
  DWORD error = 0;
  wsprintfA(what, "started %s in %s", commandLine, folder);
  if (environment != NULL) wsprintfA(what + lstrlenA(what), " with TEMP=%s", run->blankTemp);
  int started = StartHeld(run, role, commandLine, folder, environment, &error);
  wsprintfA(found, error == 740 ? "error 740: needs administrator rights" : "error %lu", error);
  ReportCheck(run, started, what, found);
  return started;
}

/* ---- boxes */

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

static int IsToolCaption(const char* caption) {
  return SameText(caption, INSTALL_CAPTION) || SameText(caption, UNINSTALL_CAPTION);
}

typedef struct {
  Run* run;
  HWND found;
} BoxSearch;

/* A visible dialog of a process of the tool, not answered yet. Where the
 * system cannot tell the tool's processes (no Toolhelp), only a box with
 * one of the tool's captions counts, so that no other program's dialog is
 * answered. */
static BOOL CALLBACK FindBoxWindow(HWND window, LPARAM context) {
  BoxSearch* search = (BoxSearch*)context;
  Run* run = search->run;
  char name[40];
  DWORD id = 0;
  if (!IsWindowVisible(window) || GetClassNameA(window, name, sizeof name) == 0 || !SameText(name, "#32770"))
    return TRUE;
  for (int i = 0; i < run->handledCount; ++i)
    if (run->handled[i] == window) return TRUE;
  GetWindowThreadProcessId(window, &id);
  WindowText(window, name, sizeof name);
  if (run->snapshot != NULL ? !IsHeld(run, id) : id == GetCurrentProcessId() || !IsToolCaption(name)) return TRUE;
  search->found = window;
  return FALSE;
}

/* The tool's next box and its caption; its process held. */
HWND FindToolBox(Run* run, char* caption, int size) {
  BoxSearch search = {run, NULL};
  DWORD id = 0;
  CollectToolProcesses(run);
  EnumWindows(FindBoxWindow, (LPARAM)&search);
  WindowText(search.found, caption, size);
  if (search.found != NULL && GetWindowThreadProcessId(search.found, &id)) HoldProcess(run, id, NULL, NULL);
  return search.found;
}

/* Presses the button and waits (at most 10 s) until the box has gone; a
 * box answered is never looked at again. */
void PressButton(HWND box, int id) {
  for (int second = 0; second < 10 && IsWindow(box) && IsWindowVisible(box); ++second) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
    for (int tick = 0; tick < 10 && IsWindow(box) && IsWindowVisible(box); ++tick) Sleep(100);
  }
}

static void Answer(Run* run, HWND box, int answer) {
  if (run->handledCount < HANDLED_MAX) run->handled[run->handledCount++] = box;
  PressButton(box, ShowsButton(box, answer) ? answer : ShowsButton(box, IDNO) ? IDNO : IDOK);
}

/* The name of a box's button by its id, which is the value MessageBoxA returns. */
static const char* ButtonName(int id) {
  static const char* const kNames[] = {"",    "OK", "Cancel", "Abort", "Retry",     "Ignore",
                                       "Yes", "No", "",       "Help",  "Try Again", "Continue"};
  return id > 0 && id < (int)(sizeof kNames / sizeof kNames[0]) && kNames[id][0] ? kNames[id] : NULL;
}

/* A visible button of a box, and the default one: the button drawn as the
 * default push button, which Enter presses. */
static BOOL CALLBACK CollectButton(HWND child, LPARAM found) {
  Box* box = (Box*)found;
  char name[20];
  int id = GetDlgCtrlID(child);
  if (!IsWindowVisible(child) || GetClassNameA(child, name, sizeof name) == 0 || lstrcmpiA(name, "Button") != 0)
    return TRUE;
  box->buttons |= id > 0 && id < 32 ? BUTTON(id) : 1UL;
  if ((GetWindowLongA(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON && box->defaultButton == 0)
    box->defaultButton = id;
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

/* The system's four icons a box may show, in the order of Icon. */
static const char* const kIconIds[] = {NULL, IDI_QUESTION, IDI_EXCLAMATION, IDI_HAND, IDI_ASTERISK};
static const char* const kIconNames[] = {"no icon",   "question icon",    "exclamation icon",
                                         "stop icon", "information icon", "an icon KALCHECK cannot name"};

static Icon BoxIcon(HWND box) {
  HWND control = NULL;
  DWORD_PTR shown = 0;
  EnumChildWindows(box, FindIconControl, (LPARAM)&control);
  if (control != NULL) SendMessageTimeoutA(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &shown);
  if (shown == 0) return ICON_NONE;
  for (int i = ICON_QUESTION; i <= ICON_INFORMATION; ++i)
    if ((DWORD_PTR)LoadIconA(NULL, kIconIds[i]) == shown) return (Icon)i;
  /* A box just shown may not be drawn yet: a second at most. */
  for (int attempt = 0; attempt < 10; ++attempt, Sleep(100))
    for (int i = ICON_QUESTION; i <= ICON_INFORMATION; ++i)
      if (ShowsIconPixels(control, LoadIconA(NULL, kIconIds[i]))) return (Icon)i;
  return ICON_UNKNOWN;
}

static void ObserveBox(HWND window, Box* box) {
  box->buttons = 0;
  box->defaultButton = 0;
  WindowText(window, box->caption, sizeof box->caption);
  WindowText(GetDlgItem(window, 0xFFFF), box->text, sizeof box->text);
  EnumChildWindows(window, CollectButton, (LPARAM)box);
  box->icon = BoxIcon(window);
}

static int SameBox(const Box* a, const Box* b) {
  return SameText(a->caption, b->caption) && SameText(a->text, b->text) && a->buttons == b->buttons &&
         a->defaultButton == b->defaultButton && a->icon == b->icon;
}

/* The box as the report shows it: its text (bytes as they are), its buttons
 * in the order of their ids, the default button and the icon. */
static void DescribeBox(const Box* box, char* out) {
  out += wsprintfA(out, "\"%s\", buttons", box->text);
  for (int id = 0; id < 32; ++id)
    if (box->buttons & BUTTON(id))
      out += ButtonName(id) ? wsprintfA(out, " %s", ButtonName(id))
             : id           ? wsprintfA(out, " #%d", id)
                            : wsprintfA(out, " (another button)");
  int id = box->defaultButton;
  if (id == 0)
    out += wsprintfA(out, ", no default");
  else
    out += ButtonName(id) ? wsprintfA(out, ", default %s", ButtonName(id)) : wsprintfA(out, ", default #%d", id);
  wsprintfA(out, ", %s", kIconNames[box->icon]);
}

/* A box that was not expected: a failed check, answered No, else OK, so
 * that nothing is left waiting. */
void ReportUnexpectedBox(Run* run, HWND window) {
  Box box;
  Line found;
  ObserveBox(window, &box);
  DescribeBox(&box, found);
  ReportLine(run, "FAILED  a box not expected: \"%s\" %s", box.caption, found);
  run->failed = 1;
  Answer(run, window, IDNO);
}

/* A box while the tool is awaited: one reported missing before, come late
 * (answered as it was to be, not reported twice), or one not expected. */
static void HandleBox(Run* run, HWND window) {
  Box box;
  ObserveBox(window, &box);
  for (int i = 0; i < run->missingCount; ++i)
    if (SameBox(&box, run->missing[i])) {
      ReportLine(run, "note    the box \"%s\" reported missing above came later; answered as the cycle answers it",
                 box.caption);
      Answer(run, window, run->missingAnswer[i]);
      return;
    }
  ReportUnexpectedBox(run, window);
}

/* Waits for the tool's box with the expected caption (at most 2 minutes),
 * compares it with the expected one and gives the answer; other boxes of
 * the tool meanwhile are not expected. */
void ExpectBox(Run* run, const char* role, const Box* expected, int answer) {
  Line what, found;
  DWORD start = GetTickCount();
  wsprintfA(what, "box \"%s\" (%s): ", expected->caption, role);
  DescribeBox(expected, what + lstrlenA(what));
  while (GetTickCount() - start < BOX_WAIT) {
    char caption[128];
    HWND window = FindToolBox(run, caption, sizeof caption);
    if (window != NULL && SameText(caption, expected->caption)) {
      Box box;
      ObserveBox(window, &box);
      DescribeBox(&box, found);
      ReportCheck(run, SameBox(&box, expected), what, found);
      Answer(run, window, answer);
      return;
    }
    if (window != NULL) {
      ReportUnexpectedBox(run, window);
    } else if (run->snapshot != NULL && !ToolRunning(run)) {
      /* Where the system tells the tool's processes, none is left to show it. */
      ReportCheck(run, 0, what, "none; every process of the tool had ended");
      return;
    }
    Sleep(100);
  }
  ReportCheck(run, 0, what, "no such box within " BOX_WAIT_TEXT);
  if (run->missingCount < 4) {
    run->missing[run->missingCount] = expected;
    run->missingAnswer[run->missingCount++] = answer;
  }
}

/* Waits (at most 2 minutes) until every process of the tool has ended;
 * boxes that come meanwhile are not expected. From then on a deletion
 * another program keeps pending is waited for (at most 30 s). */
void AwaitToolEnd(Run* run, const char* what) {
  DWORD start = GetTickCount();
  while (ToolRunning(run) && GetTickCount() - start < BOX_WAIT) {
    char caption[128];
    HWND window = FindToolBox(run, caption, sizeof caption);
    if (window != NULL) HandleBox(run, window);
    Sleep(100);
  }
  if (ToolRunning(run)) ReportCheck(run, 0, what, "still running after " BOX_WAIT_TEXT);
  run->settleUntil = GetTickCount() + SETTLE_WAIT;
}

/* A process of the tool: any the tool started, but the console host that
 * Windows 7 and later start for a program with a console of its own. */
static int IsToolProgram(const Held* held) {
  return lstrcmpiA(held->name, "conhost.exe") != 0;
}

/* How many processes of the tool ran, and that each ended with exit code 0. */
void CheckExitCodes(Run* run, int processes) {
  Line what, found, names = "";
  int count = 0;
  for (int i = 0; i < run->heldCount; ++i)
    if (IsToolProgram(&run->held[i]))
      wsprintfA(names + lstrlenA(names), "%s%s", count++ ? ", " : "",
                run->held[i].name[0] ? run->held[i].name : "a process");
  wsprintfA(what, "processes of the tool: %d", processes);
  wsprintfA(found, "%d (%s)", count, names);
  ReportCheck(run, count == processes, what, found);
  for (int i = 0; i < run->heldCount; ++i) {
    const Held* held = &run->held[i];
    DWORD code = 0;
    if (!IsToolProgram(held)) continue;
    int read = held->handle != NULL && GetExitCodeProcess(held->handle, &code) && code != STILL_ACTIVE;
    if (held->id == run->rootId)
      wsprintfA(what, "exit code 0: %s", run->rootRole);
    else
      wsprintfA(what, "exit code 0: %s, started by the tool", held->name[0] ? held->name : "a process");
    wsprintfA(found,
              read                   ? "%lu"
              : code == STILL_ACTIVE ? "still running"
                                     : "cannot be read (error %lu)",
              read ? code : GetLastError());
    ReportCheck(run, read && code == 0, what, found);
  }
}

/* ---- registry */

/* The uninstall key as the list of installed programs reads it: where the
 * 32-bit tool's entry is on this system (Wow6432Node of the 64-bit view on
 * 64-bit Windows). The caller closes it. */
static HKEY OpenUninstallKey(Run* run) {
  HKEY key;
  LONG status = run->wow64 ? RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\" UNINSTALL_KEY, 0,
                                           KEY_READ | KEY_WOW64_64KEY, &key)
                           : RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\" UNINSTALL_KEY, 0, KEY_READ, &key);
  return status == ERROR_SUCCESS ? key : NULL;
}

int UninstallKeyExists(Run* run) {
  HKEY key = OpenUninstallKey(run);
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
int QueryUninstallValue(Run* run, const char* name, DWORD* type, char* out, DWORD size) {
  HKEY key = OpenUninstallKey(run);
  out[0] = 0;
  if (key == NULL) return -1;
  int length = QueryValue(key, name, type, out, size);
  RegCloseKey(key);
  return length;
}

/* A per-user Shell Folders value, where the tool reads its folders (value names are case-insensitive). */
void ReadShellFoldersValue(const char* name, char* out) {
  HKEY key;
  DWORD type;
  out[0] = 0;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", 0,
                    KEY_READ, &key) != ERROR_SUCCESS)
    return;
  QueryValue(key, name, &type, out, MAX_PATH);
  RegCloseKey(key);
}

static void CheckValue(Run* run, const char* name, const char* expected) {
  char data[300];
  Line what, found;
  DWORD type = 0;
  int length = QueryUninstallValue(run, name, &type, data, sizeof data);
  int size = lstrlenA(expected) + 1;
  wsprintfA(what, "uninstall entry: %s = %s (REG_SZ, %d bytes)", name, expected, size);
  if (length < 0)
    lstrcpyA(found, "not there");
  else
    wsprintfA(found, "%s (type %lu, %d bytes)", data, type, length);
  ReportCheck(run, length == size && type == REG_SZ && SameBytes(data, expected, size), what, found);
}

/* ---- files */

/* The shortcut holds the kit's file's bytes and leads, through the shell's
 * own link object, to the installed file, started in the installation directory. */
static void CheckShortcut(Run* run, const Thing* thing, const char* path) {
  Path target, directory, expected;
  Line what, found;
  WCHAR wide[MAX_PATH];
  WIN32_FIND_DATAA targetData;
  IShellLinkA* link = NULL;
  IPersistFile* persist = NULL;
  HRESULT result = E_FAIL;
  wsprintfA(expected, INSTALL_DIR "\\%s", thing->target);
  wsprintfA(what, "shortcut %s: the kit's %s, leads to %s in " INSTALL_DIR, path, thing->expected, expected);
  wsprintfA(directory, "%s\\%s", run->kit, thing->expected);
  int half = sizeof run->data / 2;
  int length = ReadWholeFile(directory, run->data, half - 1);
  int same = length >= 0 && ReadWholeFile(path, run->data + half, half - 1) == length &&
             SameBytes(run->data, run->data + half, length);
  target[0] = directory[0] = 0;
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) != 0)
    result = CoCreateInstance(&kShellLink, NULL, CLSCTX_INPROC_SERVER, &kShellLinkA, (void**)&link);
  if (SUCCEEDED(result)) result = IShellLinkA_QueryInterface(link, &kPersistFile, (void**)&persist);
  if (SUCCEEDED(result)) result = IPersistFile_Load(persist, wide, STGM_READ);
  /* Windows 95's shell fills the target's find data, given or not. */
  if (SUCCEEDED(result)) result = IShellLinkA_GetPath(link, target, MAX_PATH, &targetData, 0);
  if (SUCCEEDED(result)) result = IShellLinkA_GetWorkingDirectory(link, directory, MAX_PATH);
  if (persist != NULL) IPersistFile_Release(persist);
  if (link != NULL) IShellLinkA_Release(link);
  DWORD error = PathExists(path) ? 0 : GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
    lstrcpyA(found, "not there");
  else if (error != 0)
    wsprintfA(found, "cannot be read (error %lu)", error);
  else if (FAILED(result))
    wsprintfA(found, "%s, the shell cannot read it (0x%lx)", same ? "the kit's bytes" : "other bytes", result);
  else
    wsprintfA(found, "%s, leading to %s in %s", same ? "the kit's bytes" : "other bytes", target, directory);
  ReportCheck(run,
              same && SUCCEEDED(result) && lstrcmpiA(target, expected) == 0 && lstrcmpiA(directory, INSTALL_DIR) == 0,
              what, found);
}

/* An installed file holds the kit's bytes. */
static void CheckFile(Run* run, const Thing* thing, const char* path) {
  Path kitFile;
  Line what;
  int half = sizeof run->data / 2;
  wsprintfA(kitFile, "%s\\%s", run->kit, thing->expected);
  wsprintfA(what, "%s %s: the kit's bytes", thing->role, path);
  int length = ReadWholeFile(kitFile, run->data, half - 1);
  int found = ReadWholeFile(path, run->data + half, half - 1);
  ReportCheck(run, length >= 0 && found == length && SameBytes(run->data, run->data + half, length), what,
              found >= 0         ? "other bytes"
              : PathExists(path) ? "cannot be read"
                                 : "not there");
}

/* Gone means the system says "file not found" or "path not found". After
 * the uninstall a deletion another program keeps pending (the name stays,
 * or the system answers "access denied") is waited for until the step's
 * time for it is up; any other failure leaves the thing unchecked. */
static void CheckGone(Run* run, const char* role, const char* path, int removal) {
  Line what, found;
  DWORD start = GetTickCount(), error;
  int looks = 0;
  for (;; ++looks, Sleep(100)) {
    error = PathExists(path) ? 0 : GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || !removal ||
        (error != 0 && error != ERROR_ACCESS_DENIED) || (LONG)(run->settleUntil - GetTickCount()) <= 0)
      break;
  }
  int gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  DWORD waited = (GetTickCount() - start + 50) / 100;
  wsprintfA(what, "%s: %s %s", removal ? "removed" : "not there", role, path);
  wsprintfA(found, error == 0 ? "still there" : "cannot be checked (error %lu)", error);
  if (looks > 0) wsprintfA(found + lstrlenA(found), ", after waiting %lu.%lu s", waited / 10, waited % 10);
  ReportCheck(run, gone, what, found);
  if (gone && looks > 0)
    ReportLine(run,
               "note    waited %lu.%lu s until %s was gone: another program held it open, and its deletion was "
               "pending",
               waited / 10, waited % 10, path);
}

/* A thing of the product, there or not as the step expects. */
void CheckThing(Run* run, const Thing* thing, const char* path, int there, int removal) {
  Line what;
  /* A value comes and goes with its key: the values say that the entry is
   * there as it must be, the key that it is gone. */
  if (thing->kind == THING_VALUE) {
    if (there) CheckValue(run, thing->name, thing->expected);
  } else if (thing->kind == THING_KEY) {
    wsprintfA(what, "%s: %s", removal ? "removed" : "not there", thing->role);
    if (!there) ReportCheck(run, !UninstallKeyExists(run), what, "still there");
  } else if (!there) {
    CheckGone(run, thing->role, path, removal);
  } else if (thing->kind == THING_SHORTCUT) {
    CheckShortcut(run, thing, path);
  } else if (thing->kind == THING_FILE) {
    CheckFile(run, thing, path);
  } else {
    wsprintfA(what, "%s %s is there", thing->role, path);
    ReportCheck(run, (GetFileAttributesA(path) & (FILE_ATTRIBUTE_DIRECTORY | 0x80000000)) == FILE_ATTRIBUTE_DIRECTORY,
                what, "not there");
  }
}

/* The temporary copy of the step: the tool's bytes after an uninstall that
 * went on, none otherwise. Seed: what KALCHECK put there before. */
void CheckCopy(Run* run, int tools, const char* seed, int seedSize) {
  Line what, found;
  int length = ReadWholeFile(run->copy, run->data, sizeof run->data - 1);
  if (!tools) {
    wsprintfA(what, "no temporary copy at %s", run->copy);
    wsprintfA(found, "there (%d bytes)", length);
    ReportCheck(run, !PathExists(run->copy), what, found);
    return;
  }
  wsprintfA(what, "temporary copy %s: the bytes of the REMOVE.EXE checked", run->copy);
  ReportCheck(run, length >= 0 && length == run->toolSize && SameBytes(run->data, run->tool, length), what,
              length == seedSize && SameBytes(run->data, seed, length)
                  ? "the bytes KALCHECK put there before, as an earlier copy: not replaced"
              : length >= 0           ? "other bytes"
              : PathExists(run->copy) ? "cannot be read"
                                      : "not there");
}

/* WININIT.INI whole: what was there before the step, byte for byte, then
 * exactly the uninstall's two lines, or nothing. What was found becomes
 * what the next step must keep. */
void CheckWininit(Run* run, int appended) {
  Line what, found = "";
  char lines[400];
  int before = run->wininitSize;
  const char* text = run->wininitText;
  /* The tool starts a new line when the file's last one has no line break. */
  int size = appended ? wsprintfA(lines, "%s[rename]\r\nnul=%s\r\n",
                                  before > 0 && text[before - 1] != '\n' ? "\r\n" : "", run->copy)
                      : 0;
  int length = ReadWholeFile(run->wininit, run->data, sizeof run->data - 1);
  if (appended)
    wsprintfA(what, "%s: what was there kept, then [rename] and nul=%s appended", run->wininit, run->copy);
  else
    wsprintfA(what, "%s: what was there kept, nothing appended", run->wininit);
  int kept = length >= before && SameBytes(run->data, text, before);
  if (length < 0)
    lstrcpyA(found, PathExists(run->wininit) ? "cannot be read" : "not there");
  else if (!kept)
    wsprintfA(found, "what was there is not kept: %d bytes, before %d", length, before);
  else
    wsprintfA(found, "appended: %s", run->data + before);
  int same = kept && length == before + size && SameBytes(run->data + before, lines, size);
  ReportCheck(run, same, what, found);
  if (same && appended) run->appended = 1;
  if (length >= 0 && length < (int)sizeof run->wininitText) {
    for (int i = 0; i < length; ++i) run->wininitText[i] = run->data[i];
    run->wininitSize = length;
  }
}

/* The folder the tool read from Shell Folders is the one the shell itself
 * shows (a redirected Start menu or a stale value would part them, and the
 * user would not see the group). */
void CheckShellFolder(Run* run, const char* name, int folderId, const char* used) {
  Path shown = "";
  Line what, found;
  LPITEMIDLIST list = NULL;
  IMalloc* allocator;
  if (SUCCEEDED(SHGetSpecialFolderLocation(NULL, folderId, &list)) && list != NULL) {
    if (!SHGetPathFromIDListA(list, shown)) shown[0] = 0;
    if (SUCCEEDED(SHGetMalloc(&allocator))) IMalloc_Free(allocator, list), IMalloc_Release(allocator);
  }
  wsprintfA(what, "the tool's %s folder (Shell Folders) %s is the one the shell shows", name, used);
  wsprintfA(found, shown[0] ? "the shell shows %s" : "the shell shows no %s folder", shown[0] ? shown : name);
  ReportCheck(run, used[0] && lstrcmpiA(used, shown) == 0, what, found);
}
