/* KALCHECK.EXE: the whole install and uninstall of Kalmaris 2001 run and
 * checked on the machine it is started on (a test program, never shipped).
 *
 *   KALCHECK.EXE [KIT]          KIT: the kit's five files (default: the folder
 *                               "kit" beside the program)
 *   KALCHECK.EXE /after-restart after a restart of Windows 95, 98 or Me: the
 *                               temporary copy of the tool is gone
 *
 * 1. The report's head: the Windows version, 32- or 64-bit, administrator
 *    rights, the ANSI code page, the REMOVE.EXE checked.
 * 2. Refuses (exit code 2, nothing changed) when the product is installed,
 *    the kit lacks a file, or HKEY_LOCAL_MACHINE and C:\Program Files cannot
 *    be written.
 * 3. Install: the kit copied into the installation directory, REMOVE.EXE
 *    /INSTALL started there, its two boxes read and answered, then the
 *    uninstall entry, the group and the three shortcuts checked.
 * 4. Uninstall: the registered command started, its two boxes read and
 *    answered, every process of it awaited, then everything checked gone and
 *    the temporary copy and its WININIT.INI lines in place.
 * 5. What is left on the machine; exit code 0 when every check passed, else 1.
 *
 * Each check is one line, on the console and in KALCHECK.TXT beside the
 * program. Boxes are found as a person sees them: visible top-level dialogs of
 * the tool's processes, by caption. Every wait is bounded. It links no C
 * runtime and imports only what Windows 95 has; newer functions are looked up
 * when it runs. */
#define COBJMACROS
#include <stdarg.h>
#include <windows.h>
/* After windows.h, which they need. */
#include <shlobj.h>
#include <tlhelp32.h>

#define INSTALL_DIR "C:\\Program Files\\Kalmaris"
#define UNINSTALL_KEY "Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kalmaris"
#define BOX_WAIT 30000 /* ms for a box to come, and for the tool's processes to end */
#define FAMILY_MAX 64  /* the tool runs two processes at a time, the system may add a few */

static const char* const kFiles[] = {"Kalmaris.lnk", "Něco jako manuál.lnk", "KM.EXE", "KM.RTF", "REMOVE.EXE"};
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
static int g_appended;     /* the uninstall's lines are in WININIT.INI */
static int g_afterRestart; /* started with /after-restart */
/* g_group: the program group; g_startup: the Startup folder; g_startupLink: the
 * Startup shortcut in it. */
static Path g_kit, g_temp, g_copy, g_wininit, g_group, g_startup, g_startupLink;
/* The kit's REMOVE.EXE and any other file read: REMOVE.EXE is about 10 KB,
 * signed a few KB more, and WININIT.INI and the shortcuts are smaller still. */
static char g_tool[1 << 20], g_data[1 << 20];
static int g_toolSize = -1;
static HANDLE g_root; /* the process started last */
static DWORD g_rootId;

static HANDLE(WINAPI* g_snapshot)(DWORD, DWORD);
static BOOL(WINAPI* g_first)(HANDLE, PROCESSENTRY32*);
static BOOL(WINAPI* g_next)(HANDLE, PROCESSENTRY32*);

/* A function of a module that is loaded already (NTDLL is not there on Windows 95). */
static FARPROC Find(const char* module, const char* name) {
  HMODULE found = GetModuleHandleA(module);
  return found != NULL ? GetProcAddress(found, name) : NULL;
}

/* One line (at most 1024 characters, wvsprintfA's limit) on the console and in the report. */
static void Line(const char* format, ...) {
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
  WriteFile(g_report, text, (DWORD)length, &written, NULL);
  /* A console shows the OEM code page, the report file is read in the ANSI one. */
  if (GetFileType(g_console) == FILE_TYPE_CHAR) CharToOemBuffA(text, text, (DWORD)length);
  WriteFile(g_console, text, (DWORD)length, &written, NULL);
}

static void Check(int passed, const char* what, const char* found) {
  if (!passed) g_failed = 1;
  Line("%s  %s%s%s", passed ? "passed" : "FAILED", what, passed ? "" : "; found: ", passed ? "" : found);
}

static int There(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

/* The whole file into buffer (room for capacity bytes and a zero byte); its
 * length, or -1 when it cannot be read or is larger. */
static int ReadWhole(const char* path, char* buffer, DWORD capacity) {
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

/* ---- registry */

/* The uninstall key as the list of installed programs reads it: where the
 * 32-bit tool's entry is on this system (Wow6432Node of the 64-bit view on
 * 64-bit Windows). */
static HKEY OpenUninstallKey(void) {
  HKEY key;
  LONG status = g_wow64 ? RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\" UNINSTALL_KEY, 0,
                                        KEY_READ | KEY_WOW64_64KEY, &key)
                        : RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\" UNINSTALL_KEY, 0, KEY_READ, &key);
  return status == ERROR_SUCCESS ? key : NULL;
}

/* A value's bytes into out (size bytes); the count, or -1 when it cannot be read. */
static int ReadValue(HKEY root, const char* path, const char* name, DWORD* type, char* out, DWORD size) {
  HKEY key = root;
  if (path != NULL && RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
  LONG status = RegQueryValueExA(key, name, NULL, type, (BYTE*)out, &size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? (int)size : -1;
}

static void CheckValue(const char* name, const char* expected) {
  char data[300];
  Text what, found;
  DWORD type = 0;
  HKEY key = OpenUninstallKey();
  int length = key != NULL ? ReadValue(key, NULL, name, &type, data, sizeof data - 1) : -1;
  int size = lstrlenA(expected) + 1;
  wsprintfA(what, "uninstall entry: %s = %s (REG_SZ, %d bytes)", name, expected, size);
  if (length < 0) {
    lstrcpyA(found, "not there");
  } else {
    data[length] = 0;
    wsprintfA(found, "%s (type %lu, %d bytes)", data, type, length);
  }
  Check(length == size && type == REG_SZ && SameBytes(data, expected, size), what, found);
}

/* A per-user shell folder (value names are case-insensitive). */
static void ShellFolder(const char* name, char* out) {
  DWORD type;
  int length = ReadValue(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                         name, &type, out, MAX_PATH);
  out[length > 0 ? length : 0] = 0;
}

/* ---- processes and boxes */

static int In(const DWORD* set, int count, DWORD id) {
  while (count-- > 0)
    if (set[count] == id) return 1;
  return 0;
}

/* The tool's processes as far as the system can tell: the process started
 * last and, with Toolhelp (not on NT 4.0), every running process it started,
 * and theirs in turn. Returns how many (the first is always there). */
static int Family(DWORD* family) {
  PROCESSENTRY32 entry;
  int count = 1, grown = 1;
  family[0] = g_rootId;
  HANDLE all = g_snapshot != NULL ? g_snapshot(TH32CS_SNAPPROCESS, 0) : INVALID_HANDLE_VALUE;
  if (all == INVALID_HANDLE_VALUE) return 1;
  while (grown) {
    grown = 0;
    entry.dwSize = sizeof entry;
    for (BOOL more = g_first(all, &entry); more && count < FAMILY_MAX; more = g_next(all, &entry)) {
      if (In(family, count, entry.th32ParentProcessID) && !In(family, count, entry.th32ProcessID)) {
        family[count++] = entry.th32ProcessID;
        grown = 1;
      }
    }
  }
  CloseHandle(all);
  return count;
}

/* Without Toolhelp every other process counts (see EachWindow). */
static int OfTheTool(DWORD pid) {
  DWORD family[FAMILY_MAX];
  return g_snapshot != NULL ? In(family, Family(family), pid) : pid != GetCurrentProcessId();
}

static int ToolRunning(void) {
  DWORD family[FAMILY_MAX];
  return (g_root != NULL && WaitForSingleObject(g_root, 0) == WAIT_TIMEOUT) || Family(family) > 1;
}

/* A window's text, read so that a hung window cannot hold the check. */
static void TextOf(HWND window, char* out, int size) {
  DWORD_PTR result;
  out[0] = 0;
  if (window != NULL)
    SendMessageTimeoutA(window, WM_GETTEXT, (WPARAM)size, (LPARAM)out, SMTO_ABORTIFHUNG, 2000, &result);
  out[size - 1] = 0;
}

static int Has(HWND box, int id) {
  HWND button = GetDlgItem(box, id);
  return button != NULL && IsWindowVisible(button);
}

/* Finds a box of the tool. Where the system cannot tell the tool's processes
 * (no Toolhelp), only a box with one of the tool's captions counts, so that
 * no other program's dialog is answered. */
static BOOL CALLBACK EachWindow(HWND window, LPARAM found) {
  char name[40];
  DWORD pid = 0;
  if (!IsWindowVisible(window) || GetClassNameA(window, name, sizeof name) == 0 || lstrcmpA(name, "#32770") != 0)
    return TRUE;
  GetWindowThreadProcessId(window, &pid);
  TextOf(window, name, sizeof name);
  if (!OfTheTool(pid) ||
      (g_snapshot == NULL && lstrcmpA(name, kInstallCaption) != 0 && lstrcmpA(name, kUninstallCaption) != 0))
    return TRUE;
  *(HWND*)found = window;
  return FALSE;
}

/* Presses the button and waits (at most 10 s) until the box has gone. */
static void Press(HWND box, int id) {
  for (int second = 0; second < 10 && IsWindow(box) && IsWindowVisible(box); ++second) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
    for (int tick = 0; tick < 10 && IsWindow(box) && IsWindowVisible(box); ++tick) Sleep(100);
  }
}

/* The box's text and buttons as the report shows them. */
static void Describe(HWND box, char* out) {
  static const char* const kButtons[] = {"", " OK", " Cancel", "", "", "", " Yes", " No"};
  char text[400];
  TextOf(GetDlgItem(box, 0xFFFF), text, sizeof text);
  out += wsprintfA(out, "\"%s\", buttons", text);
  for (int id = IDOK; id <= IDNO; ++id)
    if (Has(box, id) && kButtons[id][0]) out += wsprintfA(out, "%s", kButtons[id]);
}

/* A box that was not expected: a failed check, answered No, else OK, so
 * that nothing is left waiting. */
static void Unexpected(HWND box) {
  char caption[200];
  Text found;
  TextOf(box, caption, sizeof caption);
  Describe(box, found);
  Line("FAILED  a box not expected: \"%s\" %s", caption, found);
  g_failed = 1;
  Press(box, Has(box, IDNO) ? IDNO : IDOK);
}

/* Waits for the tool's box with this caption, text and buttons (at most 30 s)
 * and presses answer; other boxes of the tool meanwhile are not expected. */
static void CheckBox(const char* role, const char* caption, const char* text, const char* buttons, int answer) {
  Text what, expected, found;
  DWORD start = GetTickCount();
  wsprintfA(what, "box \"%s\" (%s): \"%s\", buttons %s", caption, role, text, buttons);
  wsprintfA(expected, "\"%s\", buttons %s", text, buttons);
  while (GetTickCount() - start < BOX_WAIT) {
    HWND box = NULL;
    char seen[200];
    EnumWindows(EachWindow, (LPARAM)&box);
    TextOf(box, seen, sizeof seen);
    if (box != NULL && lstrcmpA(seen, caption) == 0) {
      Describe(box, found);
      Check(lstrcmpA(found, expected) == 0, what, found);
      Press(box, Has(box, answer) ? answer : Has(box, IDNO) ? IDNO : IDOK);
      return;
    }
    if (box != NULL) {
      Unexpected(box);
    } else if (g_snapshot != NULL && !ToolRunning()) {
      /* Where the system tells the tool's processes, none is left to show it. */
      Check(0, what, "none; every process of the tool had ended");
      return;
    }
    Sleep(100);
  }
  Check(0, what, "no such box within 30 s");
}

/* Waits (at most 30 s) until every process of the tool has ended; boxes
 * that come meanwhile are not expected. */
static void AwaitEnd(const char* what) {
  DWORD start = GetTickCount();
  while (ToolRunning() && GetTickCount() - start < BOX_WAIT) {
    HWND box = NULL;
    EnumWindows(EachWindow, (LPARAM)&box);
    if (box != NULL) Unexpected(box);
    Sleep(100);
  }
  if (ToolRunning()) Check(0, what, "still running after 30 s");
}

/* Starts a command line in a folder (NULL: this one), as the system does. */
static int Start(const char* commandLine, const char* folder) {
  char line[400];
  Text what, found;
  STARTUPINFOA startup = {.cb = sizeof startup};
  PROCESS_INFORMATION process;
  lstrcpynA(line, commandLine, sizeof line);
  wsprintfA(what, "started %s", line);
  if (g_root != NULL) CloseHandle(g_root);
  g_root = NULL;
  g_rootId = 0;
  if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, folder, &startup, &process)) {
    DWORD error = GetLastError();
    wsprintfA(found, error == 740 ? "error 740: needs administrator rights" : "error %lu", error);
    Check(0, what, found);
    return 0;
  }
  CloseHandle(process.hThread);
  g_root = process.hProcess;
  g_rootId = process.dwProcessId;
  Check(1, what, NULL);
  return 1;
}

/* ---- the checks */

/* The shortcut holds the kit's file's bytes and leads, through the shell's
 * own link object, to the installed file, started in the installation directory. */
static void CheckShortcut(const char* folder, const char* name, const char* kitName, const char* file) {
  Path path, target, directory;
  Text what, found, expected;
  WCHAR wide[MAX_PATH];
  IShellLinkA* link = NULL;
  IPersistFile* persist = NULL;
  HRESULT result = E_FAIL;
  int length, same;
  wsprintfA(path, "%s\\%s", folder, name);
  wsprintfA(expected, INSTALL_DIR "\\%s", file);
  wsprintfA(what, "shortcut %s: the kit's %s, leads to %s in " INSTALL_DIR, path, kitName, expected);
  wsprintfA(directory, "%s\\%s", g_kit, kitName);
  length = ReadWhole(directory, g_data, sizeof g_data / 2);
  same = length >= 0 && ReadWhole(path, g_data + length, sizeof g_data / 2) == length &&
         SameBytes(g_data, g_data + length, length);
  target[0] = directory[0] = 0;
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) != 0)
    result = CoCreateInstance(&kShellLink, NULL, CLSCTX_INPROC_SERVER, &kShellLinkA, (void**)&link);
  if (SUCCEEDED(result)) result = IShellLinkA_QueryInterface(link, &kPersistFile, (void**)&persist);
  if (SUCCEEDED(result)) result = IPersistFile_Load(persist, wide, STGM_READ);
  if (SUCCEEDED(result)) result = IShellLinkA_GetPath(link, target, MAX_PATH, NULL, 0);
  if (SUCCEEDED(result)) result = IShellLinkA_GetWorkingDirectory(link, directory, MAX_PATH);
  if (persist != NULL) IPersistFile_Release(persist);
  if (link != NULL) IShellLinkA_Release(link);
  if (!There(path))
    lstrcpyA(found, "not there");
  else if (FAILED(result))
    wsprintfA(found, "%s, the shell cannot read it (0x%lx)", same ? "the kit's bytes" : "other bytes", result);
  else
    wsprintfA(found, "%s, leading to %s in %s", same ? "the kit's bytes" : "other bytes", target, directory);
  Check(same && SUCCEEDED(result) && lstrcmpiA(target, expected) == 0 && lstrcmpiA(directory, INSTALL_DIR) == 0, what,
        found);
}

static void CheckGone(const char* what, const char* path) {
  Text line;
  wsprintfA(line, "removed: %s %s", what, path);
  Check(!There(path), line, "still there");
}

static int Install(void) {
  Path from, to;
  Text found = "cannot make the folder";
  int copied = CreateDirectoryA(INSTALL_DIR, NULL);
  for (int i = 0; i < 5 && copied; ++i) {
    wsprintfA(from, "%s\\%s", g_kit, kFiles[i]);
    wsprintfA(to, INSTALL_DIR "\\%s", kFiles[i]);
    copied = CopyFileA(from, to, TRUE);
    wsprintfA(found, "error %lu at %s", GetLastError(), kFiles[i]);
  }
  Check(copied, "the kit's five files copied into " INSTALL_DIR, copied ? NULL : found);
  if (!copied || !Start("\"" INSTALL_DIR "\\REMOVE.EXE\" /INSTALL", INSTALL_DIR)) return 0;
  CheckBox("install, Startup question", kInstallCaption,
           "Chcete vytvořit zástupce programu Kalmaris ve složce \"Po spuštění\"?", "Yes No", IDYES);
  CheckBox("install, the end", kInstallCaption, "Instalace úspěšně dokončena.", "OK", IDOK);
  AwaitEnd("REMOVE.EXE /INSTALL ended");
  CheckValue("DisplayName", "Kalmaris 2001");
  CheckValue("UninstallString", "\"" INSTALL_DIR "\\REMOVE.EXE\"");
  CheckShortcut(g_group, " Kalmaris.lnk", "Kalmaris.lnk", "KM.EXE");
  CheckShortcut(g_group, "Něco jako manuál.lnk", "Něco jako manuál.lnk", "KM.RTF");
  CheckShortcut(g_startup, "Kalmaris.lnk", "Kalmaris.lnk", "KM.EXE");
  return 1;
}

static void Uninstall(void) {
  char command[300];
  Text found = "", lines, what;
  Path path;
  DWORD type;
  HKEY key = OpenUninstallKey();
  int length = key != NULL ? ReadValue(key, NULL, "UninstallString", &type, command, sizeof command - 1) : -1;
  if (length <= 0) return; /* the install's checks have said so */
  command[length] = 0;
  int before = ReadWhole(g_wininit, g_data, sizeof g_data);
  /* The tool starts a new line when the file's last one has no line break. */
  wsprintfA(lines, "%s[rename]\r\nnul=%s\r\n", before > 0 && g_data[before - 1] != '\n' ? "\r\n" : "", g_copy);
  if (before < 0) before = 0;
  if (!Start(command, NULL)) return;
  CheckBox("uninstall, confirmation", kUninstallCaption, "Opravdu chcete odstranit program Kalmaris 2001?", "Yes No",
           IDYES);
  CheckBox("uninstall, the end", kUninstallCaption, "Odinstalace úspěšně dokončena.", "OK", IDOK);
  AwaitEnd("every process of the uninstall ended");
  key = OpenUninstallKey();
  if (key != NULL) RegCloseKey(key);
  Check(key == NULL, "removed: the uninstall entry (HKEY_LOCAL_MACHINE, list of installed programs)", "still there");
  CheckGone("Startup shortcut", g_startupLink);
  wsprintfA(path, "%s\\ Kalmaris.lnk", g_group);
  CheckGone("group shortcut", path);
  wsprintfA(path, "%s\\Něco jako manuál.lnk", g_group);
  CheckGone("group shortcut", path);
  CheckGone("group", g_group);
  for (int i = 0; i < 5; ++i) {
    wsprintfA(path, INSTALL_DIR "\\%s", kFiles[i]);
    CheckGone("file", path);
  }
  CheckGone("folder", INSTALL_DIR);
  length = ReadWhole(g_copy, g_data, sizeof g_data);
  wsprintfA(what, "temporary copy %s: the bytes of the REMOVE.EXE checked", g_copy);
  Check(length == g_toolSize && SameBytes(g_data, g_tool, length), what,
        length >= 0     ? "other bytes"
        : There(g_copy) ? "cannot be read"
                        : "not there");
  length = ReadWhole(g_wininit, g_data, sizeof g_data);
  int size = lstrlenA(lines);
  wsprintfA(what, "%s: [rename] and nul=%s appended", g_wininit, g_copy);
  if (length >= before) {
    g_data[length] = 0;
    lstrcpynA(found, g_data + before, sizeof found);
  }
  g_appended = length == before + size && SameBytes(g_data + before, lines, size);
  Check(g_appended, what, length < before ? "shorter than before" : found);
}

/* The head of the report: the system, the rights, the code page, the tool. */
static int Head(const char* toolPath) {
  OSVERSIONINFOW version = {.dwOSVersionInfoSize = sizeof version};
  OSVERSIONINFOA old = {.dwOSVersionInfoSize = sizeof old};
  LONG(WINAPI * rtlGetVersion)(OSVERSIONINFOW*) = (void*)Find("NTDLL.DLL", "RtlGetVersion");
  BOOL(WINAPI * isWow64)(HANDLE, BOOL*) = (void*)Find("KERNEL32.DLL", "IsWow64Process");
  BOOL(WINAPI * isAdmin)(void) = (void*)GetProcAddress(LoadLibraryA("SHELL32.DLL"), "IsUserAnAdmin");
  HKEY key;
  if (rtlGetVersion == NULL || rtlGetVersion(&version) != 0) {
    GetVersionExA(&old);
    version.dwMajorVersion = old.dwMajorVersion, version.dwMinorVersion = old.dwMinorVersion;
    version.dwBuildNumber = old.dwBuildNumber, version.dwPlatformId = old.dwPlatformId;
  }
  if (isWow64 != NULL) isWow64(GetCurrentProcess(), &g_wow64);
  g_nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  /* The Windows 95 family keeps the major and minor version in the build number's high word. */
  if (!g_nt) version.dwBuildNumber &= 0xFFFF;
  /* Rights as the tool needs them: a scratch key and folder made and removed
   * again. On Windows Vista and later a process without elevation may see
   * such writes succeed (the system keeps them in a per-user store), so
   * there the shell's account of the user's rights counts as well. */
  int writable = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\KALCHECK.TMP", 0, NULL, 0, KEY_WRITE, NULL, &key,
                                 NULL) == ERROR_SUCCESS;
  if (writable) RegCloseKey(key), RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\KALCHECK.TMP");
  CreateDirectoryA("C:\\Program Files\\KALCHECK.TMP", NULL);
  writable = RemoveDirectoryA("C:\\Program Files\\KALCHECK.TMP") && writable;
  int admin = isAdmin != NULL ? isAdmin() : -1;
  Line(g_afterRestart ? "KALCHECK /after-restart: the temporary copy of REMOVE.EXE after a restart"
                      : "KALCHECK: the install and uninstall of Kalmaris 2001 on this machine");
  Line("Windows %lu.%lu build %lu (%s), %d-bit Windows", version.dwMajorVersion, version.dwMinorVersion,
       version.dwBuildNumber, g_nt ? "NT family" : "Windows 95 family", g_wow64 ? 64 : 32);
  Line("Administrator rights: %s (HKEY_LOCAL_MACHINE and C:\\Program Files writable: %s, IsUserAnAdmin: %s)",
       writable && admin != 0 ? "yes" : "no", writable ? "yes" : "no",
       admin < 0 ? "not here"
       : admin   ? "yes"
                 : "no");
  Line("ANSI code page: %u", GetACP());
  if (g_toolSize >= 0)
    Line("REMOVE.EXE checked: %s, %d bytes", toolPath, g_toolSize);
  else
    Line("REMOVE.EXE checked: %s, not there", toolPath);
  return writable && admin != 0 ? 1 : 0;
}

/* The command line after its first word (the program), without quotes and
 * blanks around it; at most MAX_PATH characters. */
static void Argument(char* out) {
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

void __stdcall KalcheckStart(void) {
  Path own, argument, tool, report;
  Text reason;
  char* name = own;
  GetModuleFileNameA(NULL, own, MAX_PATH);
  for (char* c = own; *c; ++c)
    if (*c == '\\') name = c;
  *name = 0;
  Argument(argument);
  g_afterRestart = lstrcmpiA(argument, "/after-restart") == 0;
  if (argument[0] && !g_afterRestart)
    lstrcpyA(g_kit, argument);
  else
    wsprintfA(g_kit, "%s\\kit", own);
  wsprintfA(report, "%s\\KALCHECK.TXT", own);
  g_console = GetStdHandle(STD_OUTPUT_HANDLE);
  /* After a restart the report goes on below the run's own lines. */
  g_report =
      CreateFileA(report, GENERIC_WRITE, FILE_SHARE_READ, NULL, g_afterRestart ? OPEN_ALWAYS : CREATE_ALWAYS, 0, NULL);
  SetFilePointer(g_report, 0, NULL, FILE_END);
  g_snapshot = (void*)Find("KERNEL32.DLL", "CreateToolhelp32Snapshot");
  g_first = (void*)Find("KERNEL32.DLL", "Process32First");
  g_next = (void*)Find("KERNEL32.DLL", "Process32Next");
  if (g_first == NULL || g_next == NULL) g_snapshot = NULL;
  GetEnvironmentVariableA("TEMP", g_temp, MAX_PATH);
  GetEnvironmentVariableA("WINDIR", g_wininit, MAX_PATH);
  lstrcatA(g_wininit, "\\WININIT.INI");
  wsprintfA(g_copy, "%s\\~REMOVE.TMP", g_temp);
  ShellFolder("Programs", g_group);
  lstrcatA(g_group, "\\Kalmaris");
  ShellFolder("Startup", g_startup);
  wsprintfA(g_startupLink, "%s\\Kalmaris.lnk", g_startup);
  wsprintfA(tool, "%s\\REMOVE.EXE", g_kit);
  g_toolSize = ReadWhole(tool, g_tool, sizeof g_tool);
  int admin = Head(tool);

  if (g_afterRestart) {
    if (g_nt) {
      Line(kCopyStays, g_copy);
    } else {
      wsprintfA(reason, "after the restart: the temporary copy %s is gone", g_copy);
      Check(!There(g_copy), reason, "still there");
    }
    ExitProcess(g_failed);
  }

  reason[0] = 0;
  for (int i = 0; i < 5; ++i) {
    wsprintfA(tool, "%s\\%s", g_kit, kFiles[i]);
    if (!reason[0] && !There(tool))
      wsprintfA(reason, "the kit %s lacks %s%s", g_kit, kFiles[i],
                GetACP() != 1250 ? " (or the ANSI code page is not 1250, see the README)" : "");
  }
  HKEY key = OpenUninstallKey();
  if (key != NULL) {
    RegCloseKey(key);
    lstrcpyA(reason, "Kalmaris 2001 is installed: its uninstall entry exists");
  } else if (There(INSTALL_DIR)) {
    lstrcpyA(reason, "Kalmaris 2001 is installed: " INSTALL_DIR " exists");
  } else if (!admin && !reason[0]) {
    lstrcpyA(reason, "no administrator rights: start KALCHECK.EXE as administrator");
  }
  if (reason[0]) {
    Line("refused: %s; nothing was changed", reason);
    ExitProcess(2);
  }

  CoInitialize(NULL);
  if (Install()) Uninstall();
  Line("Left on this machine (KALCHECK removes nothing the tool should have removed):");
  key = OpenUninstallKey();
  if (key != NULL) {
    RegCloseKey(key);
    Line("left    the uninstall entry of Kalmaris 2001");
  }
  const char* paths[] = {INSTALL_DIR, g_group, g_startupLink, g_copy};
  for (int i = 0; i < 4; ++i)
    if (There(paths[i])) Line("left    %s", paths[i]);
  if (g_appended) Line("left    %s: the two lines the uninstall appended", g_wininit);
  if (g_appended && g_nt)
    Line(kCopyStays, g_copy);
  else if (g_appended)
    Line("note    Windows deletes %s at its next start: restart, then run KALCHECK.EXE /after-restart", g_copy);
  Line("%s", g_failed ? "Result: a check FAILED (exit code 1)" : "Result: every check passed (exit code 0)");
  ExitProcess(g_failed);
}
