// Control side of the simulated Windows: what tests use to prepare a machine,
// run the program on it as one or more processes, and look at what happened.
//
// The program side is runtime/win32.h: the same Win32 subset the real
// program calls, implemented here over this in-memory machine.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/win32.h"

namespace sim {

// ---- the machine --------------------------------------------------------

// Forgets everything: an empty registry (the HKLM and HKCU roots exist, no
// keys), one drive C: with an empty root directory, an empty environment, no
// answers queued, no failures armed, no records. The machine is in this state
// before the first Reset too.
void Reset();

// ---- file system ----------------------------------------------------------
// Paths: "C:\a\b" (absolute), "\a" (root of the current drive), "a" (relative
// to the current directory). '/' separates like '\'. Names compare without
// regard to ASCII case and keep the case they were created with. Bytes above
// 127 (Windows-1250) are kept as they are.
// As with the real ANSI functions, the file functions refuse names of
// MAX_PATH (260) characters or more, CreateDirectoryA names of 248 or more,
// with ERROR_FILENAME_EXCED_RANGE (206); names with < > : " | or control
// characters, or wildcards outside FindFirstFileA's last component, fail with
// ERROR_INVALID_NAME (123), as does a file named with a trailing '\'.

// These control functions resolve relative paths like the running process
// does (outside a process: against C:\), and throw when a path they need is
// missing.
void AddDrive(char letter);              // an empty root directory
void MakeDirs(const std::string& path);  // every missing component
// Creates missing parent directories; an existing file gets the new bytes
// and attributes (open handles keep seeing the same file).
void PutFile(const std::string& path, const std::string& bytes = "", DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
std::string FileBytes(const std::string& path);               // throws when absent or a directory
std::vector<std::string> List(const std::string& directory);  // names as created, sorted bytewise
void SetAttributes(const std::string& path, DWORD attributes);
// The attributes as stored (FindFirstFileA reports a file with none as
// FILE_ATTRIBUTE_NORMAL). Throws when absent.
DWORD Attributes(const std::string& path);
// Free space on a drive; a write that does not fit fails with ERROR_DISK_FULL
// and writes nothing. Unlimited unless set. From then on what the program
// writes, copies, truncates or deletes changes it; PutFile does not.
void SetFreeSpace(char drive, uint64_t bytes);
uint64_t FreeSpace(char drive);  // UINT64_MAX when unlimited
// From now on a WriteFile on the drive that does not fit writes the bytes that
// fit and reports success with that count, as some network file systems do.
void MakeWritesComeUpShort(char drive);
// Another process holds the file open with this access and share mode until
// Release is called; the program's opens and deletions meet the usual
// sharing rules. A file deleted while every open allowed it (share mode with
// FILE_SHARE_DELETE) stays visible, and cannot be opened, until the last
// handle or hold on it goes, as on Windows.
void HoldOpen(const std::string& path, DWORD access, DWORD shareMode);
void Release(const std::string& path);

// ---- registry -----------------------------------------------------------

struct RegValue {
  DWORD type = 0;
  std::string data;  // the raw bytes as stored
};
void PutKey(HKEY root, const std::string& key);  // every missing component
void PutValue(HKEY root, const std::string& key, const std::string& name, DWORD type, const std::string& data);
void PutString(HKEY root, const std::string& key, const std::string& name,
               const std::string& text);  // REG_SZ with zero
bool KeyExists(HKEY root, const std::string& key);
bool ValueExists(HKEY root, const std::string& key, const std::string& name);
RegValue GetValue(HKEY root, const std::string& key, const std::string& name);  // throws when absent
std::vector<std::string> ValueNames(HKEY root, const std::string& key);         // in order of creation
std::vector<std::string> SubkeyNames(HKEY root, const std::string& key);        // sorted without regard to case
// Creating keys and writing values under this root is refused with
// ERROR_ACCESS_DENIED (opening existing keys for reading still works).
void DenyWrites(HKEY root, bool deny = true);

// ---- environment ----------------------------------------------------------

// The environment block every process sees: "NAME=value" entries in this order.
void SetEnvironment(const std::vector<std::string>& entries);
// Exact block bytes, for odd blocks; must end with two zero bytes.
void SetEnvironmentBlock(const std::string& block);

// ---- message boxes --------------------------------------------------------

struct Box {
  std::string caption;
  std::string text;  // the exact bytes
  UINT style = 0;
  bool hasOwner = false;
  int answer = 0;
  int process = 0;  // 1 for the first process run, 2 for the next, ...
};
// Answers for the next boxes, in order (IDYES, IDNO, IDOK ...). When none is
// left, a box is answered IDOK when its buttons (style & 0xF) are MB_OK and
// IDNO otherwise. A null caption shows as "Error", a null text as "".
void QueueAnswers(const std::vector<int>& answers);
const std::vector<Box>& Boxes();

// ---- processes ------------------------------------------------------------

// Only successful starts are recorded: when no program file is found,
// CreateProcessA fails with ERROR_FILE_NOT_FOUND and records nothing. The
// program is searched for as Windows does: the application name when given
// (exactly, no extension is added); else a quoted first word; else each
// prefix of the command line ending at a blank, then the whole line. Each
// name from the command line is tried as written and, without an extension,
// with ".exe" appended; the first that names an existing file wins. Relative
// names resolve against the starter's current directory; the search path is
// not used.
struct Started {
  std::string applicationName;  // "(null)" when none was given
  std::string commandLine;
  std::string resolvedModule;  // the program file the system chose, as a full path with the case written
  BOOL inheritHandles = FALSE;
  DWORD creationFlags = 0;
  bool environmentGiven = false;
  bool currentDirectoryGiven = false;
  bool securityGiven = false;
  int parent = 0;  // process number of the starter
  // Where RunStarted runs it: the directory given to CreateProcessA, else the
  // starter's current directory.
  std::string currentDirectory;
};
const std::vector<Started>& StartedProcesses();

struct Exit {
  UINT code = 0;
  int process = 0;
};
// Runs entry() as a new process with this command line, module path and
// current directory, on the machine as it is now. The module file is locked
// as a running image while it runs (it cannot be deleted or overwritten).
// ExitProcess ends it; returning from entry() ends it with exit code 0.
// The current directory must exist ("" means C:\); a module file that is not on the
// machine is allowed (then nothing is locked). NtCurrentTeb() gives a thread
// block whose StackBase is RunProcess's own frame address and StackLimit
// 8 MiB below it (see CommitStackAsItGrows). When the process ends, however it ends (another exception
// is passed on after this), its open handles are recorded for
// LastProcessLeaks() and closed, and its heap and environment blocks freed.
// Handles belong to the process that opened them: another process (or the
// test outside any process) using them counts as a bad handle.
Exit RunProcess(void (*entry)(), const std::string& commandLine, const std::string& modulePath,
                const std::string& currentDirectory);
// Runs a process that an earlier process started (index into
// StartedProcesses()), with its command line and resolved module, in its
// recorded current directory (the starter's unless CreateProcessA was given one).
Exit RunStarted(void (*entry)(), size_t index);

// ---- calls, failures and time ------------------------------------------------

// Every Win32 call the program made, in order, one line each:
//   Name(arguments) = result[, error N][ (injected)]
// Strings are quoted raw ("..." or NULL), access masks, share modes, flags
// and attributes in hex (0x...), sizes, counts, dispositions and codes in
// decimal, handles in hex (NULL, INVALID_HANDLE_VALUE; keys HKLM, HKCU),
// heap and environment blocks as #n (numbered from 1 since Reset), other
// pointers as NULL or set. ", error N" shows the last error a failing call
// set; registry calls show their status instead. The arguments, in order:
//   CreateFileA(name, access, share, disposition, flags)
//   ReadFile / WriteFile(handle, buffer, count)
//   SetFilePointer(handle, distance, high or NULL, method)
//   CloseHandle / FindClose(handle)    FindFirstFileA(pattern)
//   CreateDirectoryA / RemoveDirectoryA / DeleteFileA(path)
//   CopyFileA(from, to, TRUE|FALSE)    GetModuleFileNameA(module, size)
//   CreateProcessA(application, command line, process security, thread
//     security, inherit TRUE|FALSE, flags, environment, directory)
//   HeapAlloc(heap, flags, size)       HeapFree(heap, flags, block)
//   FreeEnvironmentStringsA(block)     MessageBoxA(owner, text, caption, style)
//   RegCreateKeyExA / RegOpenKeyExA(key, subkey, access)
//   RegSetValueExA(key, name, type, size)
//   RegQueryValueExA(key, name, buffer size or NULL when no buffer)
//   RegDeleteKeyA(key, subkey)         RegCloseKey(key)
//   Sleep(ms)  ExitProcess(code)  SetUnhandledExceptionFilter(filter|NULL)
//   GetCommandLineA()  GetEnvironmentStringsA()  GetProcessHeap()
//   GetModuleHandleA(name)  GetProcAddress(KERNEL32|other, name)
//   SetDefaultDllDirectories(flags)
//   SetProcessMitigationPolicy(policy, first four bytes of the buffer, size)
// For example
//   CreateFileA("C:\WINDOWS\WININIT.INI", 0x40000000, 0x0, 4, 0x80) = 0x104
//   WriteFile(0x104, set, 12) = FALSE, error 112 (injected)
//   DeleteFileA("C:\x.txt") = FALSE, error 32
//   RegOpenKeyExA(HKLM, "Software\Kalmaris", 0x20019) = 2
//   HeapAlloc(0x150000, 0x8, 40) = #3
// ExitProcess, Sleep, GetCommandLineA and SetUnhandledExceptionFilter have
// no result part. Some successful results say what the call produced:
// ReadFile "TRUE, read N", RegCreateKeyExA "0, <handle> created|opened",
// RegOpenKeyExA "0, <handle>", RegQueryValueExA "0, type T, N bytes",
// CreateProcessA "TRUE, \"<program chosen>\"". Only KERNEL32 is known to
// GetModuleHandleA, and only its SetDefaultDllDirectories and
// SetProcessMitigationPolicy to GetProcAddress; a system without one of them
// is FailCall("GetProcAddress", n, ERROR_PROC_NOT_FOUND). GetLastError and
// NtCurrentTeb are not logged (nor counted).
const std::vector<std::string>& Calls();
size_t CallCount();
// Makes the n-th call (1-based) of the named function fail, counted from now,
// with the given system error (0: the usual failure for that function).
void FailCall(const std::string& function, int nth = 1, DWORD error = 0);
// Makes every call of the named function fail from now on.
void FailAlways(const std::string& function, DWORD error = 0);
// Makes the k-th Win32 call (1-based, counted over all functions from now)
// fail in the way that function really can fail. Calls that cannot fail
// (GetCommandLineA, ExitProcess, Sleep, ...) are not failed; returns the name
// of the call that was failed, or "" when the k-th call cannot fail or was
// never made (call after the run).
void FailNthCall(size_t k);
// The name of the function that the most recently armed injection failed,
// "" while it has failed nothing; FailedCallLine gives its Calls() line.
std::string FailedCall();
std::string FailedCallLine();
// Runs action once the nth call (1-based, counted from now) of the named
// function has done its work, before the program sees the result: what
// another program does at that moment (overwrites a file, holds it open).
void AfterCall(const std::string& function, int nth, std::function<void()> action);
// Disarms every injection still waiting.
void ClearFailures();

// Simulated time: Sleep advances it. At(ms) runs once the clock reaches ms,
// inside the Sleep that gets it there (in time order, then in the order
// given); an action due already runs at the next Sleep.
uint64_t Now();
void At(uint64_t milliseconds, std::function<void()> action);

// ---- bookkeeping for checks -------------------------------------------------

struct Leaks {
  int files = 0;        // file handles from CreateFileA still open
  int searches = 0;     // FindFirstFileA handles still open
  int keys = 0;         // registry keys still open
  int environment = 0;  // environment blocks not freed
  int badHandles = 0;   // calls made on a handle that was never valid or already closed
  // HeapAlloc blocks not freed. Informational: Windows frees the process
  // heap with the process, and so does the simulation.
  int heapBlocks = 0;
};
// What the last process left open when it ended, and misuse it made.
// Handles from CreateProcessA are not counted (they close with the process).
Leaks LastProcessLeaks();
// The same for the running process now or, outside any process, for what the
// test itself opened through the Win32 functions.
Leaks CurrentLeaks();
// Number of the running process, 0 outside any process.
int CurrentProcess();

// From now on a process's thread block starts with StackLimit at the page
// of RunProcess's frame and lowers it, page by page, as the stack grows (as
// Windows does when it commits more of the stack), instead of 8 MiB below.
void CommitStackAsItGrows();

// The exception filter the current (or last) process has installed.
LPTOP_LEVEL_EXCEPTION_FILTER CurrentExceptionFilter();

// Thrown by ExitProcess; RunProcess catches it.
struct ProcessExit {
  UINT code;
};

}  // namespace sim
