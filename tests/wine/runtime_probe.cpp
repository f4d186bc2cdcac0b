// RUNTIME_PROBE.EXE: a test-only program that runs one runtime service on real
// Win32 and records what it returned, for tests/wine/test_runtime.py.
//
// Argument 1 names the operation, the arguments after it are its operands:
//   args                      the argument table, ProgramArgument(-1 .. count)
//   env NAME                  EnvironmentValue(NAME)
//   envblock                  the raw environment block, one record per entry
//   exists PATH               PathExists(PATH)
//   mkdir PATH | rmdir PATH   MakeDirectory / DeleteDirectory
//   append FILE ITEM...       AppendTextFile: Open, one line per ITEM, Close.
//                             ITEM "=text" is the line text, "#N:c" is N
//                             times the character c, "+text" is text written
//                             without a line end.
//   fault                     a write through a null pointer
//   overflow                  recursion until the stack runs out
//   box CAPTION TEXT STYLE    MessageBoxA, STYLE in decimal
//   bigbox CAPTION N          MessageBoxA(MB_OK) with a Czech text of N bytes
//   spawn COMMANDLINE         CreateProcessA(COMMANDLINE) and wait for it
//   launch COMMANDLINE        CreateProcessA(COMMANDLINE) and end at once
//   sleep MS                  Sleep(MS)
//   exit N                    ShutDown(N)
//   version                   the Windows version RtlGetVersion reports:
//                             major, minor, build, platform (in decimal)
//
// Results go to the file named like the program with ".out" appended, one
// record a line: a key, a colon and the value's bytes in hexadecimal, so no
// byte of a value can be misread. The file is written through the 16-bit
// compatible _lopen/_lwrite calls, so the program's own relay log (which
// tests read) holds only the calls made by the runtime services themselves.

#include "runtime/arguments.h"
#include "runtime/environment.h"
#include "runtime/fatal_error.h"
#include "runtime/files.h"
#include "runtime/startup.h"
#include "runtime/text.h"
#include "runtime/text_file.h"
#include "runtime/win32.h"

namespace {

char g_resultName[MAX_PATH + 8];
bool g_resultStarted;

bool Same(const ShortText& text, const char* word) {
  return Equal(text, word);
}

// Adds one record to the result file; the file is opened and closed for every
// record so that what was recorded survives a process that ends abruptly. The
// first record of a run starts the file anew.
void Record(const char* key, const char* value, unsigned length) {
  static const char kDigits[] = "0123456789abcdef";
  HFILE file = g_resultStarted ? _lopen(g_resultName, OF_WRITE) : HFILE_ERROR;
  if (file == HFILE_ERROR) file = _lcreat(g_resultName, 0);
  g_resultStarted = true;
  if (file == HFILE_ERROR) return;
  _llseek(file, 0, FILE_END);
  char line[600];
  unsigned n = 0;
  for (const char* k = key; *k != 0 && n < 64; ++k) line[n++] = *k;
  line[n++] = ':';
  for (unsigned i = 0; i < length; ++i) {
    unsigned char byte = static_cast<unsigned char>(value[i]);
    line[n++] = kDigits[byte >> 4];
    line[n++] = kDigits[byte & 15];
    if (n >= sizeof line - 4) {
      _lwrite(file, line, n);
      n = 0;
    }
  }
  line[n++] = '\r';
  line[n++] = '\n';
  _lwrite(file, line, n);
  _lclose(file);
}

void Record(const char* key, const ShortText& value) {
  Record(key, value.chars, value.length);
}

void RecordNumber(const char* key, int32_t value) {
  char digits[16];
  unsigned n = 0;
  uint32_t magnitude = value < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(value)) : static_cast<uint32_t>(value);
  if (value < 0) digits[n++] = '-';
  n += FormatDecimal(magnitude, 1, digits + n);
  Record(key, digits, n);
}

void RecordBool(const char* key, bool value) {
  Record(key, value ? "1" : "0", 1);
}

// The number of an operand given in decimal.
uint32_t Number(const ShortText& text) {
  uint32_t value = 0;
  for (unsigned i = 0; i < text.length; ++i) {
    if (text.chars[i] >= '0' && text.chars[i] <= '9') value = value * 10 + static_cast<uint32_t>(text.chars[i] - '0');
  }
  return value;
}

void DumpArguments() {
  int32_t count = ArgumentCount();
  RecordNumber("count", count);
  for (int32_t i = -1; i <= count; ++i) {
    char key[16] = "arg";
    unsigned n = 3;
    key[n++] = ' ';
    if (i < 0) {
      key[n++] = '-';
      key[n++] = '1';
    } else {
      n += FormatDecimal(static_cast<uint32_t>(i), 1, key + n);
    }
    key[n] = 0;
    Record(key, ProgramArgument(i));
  }
}

void DumpEnvironmentBlock() {
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return;
  for (const char* entry = block; *entry != 0; entry += ZeroTerminatedLength(entry) + 1) {
    Record("entry", entry, ZeroTerminatedLength(entry));
  }
  FreeEnvironmentStringsA(block);
}

void AppendLines() {
  AppendTextFile file;
  uint16_t status = file.Open(ProgramArgument(2));
  RecordNumber("open", status);
  if (status != 0) return;
  for (int32_t i = 3; i < ArgumentCount(); ++i) {
    ShortText item = ProgramArgument(i);
    if (item.length == 0) continue;
    if (item.chars[0] == '#') {
      // "#N:c": N copies of c, written in one call.
      ShortText rest = Substring(item, 2, item.length);
      unsigned colon = 0;
      while (colon < rest.length && rest.chars[colon] != ':') ++colon;
      unsigned count = Number(Substring(rest, 1, static_cast<int32_t>(colon)));
      char fill = colon + 1 < rest.length ? rest.chars[colon + 1] : 'x';
      Text line;
      char block[64];
      for (char& c : block) c = fill;
      while (count > 0) {
        unsigned take = count < sizeof block ? count : sizeof block;
        line += Text(block, take);
        count -= take;
      }
      file.Write(line);
      file.EndLine();
    } else {
      file.Write(Substring(item, 2, item.length));
      if (item.chars[0] != '+') file.EndLine();
    }
  }
  Record("closing", "1", 1);
  file.Close();
  Record("closed", "1", 1);
}

// Kept out of line so the fault has a caller of its own; the null address
// comes from a volatile object so the compiler cannot see it and replace the
// store by a trap instruction.
volatile uintptr_t g_zero = 0;

__attribute__((noinline)) void WriteThroughNull() {
  *reinterpret_cast<volatile int*>(g_zero) = 1;
}

void Fault() {
  RecordNumber("function", static_cast<int32_t>(reinterpret_cast<uintptr_t>(&WriteThroughNull)));
  RecordNumber("image", static_cast<int32_t>(reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr))));
  WriteThroughNull();
  Record("survived", "1", 1);
}

// Recursion without end: every level keeps a frame of its own, so the stack
// runs out.
volatile unsigned g_limit = 0xFFFFFFFF;

__attribute__((noinline)) unsigned Recurse(unsigned depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (depth == g_limit) return 0;
  return Recurse(depth + 1) + static_cast<unsigned>(frame[0]);
}

void Spawn(bool wait) {
  ShortText line = ProgramArgument(2);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  BOOL started = CreateProcessA(nullptr, line.chars, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  RecordBool("started", started != FALSE);
  if (started == FALSE) return;
  RecordNumber("pid", static_cast<int32_t>(process.dwProcessId));
  if (!wait) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  RecordNumber("child", static_cast<int32_t>(code));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

// RtlGetVersion, unlike GetVersionExA, is not held at 6.2 for a program
// without a manifest, so it tells which version the system really reports.
void RecordVersion() {
  typedef LONG(WINAPI * GetVersionFunction)(OSVERSIONINFOW*);
  // Through void (*)(void), the type that stands for any function.
  GetVersionFunction getVersion = reinterpret_cast<GetVersionFunction>(
      reinterpret_cast<void (*)(void)>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof info;
  if (getVersion == nullptr || getVersion(&info) != 0) return;
  RecordNumber("major", static_cast<int32_t>(info.dwMajorVersion));
  RecordNumber("minor", static_cast<int32_t>(info.dwMinorVersion));
  RecordNumber("build", static_cast<int32_t>(info.dwBuildNumber));
  RecordNumber("platform", static_cast<int32_t>(info.dwPlatformId));
}

}  // namespace

void MainProcedure() {
  CompleteStartUp();
  DWORD length = GetModuleFileNameA(nullptr, g_resultName, MAX_PATH);
  if (length >= MAX_PATH) length = MAX_PATH - 1;
  CopyBytes(g_resultName + length, ".out", 5);

  ShortText operation = ProgramArgument(1);
  Record("operation", operation);
  ShortText operand = ProgramArgument(2);
  if (Same(operation, "args")) {
    DumpArguments();
  } else if (Same(operation, "env")) {
    Record("value", EnvironmentValue(operand));
  } else if (Same(operation, "envblock")) {
    DumpEnvironmentBlock();
  } else if (Same(operation, "exists")) {
    RecordBool("result", PathExists(Text(operand)));
  } else if (Same(operation, "mkdir")) {
    RecordBool("result", MakeDirectory(Text(operand)));
  } else if (Same(operation, "rmdir")) {
    RecordBool("result", DeleteDirectory(Text(operand)));
  } else if (Same(operation, "append")) {
    AppendLines();
  } else if (Same(operation, "fault")) {
    Fault();
  } else if (Same(operation, "overflow")) {
    Record("depth", "1", 1);
    RecordNumber("result", static_cast<int32_t>(Recurse(0)));
  } else if (Same(operation, "box")) {
    int answer = MessageBoxA(nullptr, ProgramArgument(3).chars, operand.chars, Number(ProgramArgument(4)));
    RecordNumber("answer", answer);
  } else if (Same(operation, "bigbox")) {
    static const char kLine[] = "Příliš žluťoučký kůň úpěl ďábelské ódy.\r\n";
    unsigned size = Number(ProgramArgument(3));
    Text text;
    for (unsigned i = 0; i < size; ++i) text += Text(kLine + i % (sizeof kLine - 1), 1);
    int answer = MessageBoxA(nullptr, text.chars, operand.chars, MB_OK);
    RecordNumber("answer", answer);
  } else if (Same(operation, "spawn")) {
    Spawn(true);
  } else if (Same(operation, "launch")) {
    Spawn(false);
  } else if (Same(operation, "sleep")) {
    Sleep(Number(operand));
  } else if (Same(operation, "version")) {
    RecordVersion();
  } else if (Same(operation, "exit")) {
    Record("done", "1", 1);
    ShutDown(Number(operand));
  } else {
    Record("unknown", operation);
  }
  Record("done", "1", 1);
  ShutDown(0);
}
