/* CLICKER.EXE: the test harness's helper inside a Wine session (never shipped).
 *
 * Started once per session as `clicker.exe CONTROL_DIR`, it runs until the file
 * CONTROL_DIR\stop appears (or a "stop" request arrives). Meanwhile it
 *
 *  - answers message boxes: every visible top-level window of class #32770 is
 *    answered with the next word of the current answer list (yes, no, ok,
 *    cancel) by posting WM_COMMAND with IDYES/IDNO/IDOK/IDCANCEL; a word
 *    written "CAPTION=word" is kept for the first box with that caption
 *    instead of taking its turn in the list; once the list is used up a box
 *    gets OK when it has an OK button, else No, else Cancel; the list "none"
 *    answers no box at all (for a program that answers its own). Each answered
 *    box is appended to CONTROL_DIR\boxes.log as
 *    "box <seq> <pid> <caption hex> <text hex> <answer> <buttons hex>".
 *    With screenshots on, a box is first activated again so that it is drawn
 *    as the active window (see ActivateAgain), then announced as
 *    CONTROL_DIR\box.<seq> (its log line, then "rect <left> <top> <right>
 *    <bottom>" on the screen) and answered only when the harness has written
 *    CONTROL_DIR\shot.<seq>.
 *  - serves requests: the harness writes CONTROL_DIR\request.<n> (n = 1, 2,
 *    ...); the first line is a verb, each further line one operand in
 *    hexadecimal. The reply goes to CONTROL_DIR\response.<n>: "ok" or
 *    "error <code>" on the first line, then values, again in hexadecimal.
 *    Both files appear whole (written under another name, then renamed).
 *
 * Verbs:
 *   ping
 *   answers SHOTS WORD...       new answer list; SHOTS "1" turns screenshots on
 *   start CMDLINE APP CWD ENV   CreateProcessA; APP or CWD empty = none; ENV
 *                               empty = the clicker's own environment, else
 *                               the block (entries separated by zero bytes).
 *                               The process is put in a job of its own; when
 *                               the job holds no process any more the file
 *                               CONTROL_DIR\finished.<n> receives the first
 *                               process's exit code in decimal. Reply: pid.
 *   hold PATH                   opens PATH for reading and writing, sharing
 *                               nothing, and keeps it open. Reply: ok or the
 *                               error code.
 *   release PATH                closes what hold opened.
 *   watch PATH MS LOG           acts as a security scanner does on a new file,
 *                               in a thread of its own: waits until PATH can
 *                               be opened, opens it sharing everything (read,
 *                               write, delete) and keeps it open. Every 25 ms
 *                               it looks for a pending deletion: a new open of
 *                               PATH fails with error 5 (Windows), or the
 *                               relay log LOG (optional) shows a DeleteFileA
 *                               of PATH that returned 1 (Wine, which still
 *                               opens such a file). Then it keeps the file MS
 *                               (decimal) milliseconds longer and closes it,
 *                               which completes the deletion. Gives up and
 *                               closes after 120 s in all. Reply: ok at once.
 *   regset KEY NAME TYPE DATA   creates KEY and sets the value (TYPE decimal)
 *   regquery KEY NAME           reply: type (decimal), data
 *   regdelete KEY NAME          deletes the value
 *   regdeletekey KEY            deletes KEY with everything below it
 *   regkeys KEY                 reply: the names of the subkeys
 *   regvalues KEY               reply: name, type, data for every value
 *   environment                 reply: the clicker's own environment entries
 *   shelllink PATH              loads the Shell Link file PATH through the
 *                               shell (CLSID_ShellLink, IPersistFile::Load);
 *                               reply: IShellLinkA::GetPath, then
 *                               GetWorkingDirectory
 *   window TITLE                the first visible top-level window (not a
 *                               box) whose title contains TITLE, activated
 *                               again as a box is (see ActivateAgain); reply:
 *                               pid, left, top, right, bottom (decimal), or
 *                               error 2 while there is none
 *   close TITLE                 posts WM_CLOSE to every visible top-level
 *                               window whose title contains TITLE; reply:
 *                               how many (decimal)
 *   stop
 * KEY is "HKLM\\...", "HKCU\\...", "HKCR\\..." or "HKU\\..." (long forms too);
 * "HKLM64\\..." is HKLM in the 64-bit view of a 64-bit system (the clicker is a
 * 32-bit program, whose own view of HKLM\Software is Software\Wow6432Node).
 */
#define COBJMACROS
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
/* After windows.h, which it needs. */
#include <shlobj.h>

#define MAX_ANSWERS 256
#define MAX_JOBS 64
#define MAX_HELD 32
#define MAX_SEEN 256
#define MAX_OPERANDS 40
#define MAX_CAPTION_ANSWERS 16

static char g_dir[MAX_PATH];
static int g_answers[MAX_ANSWERS];
static int g_answerCount;
static int g_answerNext;

/* Answers kept for the first box with a given caption ("CAPTION=word"). */
struct CaptionAnswer {
  char caption[512];
  int answer;
  int used;
};
static struct CaptionAnswer g_captionAnswers[MAX_CAPTION_ANSWERS];
static int g_captionAnswerCount;
static int g_shots;
static int g_boxSeq;
static int g_handsOff;

struct Job {
  HANDLE job;
  HANDLE process;
  int id;
};
static struct Job g_jobs[MAX_JOBS];
static int g_jobCount;

struct Held {
  HANDLE handle;
  char path[MAX_PATH];
};
static struct Held g_held[MAX_HELD];

/* Boxes already handled: the answer posted, the box's number, when. */
struct Seen {
  HWND hwnd;
  int answer;
  int seq;
  int posted;
  DWORD time;
};
static struct Seen g_seen[MAX_SEEN];

static void PathIn(char* out, const char* name) {
  snprintf(out, MAX_PATH, "%s\\%s", g_dir, name);
}

static int FileThere(const char* name) {
  char path[MAX_PATH];
  PathIn(path, name);
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

/* Writes a whole file under a temporary name, then renames it. */
static void WriteWhole(const char* name, const char* data, size_t length) {
  char path[MAX_PATH], temporary[MAX_PATH];
  PathIn(path, name);
  snprintf(temporary, sizeof temporary, "%s.tmp", path);
  FILE* f = fopen(temporary, "wb");
  if (!f) return;
  fwrite(data, 1, length, f);
  fclose(f);
  MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING);
}

static void AppendLog(const char* line) {
  char path[MAX_PATH];
  PathIn(path, "boxes.log");
  FILE* f = fopen(path, "ab");
  if (!f) return;
  fputs(line, f);
  fclose(f);
}

static void Hex(char* out, const unsigned char* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  size_t i;
  for (i = 0; i < length; ++i) {
    out[2 * i] = digits[data[i] >> 4];
    out[2 * i + 1] = digits[data[i] & 15];
  }
  out[2 * length] = 0;
}

static size_t Unhex(unsigned char* out, const char* text) {
  size_t n = 0;
  while (text[0] && text[1]) {
    char pair[3] = {text[0], text[1], 0};
    out[n++] = (unsigned char)strtoul(pair, NULL, 16);
    text += 2;
  }
  out[n] = 0;
  return n;
}

/* ---- message boxes ---- */

static int ButtonThere(HWND box, int id) {
  HWND button = GetDlgItem(box, id);
  return button != NULL && IsWindowVisible(button);
}

static int DefaultAnswer(HWND box) {
  if (ButtonThere(box, IDOK)) return IDOK;
  if (ButtonThere(box, IDNO)) return IDNO;
  return IDCANCEL;
}

static const char* AnswerWord(int answer) {
  switch (answer) {
    case IDOK:
      return "ok";
    case IDYES:
      return "yes";
    case IDNO:
      return "no";
    case IDCANCEL:
      return "cancel";
  }
  return "?";
}

static void PostAnswer(HWND box, int answer) {
  HWND button = GetDlgItem(box, answer);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), (LPARAM)button);
}

static struct Seen* FindSeen(HWND hwnd) {
  int i;
  for (i = 0; i < MAX_SEEN; ++i) {
    if (g_seen[i].hwnd == hwnd) return &g_seen[i];
  }
  return NULL;
}

static void GetTextOf(HWND window, char* out, int size) {
  DWORD_PTR result = 0;
  out[0] = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, (WPARAM)size, (LPARAM)out, SMTO_ABORTIFHUNG, 2000, &result)) out[0] = 0;
  out[size - 1] = 0;
}

static int WordAnswer(const char* word) {
  return _stricmp(word, "yes") == 0      ? IDYES
         : _stricmp(word, "no") == 0     ? IDNO
         : _stricmp(word, "cancel") == 0 ? IDCANCEL
                                         : IDOK;
}

/* The answer for a new box: one kept for its caption, else the next in turn. */
static int ChooseAnswer(HWND box, const char* caption) {
  int i;
  for (i = 0; i < g_captionAnswerCount; ++i) {
    struct CaptionAnswer* kept = &g_captionAnswers[i];
    if (!kept->used && strcmp(kept->caption, caption) == 0) {
      kept->used = 1;
      return kept->answer;
    }
  }
  return g_answerNext < g_answerCount ? g_answers[g_answerNext++] : DefaultAnswer(box);
}

/* The active window of a window's thread, or NULL. */
static HWND ActiveOf(DWORD thread) {
  GUITHREADINFO info;
  memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(thread, &info) ? info.hwndActive : NULL;
}

/* Waits (at most a second) until the thread's active window is or is not
 * the box, as wanted. */
static void AwaitActive(DWORD thread, HWND box, int wanted) {
  int tries;
  for (tries = 0; tries < 50 && (ActiveOf(thread) == box) != wanted; ++tries) Sleep(20);
}

/* Wine 8 activates a process's first window while another process's window
 * (the desktop's, when nothing else is open) is still the foreground one, so
 * the box is told it is inactive and keeps a grey title, though it becomes
 * the foreground window right after. Handing the foreground to the desktop
 * and back activates the box again, now as the foreground window: it is
 * drawn as Windows shows a new box, with an active title. Each step is
 * awaited: the box's thread carries it out when it reads its messages. */
static void ActivateAgain(HWND box) {
  DWORD thread = GetWindowThreadProcessId(box, NULL);
  if (GetForegroundWindow() != box) return;
  SetForegroundWindow(GetDesktopWindow());
  AwaitActive(thread, box, 0);
  SetForegroundWindow(box);
  AwaitActive(thread, box, 1);
}

static void NoticeBox(HWND box) {
  struct Seen* seen = FindSeen(box);
  DWORD now = GetTickCount();
  if (seen == NULL) {
    int i;
    char caption[4096], text[8192], line[30000], captionHex[8200], textHex[16400];
    DWORD pid = 0;
    int buttons = 0, b;
    for (i = 0; i < MAX_SEEN && g_seen[i].hwnd != NULL && IsWindow(g_seen[i].hwnd); ++i) {
    }
    if (i == MAX_SEEN) i = 0;
    seen = &g_seen[i];
    seen->hwnd = box;
    seen->seq = ++g_boxSeq;
    seen->posted = 0;
    seen->time = now;
    GetWindowThreadProcessId(box, &pid);
    GetTextOf(box, caption, sizeof caption);
    seen->answer = ChooseAnswer(box, caption);
    HWND label = GetDlgItem(box, 0xFFFF);
    if (label != NULL) {
      GetTextOf(label, text, sizeof text);
    } else {
      text[0] = 0;
    }
    for (b = IDOK; b <= 11; ++b) {
      if (ButtonThere(box, b)) buttons |= 1 << b;
    }
    Hex(captionHex, (const unsigned char*)caption, strlen(caption));
    Hex(textHex, (const unsigned char*)text, strlen(text));
    snprintf(line, sizeof line, "box %d %lu %s %s %s %x\n", seen->seq, (unsigned long)pid, captionHex, textHex,
             AnswerWord(seen->answer), buttons);
    AppendLog(line);
    if (g_shots) {
      char name[64];
      RECT frame;
      ActivateAgain(box);
      size_t length = strlen(line);
      if (GetWindowRect(box, &frame)) {
        snprintf(line + length, sizeof line - length, "rect %ld %ld %ld %ld\n", (long)frame.left, (long)frame.top,
                 (long)frame.right, (long)frame.bottom);
      }
      snprintf(name, sizeof name, "box.%d", seen->seq);
      WriteWhole(name, line, strlen(line));
    }
  }
  if (g_shots && !seen->posted) {
    char name[64];
    snprintf(name, sizeof name, "shot.%d", seen->seq);
    if (!FileThere(name)) return;
  }
  /* Posted once; posted again only if the box is still there a second later. */
  if (!seen->posted || now - seen->time > 1000) {
    PostAnswer(box, seen->answer);
    seen->posted = 1;
    seen->time = now;
  }
}

static BOOL CALLBACK EachWindow(HWND hwnd, LPARAM unused) {
  char name[64];
  (void)unused;
  if (!IsWindowVisible(hwnd)) return TRUE;
  if (GetClassNameA(hwnd, name, sizeof name) == 0) return TRUE;
  if (strcmp(name, "#32770") == 0) NoticeBox(hwnd);
  return TRUE;
}

/* ---- other windows ---- */

/* A search among the top-level windows by a part of the title. */
struct TitleSearch {
  const char* part;
  HWND found;
  int closed;
  int close;
};

static BOOL CALLBACK EachTitled(HWND hwnd, LPARAM parameter) {
  struct TitleSearch* search = (struct TitleSearch*)parameter;
  char name[64], title[1024];
  if (!IsWindowVisible(hwnd)) return TRUE;
  if (GetClassNameA(hwnd, name, sizeof name) == 0 || strcmp(name, "#32770") == 0) return TRUE;
  GetTextOf(hwnd, title, sizeof title);
  if (strstr(title, search->part) == NULL) return TRUE;
  if (!search->close) {
    search->found = hwnd;
    return FALSE;
  }
  PostMessageA(hwnd, WM_CLOSE, 0, 0);
  ++search->closed;
  return TRUE;
}

/* ---- registry ---- */

static HKEY RootOf(const char* key, const char** rest, REGSAM* view) {
  static const struct {
    const char* name;
    HKEY root;
    REGSAM view;
  } roots[] = {{"HKLM", HKEY_LOCAL_MACHINE, 0},
               {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE, 0},
               {"HKCU", HKEY_CURRENT_USER, 0},
               {"HKEY_CURRENT_USER", HKEY_CURRENT_USER, 0},
               {"HKCR", HKEY_CLASSES_ROOT, 0},
               {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT, 0},
               {"HKU", HKEY_USERS, 0},
               {"HKEY_USERS", HKEY_USERS, 0},
               {"HKLM64", HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY}};
  size_t i;
  for (i = 0; i < sizeof roots / sizeof roots[0]; ++i) {
    size_t n = strlen(roots[i].name);
    if (_strnicmp(key, roots[i].name, n) == 0 && (key[n] == '\\' || key[n] == 0)) {
      *rest = key[n] == '\\' ? key + n + 1 : key + n;
      *view = roots[i].view;
      return roots[i].root;
    }
  }
  return NULL;
}

/* ---- requests ---- */

struct Reply {
  char* text;
  size_t length, capacity;
};

static void Put(struct Reply* reply, const char* text) {
  size_t n = strlen(text);
  if (reply->length + n + 1 > reply->capacity) {
    reply->capacity = (reply->length + n + 1) * 2;
    reply->text = realloc(reply->text, reply->capacity);
  }
  memcpy(reply->text + reply->length, text, n + 1);
  reply->length += n;
}

static void PutHex(struct Reply* reply, const void* data, size_t length) {
  char* hex = malloc(length * 2 + 2);
  Hex(hex, data, length);
  strcat(hex, "\n");
  Put(reply, hex);
  free(hex);
}

static void PutNumber(struct Reply* reply, long value) {
  char text[32];
  snprintf(text, sizeof text, "%ld\n", value);
  Put(reply, text);
}

static void PutError(struct Reply* reply, long code) {
  char text[32];
  snprintf(text, sizeof text, "error %ld\n", code);
  Put(reply, text);
}

/* ---- the scanner's hold ---- */

#define WATCH_LIMIT_MS 120000
#define WATCH_POLL_MS 25
#define WATCH_LINE 8192

struct Watch {
  char path[MAX_PATH];
  DWORD hold;
  /* The session's relay log (empty: none), read from where it ended when
   * the watch began; the line read so far, the call seen and its thread. */
  char log[MAX_PATH];
  DWORD logOffset;
  char needle[4 * MAX_PATH + 4];
  char line[WATCH_LINE];
  size_t lineLength;
  char caller[32];
};

static HANDLE OpenSharingAll(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, NULL);
}

static int ContainsNoCase(const char* text, const char* part) {
  size_t n = strlen(part);
  for (; *text; ++text) {
    if (_strnicmp(text, part, n) == 0) return 1;
  }
  return 0;
}

/* The path as the relay log writes a string argument: quoted, with \\ \" \n
 * \r \t escaped and other unprintable bytes as \xNN; then the closing
 * parenthesis, DeleteFileA's one argument being the last. */
static void RelayNeedle(struct Watch* watch) {
  char* out = watch->needle;
  const unsigned char* c;
  *out++ = '"';
  for (c = (const unsigned char*)watch->path; *c; ++c) {
    if (*c == '\\' || *c == '"') {
      *out++ = '\\';
      *out++ = (char)*c;
    } else if (*c >= 0x20 && *c < 0x7F) {
      *out++ = (char)*c;
    } else {
      out += sprintf(out, *c == '\n' ? "\\n" : *c == '\r' ? "\\r" : *c == '\t' ? "\\t" : "\\x%02x", *c);
    }
  }
  strcpy(out, "\")");
}

/* One line of the relay log: a call DeleteFileA(PATH) remembers its
 * "pid:tid:" prefix; that thread's return of DeleteFileA with 1 says that
 * the deletion succeeded, so it is pending while the file is held. */
static int LineShowsDeletion(struct Watch* watch, const char* line) {
  const char* kind = strstr(line, ":Call ");
  if (kind == NULL) kind = strstr(line, ":Ret  ");
  if (kind == NULL || strstr(kind, ".DeleteFileA(") == NULL) return 0;
  if (kind[1] == 'C') {
    size_t prefix = (size_t)(kind - line) + 1;
    if (ContainsNoCase(kind, watch->needle) && prefix < sizeof watch->caller) {
      memcpy(watch->caller, line, prefix);
      watch->caller[prefix] = 0;
    }
    return 0;
  }
  if (watch->caller[0] == 0 || strncmp(line, watch->caller, strlen(watch->caller)) != 0) return 0;
  watch->caller[0] = 0;
  return strstr(kind, "retval=00000001") != NULL;
}

/* Reads what the relay log has gained since the last look. */
static int RelayShowsDeletion(struct Watch* watch) {
  static char chunk[65536];
  HANDLE log;
  DWORD got = 0, i;
  int deleted = 0;
  if (watch->log[0] == 0) return 0;
  log = CreateFileA(watch->log, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (log == INVALID_HANDLE_VALUE) return 0;
  if (SetFilePointer(log, (LONG)watch->logOffset, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
    ReadFile(log, chunk, sizeof chunk, &got, NULL);
  }
  CloseHandle(log);
  for (i = 0; i < got && !deleted; ++i) {
    if (chunk[i] != '\n') {
      /* The start of an overlong line is dropped; the calls sought are short. */
      if (watch->lineLength == WATCH_LINE - 1) watch->lineLength = 0;
      watch->line[watch->lineLength++] = chunk[i];
      continue;
    }
    watch->line[watch->lineLength] = 0;
    watch->lineLength = 0;
    deleted = LineShowsDeletion(watch, watch->line);
  }
  watch->logOffset += i;
  return deleted;
}

/* A file with a pending deletion stays until the last handle to it is
 * closed: holding it delays the deletion as long as a scanner takes to look
 * at the file. Windows refuses new opens of it (error 5); Wine opens it as
 * before, so there the relay log tells of the successful DeleteFileA. */
static DWORD WINAPI WatchFile(void* parameter) {
  struct Watch* watch = parameter;
  DWORD started = GetTickCount();
  HANDLE held = INVALID_HANDLE_VALUE;
  int pending = 0;
  while (held == INVALID_HANDLE_VALUE && GetTickCount() - started < WATCH_LIMIT_MS) {
    held = OpenSharingAll(watch->path);
    if (held == INVALID_HANDLE_VALUE) Sleep(WATCH_POLL_MS);
  }
  while (held != INVALID_HANDLE_VALUE && !pending && GetTickCount() - started < WATCH_LIMIT_MS) {
    HANDLE again = OpenSharingAll(watch->path);
    if (again != INVALID_HANDLE_VALUE) {
      CloseHandle(again);
    } else if (GetLastError() == ERROR_ACCESS_DENIED) {
      pending = 1;
    }
    if (!pending) pending = RelayShowsDeletion(watch);
    if (!pending) Sleep(WATCH_POLL_MS);
  }
  if (pending) Sleep(watch->hold);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  free(watch);
  return 0;
}

static void StartWatch(unsigned char** operand, struct Reply* reply) {
  struct Watch* watch = calloc(1, sizeof *watch);
  HANDLE thread;
  lstrcpynA(watch->path, (char*)operand[0], MAX_PATH);
  watch->hold = strtoul((char*)operand[1], NULL, 10);
  lstrcpynA(watch->log, (char*)operand[2], MAX_PATH);
  RelayNeedle(watch);
  if (watch->log[0]) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(watch->log, GetFileExInfoStandard, &data)) watch->logOffset = data.nFileSizeLow;
  }
  thread = CreateThread(NULL, 0, WatchFile, watch, 0, NULL);
  if (thread == NULL) {
    PutError(reply, (long)GetLastError());
    free(watch);
    return;
  }
  CloseHandle(thread);
  Put(reply, "ok\n");
}

/* Where the Shell Link file at path points: GetPath and GetWorkingDirectory
 * of the shell's own link object after IPersistFile::Load. */
static void ReadShellLink(const char* path, struct Reply* reply) {
  IShellLinkA* link = NULL;
  IPersistFile* file = NULL;
  WCHAR wide[MAX_PATH];
  char target[MAX_PATH], directory[MAX_PATH];
  HRESULT result;
  target[0] = directory[0] = 0;
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) == 0) {
    PutError(reply, (long)GetLastError());
    return;
  }
  result = CoCreateInstance(&CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, &IID_IShellLinkA, (void**)&link);
  if (SUCCEEDED(result)) result = IShellLinkA_QueryInterface(link, &IID_IPersistFile, (void**)&file);
  if (SUCCEEDED(result)) result = IPersistFile_Load(file, wide, STGM_READ);
  if (SUCCEEDED(result)) result = IShellLinkA_GetPath(link, target, MAX_PATH, NULL, 0);
  if (SUCCEEDED(result)) result = IShellLinkA_GetWorkingDirectory(link, directory, MAX_PATH);
  if (SUCCEEDED(result)) {
    Put(reply, "ok\n");
    PutHex(reply, target, strlen(target));
    PutHex(reply, directory, strlen(directory));
  } else {
    PutError(reply, (long)result);
  }
  if (file != NULL) IPersistFile_Release(file);
  if (link != NULL) IShellLinkA_Release(link);
}

static void Start(int id, unsigned char** operand, size_t* size, struct Reply* reply) {
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  HANDLE job;
  const char* application = size[1] ? (const char*)operand[1] : NULL;
  const char* directory = size[2] ? (const char*)operand[2] : NULL;
  void* environment = NULL;
  if (size[3]) {
    /* The block ends with two zero bytes whatever the harness sent. */
    environment = calloc(size[3] + 2, 1);
    memcpy(environment, operand[3], size[3]);
  }
  if (g_jobCount == MAX_JOBS) {
    PutError(reply, 8);
    return;
  }
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  job = CreateJobObjectA(NULL, NULL);
  if (!CreateProcessA(application, (char*)operand[0], NULL, NULL, FALSE, CREATE_SUSPENDED, environment, directory,
                      &startup, &process)) {
    PutError(reply, (long)GetLastError());
    CloseHandle(job);
    free(environment);
    return;
  }
  free(environment);
  AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  g_jobs[g_jobCount].job = job;
  g_jobs[g_jobCount].process = process.hProcess;
  g_jobs[g_jobCount].id = id;
  ++g_jobCount;
  Put(reply, "ok\n");
  PutNumber(reply, (long)process.dwProcessId);
}

static void CheckJobs(void) {
  int i = 0;
  while (i < g_jobCount) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
    int done;
    memset(&info, 0, sizeof info);
    if (QueryInformationJobObject(g_jobs[i].job, JobObjectBasicAccountingInformation, &info, sizeof info, NULL)) {
      done = info.ActiveProcesses == 0;
    } else {
      done = WaitForSingleObject(g_jobs[i].process, 0) == WAIT_OBJECT_0;
    }
    if (done) {
      DWORD code = 0;
      char name[64], text[64];
      WaitForSingleObject(g_jobs[i].process, 5000);
      GetExitCodeProcess(g_jobs[i].process, &code);
      snprintf(name, sizeof name, "finished.%d", g_jobs[i].id);
      snprintf(text, sizeof text, "%lu\n%lu\n", (unsigned long)code, (unsigned long)info.TotalProcesses);
      WriteWhole(name, text, strlen(text));
      CloseHandle(g_jobs[i].process);
      CloseHandle(g_jobs[i].job);
      g_jobs[i] = g_jobs[--g_jobCount];
    } else {
      ++i;
    }
  }
}

static int Serve(int id, char* request, struct Reply* reply) {
  unsigned char* operand[MAX_OPERANDS];
  size_t size[MAX_OPERANDS];
  int count = 0, i;
  char* verb = strtok(request, "\r\n");
  char* line;
  if (verb == NULL) verb = "";
  memset(size, 0, sizeof size);
  for (i = 0; i < MAX_OPERANDS; ++i) {
    operand[i] = (unsigned char*)"";
  }
  /* Empty operands are written as "-" so the lines keep their places. */
  while (count < MAX_OPERANDS && (line = strtok(NULL, "\r\n")) != NULL) {
    if (strcmp(line, "-") == 0) line = "";
    operand[count] = malloc(strlen(line) / 2 + 2);
    size[count] = Unhex(operand[count], line);
    ++count;
  }

  if (strcmp(verb, "ping") == 0) {
    Put(reply, "ok\n");
  } else if (strcmp(verb, "stop") == 0) {
    Put(reply, "ok\n");
  } else if (strcmp(verb, "answers") == 0) {
    g_shots = count > 0 && strcmp((char*)operand[0], "1") == 0;
    g_answerCount = 0;
    g_answerNext = 0;
    g_captionAnswerCount = 0;
    g_handsOff = count == 2 && strcmp((char*)operand[1], "none") == 0;
    for (i = 1; i < count && !g_handsOff; ++i) {
      const char* word = (const char*)operand[i];
      const char* equals = strrchr(word, '=');
      if (equals != NULL) {
        struct CaptionAnswer* kept;
        size_t length = (size_t)(equals - word);
        if (g_captionAnswerCount == MAX_CAPTION_ANSWERS || length >= sizeof kept->caption) continue;
        kept = &g_captionAnswers[g_captionAnswerCount++];
        memcpy(kept->caption, word, length);
        kept->caption[length] = 0;
        kept->answer = WordAnswer(equals + 1);
        kept->used = 0;
      } else if (g_answerCount < MAX_ANSWERS) {
        g_answers[g_answerCount++] = WordAnswer(word);
      }
    }
    Put(reply, "ok\n");
  } else if (strcmp(verb, "start") == 0) {
    Start(id, operand, size, reply);
  } else if (strcmp(verb, "environment") == 0) {
    char* block = GetEnvironmentStringsA();
    const char* entry;
    Put(reply, "ok\n");
    for (entry = block; *entry; entry += strlen(entry) + 1) PutHex(reply, entry, strlen(entry));
    FreeEnvironmentStringsA(block);
  } else if (strcmp(verb, "shelllink") == 0) {
    ReadShellLink((const char*)operand[0], reply);
  } else if (strcmp(verb, "window") == 0 || strcmp(verb, "close") == 0) {
    struct TitleSearch search = {(const char*)operand[0], NULL, 0, strcmp(verb, "close") == 0};
    EnumWindows(EachTitled, (LPARAM)&search);
    if (search.close) {
      Put(reply, "ok\n");
      PutNumber(reply, search.closed);
    } else if (search.found == NULL) {
      PutError(reply, ERROR_FILE_NOT_FOUND);
    } else {
      RECT frame;
      DWORD pid = 0;
      ActivateAgain(search.found);
      GetWindowThreadProcessId(search.found, &pid);
      GetWindowRect(search.found, &frame);
      Put(reply, "ok\n");
      PutNumber(reply, (long)pid);
      PutNumber(reply, frame.left);
      PutNumber(reply, frame.top);
      PutNumber(reply, frame.right);
      PutNumber(reply, frame.bottom);
    }
  } else if (strcmp(verb, "hold") == 0) {
    HANDLE handle =
        CreateFileA((char*)operand[0], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
      PutError(reply, (long)GetLastError());
    } else {
      for (i = 0; i < MAX_HELD && g_held[i].handle != NULL; ++i) {
      }
      if (i == MAX_HELD) {
        CloseHandle(handle);
        PutError(reply, 8);
      } else {
        g_held[i].handle = handle;
        lstrcpynA(g_held[i].path, (char*)operand[0], MAX_PATH);
        Put(reply, "ok\n");
      }
    }
  } else if (strcmp(verb, "watch") == 0) {
    StartWatch(operand, reply);
  } else if (strcmp(verb, "release") == 0) {
    int found = 0;
    for (i = 0; i < MAX_HELD; ++i) {
      if (g_held[i].handle != NULL && _stricmp(g_held[i].path, (char*)operand[0]) == 0) {
        CloseHandle(g_held[i].handle);
        g_held[i].handle = NULL;
        found = 1;
      }
    }
    if (found) {
      Put(reply, "ok\n");
    } else {
      PutError(reply, 6);
    }
  } else if (strncmp(verb, "reg", 3) == 0) {
    const char* path;
    REGSAM view = 0;
    HKEY root = RootOf((char*)operand[0], &path, &view);
    HKEY key;
    LONG status;
    if (root == NULL) {
      PutError(reply, ERROR_INVALID_PARAMETER);
    } else if (strcmp(verb, "regset") == 0) {
      status = RegCreateKeyExA(root, path, 0, NULL, 0, KEY_ALL_ACCESS | view, NULL, &key, NULL);
      if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(key, size[1] ? (char*)operand[1] : NULL, 0, strtoul((char*)operand[2], NULL, 10),
                                operand[3], (DWORD)size[3]);
        RegCloseKey(key);
      }
      if (status == ERROR_SUCCESS) {
        Put(reply, "ok\n");
      } else {
        PutError(reply, status);
      }
    } else if (strcmp(verb, "regquery") == 0) {
      status = RegOpenKeyExA(root, path, 0, KEY_READ | view, &key);
      if (status == ERROR_SUCCESS) {
        DWORD type = 0, length = 0;
        status = RegQueryValueExA(key, size[1] ? (char*)operand[1] : NULL, NULL, &type, NULL, &length);
        if (status == ERROR_SUCCESS) {
          unsigned char* data = malloc(length + 1);
          status = RegQueryValueExA(key, size[1] ? (char*)operand[1] : NULL, NULL, &type, data, &length);
          if (status == ERROR_SUCCESS) {
            Put(reply, "ok\n");
            PutNumber(reply, (long)type);
            PutHex(reply, data, length);
          }
          free(data);
        }
        RegCloseKey(key);
      }
      if (status != ERROR_SUCCESS) PutError(reply, status);
    } else if (strcmp(verb, "regdelete") == 0) {
      status = RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS | view, &key);
      if (status == ERROR_SUCCESS) {
        status = RegDeleteValueA(key, size[1] ? (char*)operand[1] : NULL);
        RegCloseKey(key);
      }
      if (status == ERROR_SUCCESS) {
        Put(reply, "ok\n");
      } else {
        PutError(reply, status);
      }
    } else if (strcmp(verb, "regdeletekey") == 0) {
      /* With a subkey named, RegDeleteTreeA removes that key as well. */
      status = RegDeleteTreeA(root, path);
      if (status == ERROR_SUCCESS) {
        Put(reply, "ok\n");
      } else {
        PutError(reply, status);
      }
    } else if (strcmp(verb, "regkeys") == 0 || strcmp(verb, "regvalues") == 0) {
      status = RegOpenKeyExA(root, path, 0, KEY_READ | view, &key);
      if (status != ERROR_SUCCESS) {
        PutError(reply, status);
      } else {
        DWORD index;
        Put(reply, "ok\n");
        for (index = 0;; ++index) {
          char name[16384];
          DWORD nameLength = sizeof name, type = 0, length = 0;
          if (strcmp(verb, "regkeys") == 0) {
            if (RegEnumKeyExA(key, index, name, &nameLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) break;
            PutHex(reply, name, nameLength);
          } else {
            static unsigned char data[1 << 16];
            length = sizeof data;
            if (RegEnumValueA(key, index, name, &nameLength, NULL, &type, data, &length) != ERROR_SUCCESS) break;
            PutHex(reply, name, nameLength);
            PutNumber(reply, (long)type);
            PutHex(reply, data, length);
          }
        }
        RegCloseKey(key);
      }
    } else {
      PutError(reply, ERROR_INVALID_FUNCTION);
    }
  } else {
    PutError(reply, ERROR_INVALID_FUNCTION);
  }
  for (i = 0; i < count; ++i) free(operand[i]);
  return strcmp(verb, "stop") == 0;
}

/* Serves the next request if it is there; returns 1 when told to stop. */
static int NextRequest(int* next) {
  char name[64], path[MAX_PATH];
  FILE* f;
  long length;
  char* request;
  struct Reply reply = {NULL, 0, 0};
  int stop;
  snprintf(name, sizeof name, "request.%d", *next);
  PathIn(path, name);
  f = fopen(path, "rb");
  if (!f) return 0;
  fseek(f, 0, SEEK_END);
  length = ftell(f);
  fseek(f, 0, SEEK_SET);
  request = malloc((size_t)length + 1);
  length = (long)fread(request, 1, (size_t)length, f);
  request[length] = 0;
  fclose(f);
  stop = Serve(*next, request, &reply);
  free(request);
  snprintf(name, sizeof name, "response.%d", *next);
  WriteWhole(name, reply.text ? reply.text : "", reply.length);
  free(reply.text);
  ++*next;
  return stop;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show) {
  int next = 1;
  (void)instance;
  (void)previous;
  (void)show;
  lstrcpynA(g_dir, line, MAX_PATH);
  /* The control folder may come quoted. */
  if (g_dir[0] == '"') {
    memmove(g_dir, g_dir + 1, strlen(g_dir));
    if (strchr(g_dir, '"')) *strchr(g_dir, '"') = 0;
  }
  /* The session's desktop (Wine's explorer.exe) starts with the first window
   * a process of the session asks for; Wine 10 does not start it for
   * EnumWindows. Started here, it stays outside the jobs of the programs run
   * later, whose jobs would otherwise never empty. */
  GetDesktopWindow();
  /* The shell's link objects (the shelllink verb) are COM objects. */
  CoInitialize(NULL);
  WriteWhole("ready", "ok\n", 3);
  for (;;) {
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    if (!g_handsOff) EnumWindows(EachWindow, 0);
    CheckJobs();
    if (NextRequest(&next)) break;
    if (FileThere("stop")) break;
    Sleep(20);
  }
  return 0;
}
