/* DEBUG_LAUNCHER.EXE: runs a program under the Win32 debugging interface and,
 * when it reaches a chosen point, acts as another program of the same user
 * that tries to put its own code into a file (never shipped).
 *
 *   debug_launcher.exe POINT TARGET PAYLOAD RESULT COMMAND-LINE...
 *
 * POINT    "createprocess": the entry of kernel32.CreateProcessA;
 *          "copyfile": the return from kernel32.CopyFileA (a breakpoint at its
 *          entry, then one at the return address found on the stack);
 *          "holdMS": the same point, where the debugger does not overwrite
 *          TARGET but holds it open for reading, sharing nothing, as a
 *          scanner that reads a new program does, for MS milliseconds ("hold"
 *          alone: until the debugged program has ended).
 * TARGET   the file to overwrite (the launcher's temporary copy).
 * PAYLOAD  the program whose bytes are written into TARGET.
 * RESULT   receives one line per event, "name value...":
 *            hit ADDRESS              the point was reached (once)
 *            overwrite ok | overwrite error CODE
 *                                     CreateFileA(TARGET, GENERIC_WRITE,
 *                                     share read and write, OPEN_EXISTING),
 *                                     then the payload written, the rest cut
 *            replace ok | replace error CODE
 *                                     only after a refused overwrite:
 *                                     MoveFileExA(a staged payload, TARGET,
 *                                     MOVEFILE_REPLACE_EXISTING)
 *            delete ok | delete error CODE
 *                                     only after a refused replace:
 *                                     DeleteFileA(TARGET), and when that
 *                                     works, the payload copied there
 *            hold ok | hold error CODE
 *                                     instead of the three above, for hold
 *            released                 the held file closed after MS
 *            exit CODE                the debugged program's exit code
 *          and "failed WHAT CODE" when the debugger itself could not go on.
 * The rest of the command line is started verbatim with
 * DEBUG_ONLY_THIS_PROCESS, so the programs it starts in turn are not
 * debugged. The debugger's exit code is the debugged program's, or 255.
 *
 * The breakpoint is an int3 written over the first byte of the instruction.
 * When it fires the byte is put back and the instruction pointer set back to
 * it, so the original instruction runs; the breakpoint is not armed again. kernel32 lies at the
 * same address in every process of the session, so the debugger's own
 * GetProcAddress gives the address in the debugged program. Exceptions the
 * debugger did not cause are passed on unhandled.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static FILE* g_result;
static HANDLE g_held = INVALID_HANDLE_VALUE;
static unsigned char* g_payload;
static DWORD g_payloadSize;

static void Note(const char* format, DWORD value) {
  fprintf(g_result, format, (unsigned long)value);
  fputc('\n', g_result);
  fflush(g_result);
}

static unsigned char* ReadWhole(const char* path, DWORD* size) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  unsigned char* data;
  DWORD got = 0;
  if (file == INVALID_HANDLE_VALUE) return NULL;
  *size = GetFileSize(file, NULL);
  data = malloc(*size + 1);
  if (!ReadFile(file, data, *size, &got, NULL) || got != *size) {
    free(data);
    data = NULL;
  }
  CloseHandle(file);
  return data;
}

static int WriteWhole(HANDLE file) {
  DWORD written = 0;
  return WriteFile(file, g_payload, g_payloadSize, &written, NULL) && written == g_payloadSize && SetEndOfFile(file);
}

/* What another program of the user does to the file: overwrite it in place;
 * failing that, replace it by a file of its own; failing that, delete it and
 * put its own in its place. */
static void Attack(const char* target) {
  char staged[MAX_PATH + 8];
  HANDLE file = CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD error = GetLastError();
  if (file != INVALID_HANDLE_VALUE) {
    int written = WriteWhole(file);
    error = GetLastError();
    CloseHandle(file);
    if (written) {
      Note("overwrite ok", 0);
      return;
    }
  }
  Note("overwrite error %lu", error);

  snprintf(staged, sizeof staged, "%s.new", target);
  file = CreateFileA(staged, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE || !WriteWhole(file)) {
    Note("failed staging %lu", GetLastError());
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return;
  }
  CloseHandle(file);
  if (MoveFileExA(staged, target, MOVEFILE_REPLACE_EXISTING)) {
    Note("replace ok", 0);
    return;
  }
  Note("replace error %lu", GetLastError());
  DeleteFileA(staged);

  if (!DeleteFileA(target)) {
    Note("delete error %lu", GetLastError());
    return;
  }
  Note("delete ok", 0);
  file = CreateFileA(target, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE || !WriteWhole(file)) Note("failed recreating %lu", GetLastError());
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

static void Hold(const char* target) {
  g_held = CreateFileA(target, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (g_held == INVALID_HANDLE_VALUE) {
    Note("hold error %lu", GetLastError());
  } else {
    Note("hold ok", 0);
  }
}

/* Writes one byte of the debugged program's code; returns the old byte. */
static int PokeCode(HANDLE process, DWORD address, unsigned char byte, unsigned char* old) {
  DWORD protection = 0;
  SIZE_T done = 0;
  void* at = (void*)(ULONG_PTR)address;
  if (old != NULL && (!ReadProcessMemory(process, at, old, 1, &done) || done != 1)) return 0;
  if (!VirtualProtectEx(process, at, 1, PAGE_EXECUTE_READWRITE, &protection)) return 0;
  int ok = WriteProcessMemory(process, at, &byte, 1, &done) && done == 1;
  VirtualProtectEx(process, at, 1, protection, &protection);
  FlushInstructionCache(process, at, 1);
  return ok;
}

/* The command line after the first `count` words, as it was written. */
static const char* AfterWords(const char* line, int count) {
  while (count-- > 0) {
    int quoted = 0;
    while (*line == ' ' || *line == '\t') ++line;
    while (*line && (quoted || (*line != ' ' && *line != '\t'))) {
      if (*line == '"') quoted = !quoted;
      ++line;
    }
  }
  while (*line == ' ' || *line == '\t') ++line;
  return line;
}

int main(int argc, char** argv) {
  STARTUPINFOA startup;
  PROCESS_INFORMATION started;
  HANDLE process = NULL;
  DWORD entry, breakpoint = 0, exitCode = 255, releaseAt = 0;
  int atReturn, loaded = 0, armed = 0, done = 0, hit = 0, holdFor = -1;
  unsigned char original = 0;
  char* commandLine;
  if (argc < 6) return 255;
  if (strncmp(argv[1], "hold", 4) == 0) holdFor = atoi(argv[1] + 4);
  atReturn = strcmp(argv[1], "copyfile") == 0 || holdFor >= 0;
  g_result = fopen(argv[4], "w");
  if (g_result == NULL) return 255;
  g_payload = ReadWhole(argv[3], &g_payloadSize);
  if (g_payload == NULL) {
    Note("failed payload %lu", GetLastError());
    return 255;
  }
  entry = (DWORD)(ULONG_PTR)GetProcAddress(GetModuleHandleA("kernel32.dll"), atReturn ? "CopyFileA" : "CreateProcessA");
  commandLine = _strdup(AfterWords(GetCommandLineA(), 5));

  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS, NULL, NULL, &startup, &started)) {
    Note("failed start %lu", GetLastError());
    return 255;
  }
  CloseHandle(started.hThread);
  process = started.hProcess;

  while (!done) {
    DEBUG_EVENT event;
    DWORD status = DBG_CONTINUE;
    DWORD wait = INFINITE;
    if (g_held != INVALID_HANDLE_VALUE && holdFor > 0) {
      DWORD now = GetTickCount();
      wait = (int)(releaseAt - now) > 0 ? releaseAt - now : 0;
    }
    if (!WaitForDebugEvent(&event, wait)) {
      if (wait != INFINITE && GetLastError() == ERROR_SEM_TIMEOUT) {
        CloseHandle(g_held);
        g_held = INVALID_HANDLE_VALUE;
        Note("released", 0);
        continue;
      }
      Note("failed wait %lu", GetLastError());
      break;
    }
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != NULL) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != NULL) CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        exitCode = event.u.ExitProcess.dwExitCode;
        done = 1;
        break;
      case EXCEPTION_DEBUG_EVENT: {
        EXCEPTION_RECORD* record = &event.u.Exception.ExceptionRecord;
        DWORD address = (DWORD)(ULONG_PTR)record->ExceptionAddress;
        HANDLE thread;
        CONTEXT context;
        if (record->ExceptionCode == EXCEPTION_BREAKPOINT && !loaded) {
          /* The loader's breakpoint: the imports are in place. */
          loaded = 1;
          breakpoint = entry;
          armed = PokeCode(process, breakpoint, 0xCC, &original);
          if (!armed) Note("failed arming %lu", GetLastError());
          break;
        }
        if (record->ExceptionCode != EXCEPTION_BREAKPOINT || !armed || address != breakpoint) {
          status = DBG_EXCEPTION_NOT_HANDLED;
          break;
        }
        thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
        memset(&context, 0, sizeof context);
        context.ContextFlags = CONTEXT_CONTROL;
        if (thread == NULL || !GetThreadContext(thread, &context)) {
          Note("failed context %lu", GetLastError());
          armed = 0;
          if (thread != NULL) CloseHandle(thread);
          break;
        }
        PokeCode(process, breakpoint, original, NULL);
        armed = 0;
        context.Eip = breakpoint;
        if (atReturn && breakpoint == entry) {
          /* At CopyFileA's entry: the return address is on top of the stack. */
          DWORD back = 0;
          SIZE_T got = 0;
          if (ReadProcessMemory(process, (void*)(ULONG_PTR)context.Esp, &back, sizeof back, &got) &&
              got == sizeof back) {
            breakpoint = back;
            armed = PokeCode(process, breakpoint, 0xCC, &original);
          }
          if (!armed) Note("failed arming the return %lu", GetLastError());
        } else {
          hit = 1;
          Note("hit %08lx", breakpoint);
          if (holdFor >= 0) {
            Hold(argv[2]);
            releaseAt = GetTickCount() + (DWORD)holdFor;
          } else {
            Attack(argv[2]);
          }
        }
        SetThreadContext(thread, &context);
        CloseHandle(thread);
        break;
      }
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  if (g_held != INVALID_HANDLE_VALUE) CloseHandle(g_held);
  if (!hit) Note("missed %08lx", entry);
  Note("exit %lu", exitCode);
  fclose(g_result);
  CloseHandle(process);
  return (int)exitCode;
}
