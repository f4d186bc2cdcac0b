// Processes: what a process sees of itself, how it ends, what it leaves
// behind, the running-image lock, and CreateProcessA's program search.
#include <cstring>
#include <stdexcept>

#include "tests/winsim/tests/helpers.h"

namespace {

using ProcessesTest = SimTest;

const char kCopy[] = R"(C:\Documents and Settings\Temp\~REMOVE.TMP)";

// ---- CreateProcessA --------------------------------------------------------------------

struct StartCase {
  const char* extraFile;  // planted before the start, nullptr for none
  const char* extraDirectory;
  const char* applicationName;
  const char* commandLine;
  const char* resolved;  // nullptr: the start fails
};

TEST_F(ProcessesTest, CreateProcessFindsTheProgramLikeWindows) {
  const StartCase cases[] = {
      {nullptr, nullptr, nullptr, R"(C:\Documents and Settings\Temp\~REMOVE.TMP /REMOVE)", kCopy},
      // The unquoted-path weakness: a file at an earlier blank wins.
      {R"(C:\Documents.exe)", nullptr, nullptr, R"(C:\Documents and Settings\Temp\~REMOVE.TMP /REMOVE)",
       R"(C:\Documents.exe)"},
      {R"(C:\Documents)", nullptr, nullptr, R"(C:\Documents and Settings\Temp\~REMOVE.TMP /REMOVE)", R"(C:\Documents)"},
      {R"(C:\Documents and.exe)", nullptr, nullptr, R"(C:\Documents and Settings\Temp\~REMOVE.TMP /REMOVE)",
       R"(C:\Documents and.exe)"},
      // Directories never count.
      {nullptr, R"(C:\Documents and)", nullptr, R"(C:\Documents and Settings\Temp\~REMOVE.TMP /REMOVE)", kCopy},
      // Quoting closes the hole.
      {R"(C:\Documents.exe)", nullptr, nullptr, R"("C:\Documents and Settings\Temp\~REMOVE.TMP" /REMOVE)", kCopy},
      {nullptr, nullptr, nullptr, R"("C:\Program Files\Kalmaris\setup" /q)", R"(C:\Program Files\Kalmaris\setup.exe)"},
      {nullptr, nullptr, nullptr, R"(C:\PROGRAM FILES\kalmaris\SETUP.EXE)", R"(C:\PROGRAM FILES\kalmaris\SETUP.EXE)"},
      {nullptr, nullptr, R"(C:\Program Files\Kalmaris\setup.exe)", "anything at all",
       R"(C:\Program Files\Kalmaris\setup.exe)"},
      {nullptr, nullptr, nullptr, R"(C:\nothing.exe /x)", nullptr},
      {nullptr, nullptr, nullptr, R"("C:\Documents and Settings\Temp\missing" /x)", nullptr},
      {nullptr, nullptr, R"(C:\Program Files\Kalmaris\setup)", "setup", nullptr},  // no ".exe" for a given name
  };
  for (const StartCase& c : cases) {
    sim::Reset();
    sim::PutFile(kCopy, "MZ");
    sim::PutFile(R"(C:\Program Files\Kalmaris\setup.exe)", "MZ");
    if (c.extraFile != nullptr) sim::PutFile(c.extraFile, "MZ");
    if (c.extraDirectory != nullptr) sim::MakeDirs(c.extraDirectory);
    std::string line = c.commandLine;
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    PROCESS_INFORMATION info;
    BOOL ok =
        CreateProcessA(c.applicationName, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    if (c.resolved == nullptr) {
      EXPECT_FALSE(ok) << c.commandLine;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << c.commandLine;
      EXPECT_TRUE(sim::StartedProcesses().empty()) << c.commandLine;
      continue;
    }
    ASSERT_TRUE(ok) << c.commandLine;
    ASSERT_EQ(sim::StartedProcesses().size(), 1u);
    EXPECT_EQ(sim::StartedProcesses()[0].resolvedModule, c.resolved) << c.commandLine;
    EXPECT_EQ(sim::StartedProcesses()[0].commandLine, c.commandLine);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
}

PROCESS_INFORMATION startedInfo;
BOOL startedOk = FALSE;
void StartSetupRelatively() {
  char line[] = "setup /q";
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startedOk = CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr,
                             nullptr, &startup, &startedInfo);
  // The process and thread handles are left open: they close with the process.
}

std::string childCommandLine;
std::string childModule;
std::string childDirectoryFile;
void Child() {
  childCommandLine = GetCommandLineA();
  char module[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
  childModule.assign(module, length);
  // The starter's directory is the child's current directory.
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA("setup.*", &data);
  childDirectoryFile = search == INVALID_HANDLE_VALUE ? "" : data.cFileName;
  FindClose(search);
}

TEST_F(ProcessesTest, AStartedProcessRunsWithItsCommandLineModuleAndTheStartersDirectory) {
  sim::PutFile(R"(C:\Program Files\Kalmaris\setup.exe)", "MZ");
  sim::RunProcess(StartSetupRelatively, "REMOVE.EXE", R"(C:\Program Files\Kalmaris\REMOVE.EXE)",
                  R"(C:\Program Files\Kalmaris)");
  ASSERT_TRUE(startedOk);
  EXPECT_EQ(sim::LastProcessLeaks().files, 0);
  EXPECT_EQ(sim::LastProcessLeaks().badHandles, 0);
  ASSERT_EQ(sim::StartedProcesses().size(), 1u);
  const sim::Started& started = sim::StartedProcesses()[0];
  EXPECT_EQ(started.applicationName, "(null)");
  EXPECT_EQ(started.resolvedModule, R"(C:\Program Files\Kalmaris\setup.exe)");
  EXPECT_TRUE(started.inheritHandles);
  EXPECT_EQ(started.creationFlags, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS);
  EXPECT_FALSE(started.environmentGiven);
  EXPECT_FALSE(started.currentDirectoryGiven);
  EXPECT_FALSE(started.securityGiven);
  EXPECT_EQ(started.parent, 1);
  EXPECT_NE(startedInfo.hProcess, startedInfo.hThread);
  EXPECT_NE(startedInfo.dwProcessId, startedInfo.dwThreadId);

  sim::Exit exit = sim::RunStarted(Child, 0);
  EXPECT_EQ(exit.process, 2);
  EXPECT_EQ(exit.code, 0u);
  EXPECT_EQ(childCommandLine, "setup /q");
  EXPECT_EQ(childModule, R"(C:\Program Files\Kalmaris\setup.exe)");
  EXPECT_EQ(childDirectoryFile, "setup.exe");
}

// ---- a process's view of itself -----------------------------------------------------------

struct ModuleNameCase {
  DWORD size;
  DWORD returned;
  const char* copied;  // the bytes written, without any terminator
  bool terminated;
  DWORD error;  // the last error afterwards (set to 0 before the call)
};

const ModuleNameCase* moduleCase = nullptr;
char moduleBuffer[300];
DWORD moduleReturned = 0;
DWORD moduleError = 0;
void AskModuleName() {
  std::memset(moduleBuffer, '#', sizeof moduleBuffer);
  moduleReturned = GetModuleFileNameA(nullptr, moduleBuffer, moduleCase->size);
  moduleError = GetLastError();
}

TEST_F(ProcessesTest, GetModuleFileNameTruncatesLikeWindowsXp) {
  const ModuleNameCase cases[] = {
      {MAX_PATH, 10, R"(C:\A\B.EXE)", true, 0},
      {11, 10, R"(C:\A\B.EXE)", true, 0},
      {10, 10, R"(C:\A\B.EXE)", false, ERROR_INSUFFICIENT_BUFFER},
      {4, 4, R"(C:\A)", false, ERROR_INSUFFICIENT_BUFFER},
  };
  for (const ModuleNameCase& c : cases) {
    moduleCase = &c;
    sim::RunProcess(AskModuleName, "B.EXE", R"(C:\A\B.EXE)", R"(C:\)");
    EXPECT_EQ(moduleReturned, c.returned) << c.size;
    EXPECT_EQ(std::memcmp(moduleBuffer, c.copied, std::strlen(c.copied)), 0) << c.size;
    EXPECT_EQ(moduleBuffer[std::strlen(c.copied)], c.terminated ? '\0' : '#') << c.size;
    EXPECT_EQ(moduleError, c.error) << c.size;
  }
  char buffer[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(0x400000), buffer, MAX_PATH), 0u);
}

struct Guard {
  bool* flag;
  ~Guard() { *flag = true; }
};
bool unwound = false;
void ExitInside() {
  Guard guard{&unwound};
  ExitProcess(3);
}
void ExitWithThree() {
  std::string onTheWay(100, 'x');  // something to destroy on the way out
  ExitInside();
}
void ReturnNormally() {}

TEST_F(ProcessesTest, ExitProcessUnwindsAndGivesTheCode) {
  sim::Exit first = sim::RunProcess(ExitWithThree, "X", R"(C:\X.EXE)", R"(C:\)");
  EXPECT_EQ(first.code, 3u);
  EXPECT_EQ(first.process, 1);
  EXPECT_TRUE(unwound);
  sim::Exit second = sim::RunProcess(ReturnNormally, "X", R"(C:\X.EXE)", "");
  EXPECT_EQ(second.code, 0u);
  EXPECT_EQ(second.process, 2);
  EXPECT_EQ(sim::CurrentProcess(), 0);
}

const NT_TIB* tib = nullptr;
// What the thread block is for: code that walks frame pointers (the fatal
// error report) finds every frame of the process between its bounds. A
// frame's address, not a local's: AddressSanitizer may keep locals on a
// stack of its own.
void LookAtTheStack() {
  auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
  EXPECT_EQ(tib->Self, tib);
  EXPECT_GT(reinterpret_cast<uintptr_t>(tib->StackBase), frame);
  EXPECT_LT(reinterpret_cast<uintptr_t>(tib->StackLimit), frame);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(tib->StackBase) - reinterpret_cast<uintptr_t>(tib->StackLimit),
            8u * 1024u * 1024u);
}

TEST_F(ProcessesTest, TheThreadBlockBoundsTheProcessStack) {
  sim::RunProcess(LookAtTheStack, "X", R"(C:\X.EXE)", R"(C:\)");
  EXPECT_NE(tib, nullptr);
}

LONG WINAPI SomeFilter(EXCEPTION_POINTERS*) {
  return EXCEPTION_EXECUTE_HANDLER;
}
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = SomeFilter;
void InstallFilter() {
  previousFilter = SetUnhandledExceptionFilter(SomeFilter);
}

TEST_F(ProcessesTest, EachProcessStartsWithoutAnExceptionFilter) {
  sim::RunProcess(InstallFilter, "X", R"(C:\X.EXE)", R"(C:\)");
  EXPECT_EQ(previousFilter, nullptr);
  EXPECT_EQ(sim::CurrentExceptionFilter(), SomeFilter);
  previousFilter = SomeFilter;
  sim::RunProcess(InstallFilter, "X", R"(C:\X.EXE)", R"(C:\)");
  EXPECT_EQ(previousFilter, nullptr);
}

// ---- the running image ---------------------------------------------------------------------

struct ImageResult {
  BOOL deleted;
  DWORD deleteError;
  BOOL overwritten;
  DWORD overwriteError;
  bool openedForWrite;
  DWORD openError;
  bool openedForRead;
  BOOL copiedAway;
} image;

void TouchOwnImage() {
  const char* self = R"(C:\Setup\REMOVE.EXE)";
  image.deleted = DeleteFileA(self);
  image.deleteError = GetLastError();
  image.overwritten = CopyFileA(R"(C:\Setup\other.exe)", R"(c:\setup\remove.exe)", FALSE);
  image.overwriteError = GetLastError();
  HANDLE writer = Open(self, GENERIC_WRITE, FILE_SHARE_READ);
  image.openedForWrite = writer != INVALID_HANDLE_VALUE;
  image.openError = GetLastError();
  HANDLE reader = Open(self, GENERIC_READ, 0);
  image.openedForRead = reader != INVALID_HANDLE_VALUE;
  CloseHandle(reader);
  image.copiedAway = CopyFileA(self, R"(C:\Temp\~REMOVE.TMP)", FALSE);
}

TEST_F(ProcessesTest, TheRunningImageCanBeReadButNotChanged) {
  sim::PutFile(R"(C:\Setup\REMOVE.EXE)", "MZ image");
  sim::PutFile(R"(C:\Setup\other.exe)", "MZ other");
  sim::MakeDirs(R"(C:\Temp)");
  sim::RunProcess(TouchOwnImage, "REMOVE.EXE", R"(C:\Setup\REMOVE.EXE)", R"(C:\Setup)");
  EXPECT_FALSE(image.deleted);
  EXPECT_EQ(image.deleteError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(image.overwritten);
  EXPECT_EQ(image.overwriteError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(image.openedForWrite);
  EXPECT_EQ(image.openError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(image.openedForRead);
  EXPECT_TRUE(image.copiedAway);
  EXPECT_EQ(sim::FileBytes(R"(C:\Temp\~REMOVE.TMP)"), "MZ image");
  // Once the process has ended its file is an ordinary file again.
  EXPECT_TRUE(DeleteFileA(R"(C:\Setup\REMOVE.EXE)"));
}

// ---- leaks -------------------------------------------------------------------------------------

HANDLE leakedFile = nullptr;
void LeakEverything() {
  leakedFile = Open(R"(C:\data.txt)", GENERIC_READ, 0);
  WIN32_FIND_DATAA data;
  FindFirstFileA(R"(C:\*)", &data);
  HKEY key;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  GetEnvironmentStringsA();
  HeapAlloc(GetProcessHeap(), 0, 100);
  HANDLE closed = Open(R"(C:\other.txt)", GENERIC_READ, FILE_SHARE_READ);
  CloseHandle(closed);
  CloseHandle(closed);
}

void LeakThenThrow() {
  Open(R"(C:\data.txt)", GENERIC_READ, 0);
  throw std::runtime_error("broken");
}

void UseTheOtherProcessesHandle() {
  CloseHandle(leakedFile);
}

TEST_F(ProcessesTest, WhatAProcessLeavesOpenIsRecordedAndClosed) {
  sim::PutFile(R"(C:\data.txt)");
  sim::PutFile(R"(C:\other.txt)");
  sim::RunProcess(LeakEverything, "X", R"(C:\X.EXE)", R"(C:\)");
  sim::Leaks leaks = sim::LastProcessLeaks();
  EXPECT_EQ(leaks.files, 1);
  EXPECT_EQ(leaks.searches, 1);
  EXPECT_EQ(leaks.keys, 1);
  EXPECT_EQ(leaks.environment, 1);
  EXPECT_EQ(leaks.badHandles, 1);
  EXPECT_EQ(leaks.heapBlocks, 1);
  // The handle was closed with the process: the file is free, and the handle
  // means nothing to the next process.
  EXPECT_TRUE(DeleteFileA(R"(C:\data.txt)"));
  sim::RunProcess(UseTheOtherProcessesHandle, "X", R"(C:\X.EXE)", R"(C:\)");
  EXPECT_EQ(sim::LastProcessLeaks().badHandles, 1);
}

TEST_F(ProcessesTest, AProcessEndedByAnExceptionIsCleanedUpToo) {
  sim::PutFile(R"(C:\data.txt)");
  EXPECT_THROW(sim::RunProcess(LeakThenThrow, "X", R"(C:\X.EXE)", R"(C:\)"), std::runtime_error);
  EXPECT_EQ(sim::LastProcessLeaks().files, 1);
  EXPECT_EQ(sim::CurrentProcess(), 0);
  EXPECT_TRUE(DeleteFileA(R"(C:\data.txt)"));
}

TEST_F(ProcessesTest, RunProcessNeedsAnExistingCurrentDirectory) {
  EXPECT_THROW(sim::RunProcess(ReturnNormally, "X", R"(C:\X.EXE)", R"(C:\Missing)"), std::invalid_argument);
}

}  // namespace
