// Processes: running the program's entry as a process, what a process knows
// about itself (command line, module, thread block, exception filter), how it
// ends, and CreateProcessA with Windows' search for the program file.
#include <cstring>
#include <stdexcept>

#include "tests/winsim/internal.h"

namespace sim {
namespace detail {

namespace {

constexpr uintptr_t kStackSize = 8u * 1024u * 1024u;

// The start of the 4 KB page that holds address.
char* PageOf(char* address) {
  return reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(address) & ~uintptr_t{0xFFF});
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool HasExtension(const std::string& name) {
  size_t slash = name.find_last_of("\\/");
  size_t dot = name.find_last_of('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

// The program file a name stands for: the name itself, or (when searching a
// command line) the name with ".exe" when it has no extension. Only files
// count, never directories.
bool FindProgram(const std::string& name, bool addExe, std::string* resolved) {
  std::vector<std::string> tries{name};
  if (addExe && !HasExtension(name)) tries.push_back(name + ".exe");
  for (const std::string& candidate : tries) {
    Path path = ParsePath(candidate);
    if (!path.valid || path.badCharacters || path.wildcards || path.trailingSeparator) continue;
    Node* node = Locate(path).node;
    if (node != nullptr && !node->directory) {
      *resolved = Text(path);
      return true;
    }
  }
  return false;
}

// Windows' choice of program for a command line without an application
// name: a quoted first word is the program; otherwise every prefix that ends
// at a blank is tried in turn, then the whole line, and the first that names
// an existing file wins.
bool ProgramFromCommandLine(const std::string& line, std::string* resolved) {
  if (!line.empty() && line[0] == '"') {
    size_t close = line.find('"', 1);
    return FindProgram(line.substr(1, close == std::string::npos ? std::string::npos : close - 1), true, resolved);
  }
  for (size_t i = 1; i < line.size(); ++i) {
    if (IsBlank(line[i]) && !IsBlank(line[i - 1]) && FindProgram(line.substr(0, i), true, resolved)) return true;
  }
  return !line.empty() && !IsBlank(line.back()) && FindProgram(line, true, resolved);
}

std::string DirectoryText(const Process& process) {
  Path path;
  path.valid = true;
  path.drive = process.directoryDrive;
  path.parts = process.directoryParts;
  return Text(path);
}

}  // namespace
}  // namespace detail

using namespace detail;

Exit RunProcess(void (*entry)(), const std::string& commandLine, const std::string& modulePath,
                const std::string& currentDirectory) {
  Machine& m = M();
  if (m.running) throw std::logic_error("sim::RunProcess: a process already runs");
  Path directory = ParsePath(currentDirectory.empty() ? "C:\\" : currentDirectory);
  Where where = Locate(directory);
  if (where.node == nullptr || !where.node->directory) {
    throw std::invalid_argument("sim::RunProcess: no directory \"" + currentDirectory + "\"");
  }
  // A module file that is not on the machine is allowed; then nothing is locked.
  Node* image = Locate(ParsePath(modulePath)).node;

  Process process;
  process.number = ++m.processCount;
  process.commandLine = commandLine;
  process.modulePath = modulePath;
  process.directoryDrive = directory.drive;
  process.directoryParts = directory.parts;
  process.image = image != nullptr && !image->directory ? image : nullptr;
  // The thread block bounds the stack for code that walks frame pointers:
  // everything the entry calls lies below this frame, within 8 MiB.
  auto* base = static_cast<char*>(__builtin_frame_address(0));
  process.tib.StackBase = base;
  process.tib.StackLimit = m.stackCommittedAsItGrows ? PageOf(base) : base - kStackSize;

  Process outside = std::move(m.process);
  m.process = std::move(process);
  m.process.tib.Self = &m.process.tib;
  m.running = true;
  m.filter = nullptr;
  m.lastError = 0;
  int number = m.process.number;

  auto end = [&m, &outside, number]() {
    m.lastLeaks = CountOpen(number);
    CloseEverything(number);
    m.running = false;
    m.process = std::move(outside);
  };
  UINT code = 0;
  try {
    entry();
  } catch (const ProcessExit& exit) {
    code = exit.code;
  } catch (...) {
    end();
    throw;
  }
  end();
  return Exit{code, number};
}

Exit RunStarted(void (*entry)(), size_t index) {
  const std::vector<Started>& started = M().started;
  if (index >= started.size()) throw std::out_of_range("sim::RunStarted: no such started process");
  Started chosen = started[index];
  if (chosen.resolvedModule.empty()) throw std::logic_error("sim::RunStarted: the start found no program");
  return RunProcess(entry, chosen.commandLine, chosen.resolvedModule, chosen.currentDirectory);
}

const std::vector<Started>& StartedProcesses() {
  return M().started;
}

void CommitStackAsItGrows() {
  M().stackCommittedAsItGrows = true;
}

LPTOP_LEVEL_EXCEPTION_FILTER CurrentExceptionFilter() {
  return M().filter;
}

int CurrentProcess() {
  return M().process.number;
}

}  // namespace sim

using namespace sim::detail;

// ---- kernel32: processes ---------------------------------------------------------------------

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  Gate gate("GetModuleFileNameA", HandleText(module) + ", " + std::to_string(size));
  if (gate.Injected()) {
    gate.Failure("0", gate.InjectedError(ERROR_NOT_ENOUGH_MEMORY));
    return 0;
  }
  if (module != nullptr) {
    gate.Failure("0", kErrorModNotFound);
    return 0;
  }
  const std::string& path = M().process.modulePath;
  if (path.size() < size) {
    path.copy(fileName, path.size());
    fileName[path.size()] = '\0';
    gate.Result(std::to_string(path.size()));
    return static_cast<DWORD>(path.size());
  }
  // As on Windows XP: the name cut to the buffer, without a terminating zero.
  if (size > 0) path.copy(fileName, size);
  gate.Failure(std::to_string(size), ERROR_INSUFFICIENT_BUFFER);
  return size;
}

// The system library every process has loaded, as GetModuleHandleA hands it
// out; its lookup-only exports are SetDefaultDllDirectories, which systems
// from Windows 8 on (and earlier ones with the update) offer, and
// SetProcessMitigationPolicy (Windows 8 on).
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7b800000));

BOOL WINAPI SimSetDefaultDllDirectories(DWORD flags) {
  Gate gate("SetDefaultDllDirectories", Hex(flags));
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_INVALID_PARAMETER));
  return gate.True();
}

// Logged with the policy's first four bytes, as the policies the program
// sets are four-byte flag sets.
BOOL WINAPI SimSetProcessMitigationPolicy(int policy, void* buffer, SIZE_T length) {
  uint32_t flags = 0;
  if (buffer != nullptr && length >= sizeof flags) std::memcpy(&flags, buffer, sizeof flags);
  Gate gate("SetProcessMitigationPolicy", std::to_string(policy) + ", " +
                                              (buffer == nullptr ? std::string("NULL") : Hex(flags)) + ", " +
                                              std::to_string(length));
  if (gate.Injected() || buffer == nullptr) return gate.False(gate.InjectedError(ERROR_INVALID_PARAMETER));
  return gate.True();
}

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
  Gate gate("GetModuleHandleA", Quote(moduleName));
  bool kernel = moduleName != nullptr && (SameName(moduleName, "KERNEL32") || SameName(moduleName, "KERNEL32.DLL"));
  if (gate.Injected() || !kernel) {
    gate.Failure("NULL", gate.InjectedError(kErrorModNotFound));
    return nullptr;
  }
  gate.Result("KERNEL32");
  return kKernel32;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  Gate gate("GetProcAddress", std::string(module == kKernel32 ? "KERNEL32" : "other") + ", " + Quote(procName));
  void* found = nullptr;
  if (module == kKernel32 && procName != nullptr) {
    std::string name = procName;
    if (name == "SetDefaultDllDirectories") found = reinterpret_cast<void*>(&SimSetDefaultDllDirectories);
    if (name == "SetProcessMitigationPolicy") found = reinterpret_cast<void*>(&SimSetProcessMitigationPolicy);
  }
  if (gate.Injected() || found == nullptr) {
    gate.Failure("NULL", gate.InjectedError(ERROR_PROC_NOT_FOUND));
    return nullptr;
  }
  gate.Result("set");
  return reinterpret_cast<FARPROC>(found);
}

LPSTR WINAPI GetCommandLineA(void) {
  Gate gate("GetCommandLineA", "", false);
  return M().process.commandLine.data();
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  Gate gate("SetUnhandledExceptionFilter", filter == nullptr ? "NULL" : "filter", false);
  LPTOP_LEVEL_EXCEPTION_FILTER previous = M().filter;
  M().filter = filter;
  return previous;
}

void WINAPI ExitProcess(UINT exitCode) {
  Gate gate("ExitProcess", std::to_string(exitCode), false);
  throw sim::ProcessExit{exitCode};
}

// Not logged: it only reads the thread block.
struct _TEB* NtCurrentTeb(void) {
  Machine& m = M();
  // The system lowers the limit whenever the stack grows into a new page;
  // the program sees the limit only here, so here it catches up with the
  // caller's depth.
  char* page = PageOf(static_cast<char*>(__builtin_frame_address(0)));
  if (m.stackCommittedAsItGrows && page < m.process.tib.StackLimit) m.process.tib.StackLimit = page;
  return reinterpret_cast<struct _TEB*>(&m.process.tib);
}

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                           LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                           LPPROCESS_INFORMATION processInformation) {
  (void)startupInfo;
  auto given = [](const void* pointer) { return std::string(pointer == nullptr ? "NULL" : "set"); };
  Gate gate("CreateProcessA", Quote(applicationName) + ", " + Quote(commandLine) + ", " + given(processAttributes) +
                                  ", " + given(threadAttributes) + ", " + (inheritHandles ? "TRUE" : "FALSE") + ", " +
                                  Hex(creationFlags) + ", " + given(environment) + ", " + Quote(currentDirectory));
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_ACCESS_DENIED));
  if (applicationName == nullptr && commandLine == nullptr) return gate.False(ERROR_INVALID_PARAMETER);

  std::string resolved;
  bool found = applicationName != nullptr ? FindProgram(applicationName, false, &resolved)
                                          : ProgramFromCommandLine(commandLine, &resolved);
  if (!found) return gate.False(ERROR_FILE_NOT_FOUND);

  Machine& m = M();
  std::string directory = DirectoryText(m.process);
  if (currentDirectory != nullptr) {
    Path path = ParsePath(currentDirectory);
    Node* node = Locate(path).node;
    if (node == nullptr || !node->directory) return gate.False(ERROR_DIRECTORY);
    directory = Text(path);
  }

  sim::Started started;
  started.applicationName = applicationName == nullptr ? "(null)" : applicationName;
  started.commandLine = commandLine != nullptr ? commandLine : applicationName;
  started.resolvedModule = resolved;
  started.inheritHandles = inheritHandles;
  started.creationFlags = creationFlags;
  started.environmentGiven = environment != nullptr;
  started.currentDirectoryGiven = currentDirectory != nullptr;
  started.securityGiven = processAttributes != nullptr || threadAttributes != nullptr;
  started.parent = m.process.number;
  started.currentDirectory = directory;
  m.started.push_back(started);

  Handle process;
  process.kind = Kind::Process;
  process.owner = m.process.number;
  Handle thread = process;
  thread.kind = Kind::Thread;
  HANDLE processHandle = NewHandle(process);
  HANDLE threadHandle = NewHandle(thread);
  DWORD processId = m.nextId;
  DWORD threadId = m.nextId + 4;
  m.nextId += 8;
  if (processInformation != nullptr) {
    processInformation->hProcess = processHandle;
    processInformation->hThread = threadHandle;
    processInformation->dwProcessId = processId;
    processInformation->dwThreadId = threadId;
  }
  gate.Result("TRUE, \"" + resolved + "\"");
  return TRUE;
}
