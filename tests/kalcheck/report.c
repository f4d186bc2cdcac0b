/* The report, on the console and in the report file, and the few file and
 * text services the checks share. */
#include "tests/kalcheck/kalcheck.h"

/* A function of a module that is loaded already (NTDLL is not there on Windows 95). */
FARPROC LoadedFunction(const char* module, const char* name) {
  HMODULE found = GetModuleHandleA(module);
  return found != NULL ? GetProcAddress(found, name) : NULL;
}

/* Text in the ANSI code page onto the console, in the console's own output
 * code page where it has one (Windows 95 has only the OEM one). */
void WriteToConsole(Run* run, char* text, int length) {
  DWORD written;
  UINT page = run->consoleOutputPage != NULL ? run->consoleOutputPage() : 0;
  if (GetFileType(run->console) == FILE_TYPE_CHAR && page != GetACP()) {
    WCHAR wide[1030];
    char converted[4 * 1030];
    int count = page != 0 ? MultiByteToWideChar(CP_ACP, 0, text, length, wide, 1030) : 0;
    int size = count > 0 ? WideCharToMultiByte(page, 0, wide, count, converted, sizeof converted, NULL, NULL) : 0;
    if (size > 0) {
      WriteFile(run->console, converted, (DWORD)size, &written, NULL);
      return;
    }
    CharToOemBuffA(text, text, (DWORD)length);
  }
  WriteFile(run->console, text, (DWORD)length, &written, NULL);
}

/* One line (at most 1024 characters, wvsprintfA's limit) on the console and in the report. */
void ReportLine(Run* run, const char* format, ...) {
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
  if (run->report != INVALID_HANDLE_VALUE) WriteFile(run->report, text, (DWORD)length, &written, NULL);
  WriteToConsole(run, text, length);
}

void ReportCheck(Run* run, int passed, const char* what, const char* found) {
  if (!passed) run->failed = 1;
  ReportLine(run, "%s  %s%s%s", passed ? "passed" : "FAILED", what, passed ? "" : "; found: ", passed ? "" : found);
}

int SameBytes(const char* a, const char* b, int length) {
  while (length-- > 0)
    if (*a++ != *b++) return 0;
  return 1;
}

/* Two zero-terminated texts byte for byte (lstrcmpA compares by sort weights,
 * which some bytes, the soft hyphen among them, do not have). */
int SameText(const char* a, const char* b) {
  int length = lstrlenA(a);
  return length == lstrlenA(b) && SameBytes(a, b, length);
}

int PathExists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

/* The last part of a path. */
const char* FileName(const char* path) {
  const char* name = path;
  for (; *path; ++path)
    if (*path == '\\' || *path == '/') name = path + 1;
  return name;
}

/* The whole file into buffer (room for capacity bytes and a zero byte); its
 * length, or -1 when it cannot be read or is larger. */
int ReadWholeFile(const char* path, char* buffer, DWORD capacity) {
  DWORD length = 0;
  /* Others may hold the file open meanwhile (a virus scanner the fresh copy). */
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return -1;
  DWORD size = GetFileSize(file, NULL);
  int ok = size < capacity && ReadFile(file, buffer, size, &length, NULL) && length == size;
  CloseHandle(file);
  if (ok) buffer[length] = 0;
  return ok ? (int)length : -1;
}

/* Writes the bytes: the whole file anew (CREATE_ALWAYS) or at the end of
 * what is there (OPEN_ALWAYS). Whether every byte was written. */
int WriteWholeFile(const char* path, const char* data, int length, DWORD disposition) {
  DWORD written = 0;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  int ok = SetFilePointer(file, 0, NULL, FILE_END) != INVALID_SET_FILE_POINTER &&
           WriteFile(file, data, (DWORD)length, &written, NULL) && written == (DWORD)length;
  return CloseHandle(file) && ok;
}
