// Machine-wide services: message boxes, the environment block, the heap,
// the call log, failure injection and simulated time.
#include <cstring>
#include <functional>

#include "tests/winsim/tests/helpers.h"

namespace {

using MachineTest = SimTest;

// ---- message boxes ----------------------------------------------------------------------

void AskThreeQuestions() {
  MessageBoxA(nullptr, "Remove Kalmaris 2001?", "Kalmaris 2001", MB_YESNO | MB_ICONQUESTION);
  MessageBoxA(nullptr, "Really?", "Kalmaris 2001", MB_YESNO | MB_ICONQUESTION);
  MessageBoxA(reinterpret_cast<HWND>(0x1234), "Done.", "Kalmaris 2001", MB_OK);
  MessageBoxA(nullptr, nullptr, nullptr, MB_OK | MB_ICONSTOP);
}

TEST_F(MachineTest, BoxesTakeQueuedAnswersThenDefaults) {
  sim::QueueAnswers({IDYES});
  sim::RunProcess(AskThreeQuestions, "X", R"(C:\X.EXE)", R"(C:\)");
  const std::vector<sim::Box>& boxes = sim::Boxes();
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[0].answer, IDYES);
  EXPECT_EQ(boxes[1].answer, IDNO);
  EXPECT_EQ(boxes[2].answer, IDOK);
  EXPECT_EQ(boxes[0].text, "Remove Kalmaris 2001?");
  EXPECT_EQ(boxes[0].caption, "Kalmaris 2001");
  EXPECT_EQ(boxes[0].style, MB_YESNO | MB_ICONQUESTION);
  EXPECT_FALSE(boxes[0].hasOwner);
  EXPECT_TRUE(boxes[2].hasOwner);
  EXPECT_EQ(boxes[3].caption, "Error");
  EXPECT_EQ(boxes[3].text, "");
  EXPECT_EQ(boxes[3].process, 1);
}

// ---- environment -------------------------------------------------------------------------

struct EnvironmentCase {
  std::vector<std::string> entries;
  std::string block;
};

TEST_F(MachineTest, EnvironmentBlocksAreFreshCopies) {
  const EnvironmentCase cases[] = {
      {{}, std::string("\0\0", 2)},
      {{"A=b"}, std::string("A=b\0\0", 5)},
      {{"TEMP=C:\\Temp", "windir=C:\\WINDOWS"}, std::string("TEMP=C:\\Temp\0windir=C:\\WINDOWS\0\0", 32)},
  };
  for (const EnvironmentCase& c : cases) {
    sim::SetEnvironment(c.entries);
    LPCH first = GetEnvironmentStringsA();
    LPCH second = GetEnvironmentStringsA();
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(std::string(first, c.block.size()), c.block);
    EXPECT_EQ(sim::CurrentLeaks().environment, 2);
    EXPECT_TRUE(FreeEnvironmentStringsA(first));
    EXPECT_TRUE(FreeEnvironmentStringsA(second));
    EXPECT_EQ(sim::CurrentLeaks().environment, 0);
  }
  sim::SetEnvironmentBlock(std::string("=C:=C:\\\0X=1\0\0", 13));
  LPCH odd = GetEnvironmentStringsA();
  EXPECT_EQ(std::string(odd, 13), std::string("=C:=C:\\\0X=1\0\0", 13));
  FreeEnvironmentStringsA(odd);
  EXPECT_THROW(sim::SetEnvironmentBlock("A=b"), std::invalid_argument);
}

TEST_F(MachineTest, FreeingWhatIsNotAnOutstandingBlockIsABadHandle) {
  LPCH block = GetEnvironmentStringsA();
  ASSERT_TRUE(FreeEnvironmentStringsA(block));
  EXPECT_FALSE(FreeEnvironmentStringsA(block));
  char own[4] = {};
  EXPECT_FALSE(FreeEnvironmentStringsA(own));
  LPVOID memory = HeapAlloc(GetProcessHeap(), 0, 8);
  EXPECT_FALSE(FreeEnvironmentStringsA(static_cast<LPCH>(memory)));  // a heap block is not an environment block
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, memory));
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, memory));
  EXPECT_EQ(sim::CurrentLeaks().badHandles, 4);
}

TEST_F(MachineTest, HeapHonoursZeroMemory) {
  auto* zeroed = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(zeroed[i], 0) << i;
  auto* raw = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, 0));
  EXPECT_NE(raw, nullptr);  // even an empty block is a distinct block
  EXPECT_EQ(sim::CurrentLeaks().heapBlocks, 2);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, zeroed));
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, raw));
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, nullptr));
}

// ---- the call log --------------------------------------------------------------------------

TEST_F(MachineTest, CallsAreLoggedOneLineEach) {
  sim::PutFile(R"(C:\WINDOWS\WININIT.INI)", "", 0);
  size_t from = sim::CallCount();
  HANDLE h = Open(R"(C:\WINDOWS\WININIT.INI)", GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  DWORD done = 0;
  WriteFile(h, "[rename]\r\n", 10, &done, nullptr);
  CloseHandle(h);
  DeleteFileA(R"(C:\missing.txt)");
  HKEY key = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris)", 0, KEY_READ, &key);
  LPVOID block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 40);
  HeapFree(GetProcessHeap(), 0, block);
  Sleep(500);
  std::vector<std::string> lines(sim::Calls().begin() + static_cast<long>(from), sim::Calls().end());
  std::string handle = lines.empty() ? "" : lines[0].substr(lines[0].rfind(' ') + 1);
  const std::vector<std::string> expected = {
      R"(CreateFileA("C:\WINDOWS\WININIT.INI", 0x40000000, 0x0, 4, 0x80) = )" + handle,
      "WriteFile(" + handle + ", set, 10) = TRUE",
      "CloseHandle(" + handle + ") = TRUE",
      R"(DeleteFileA("C:\missing.txt") = FALSE, error 2)",
      R"(RegOpenKeyExA(HKLM, "Software\Kalmaris", 0x20019) = 2)",
      "GetProcessHeap() = 0x150000",
      "HeapAlloc(0x150000, 0x8, 40) = #1",
      "GetProcessHeap() = 0x150000",
      "HeapFree(0x150000, 0x0, #1) = TRUE",
      "Sleep(500)",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(handle.substr(0, 2), "0x");
}

// ---- failure injection -------------------------------------------------------------------------

struct UsualFailure {
  const char* function;
  std::function<bool()> call;  // true when the call returned its failure value
  DWORD error;
};

TEST_F(MachineTest, InjectedFailuresReturnTheRealFailureValueAndUsualError) {
  auto prepare = [] {
    sim::Reset();
    sim::PutFile(R"(C:\f.txt)", "abc");
    sim::PutKey(HKEY_LOCAL_MACHINE, "K");
  };
  const UsualFailure cases[] = {
      {"CreateFileA", [] { return Open(R"(C:\f.txt)", GENERIC_READ, 0) == INVALID_HANDLE_VALUE; },
       ERROR_SHARING_VIOLATION},
      {"CopyFileA", [] { return !CopyFileA(R"(C:\f.txt)", R"(C:\g.txt)", FALSE); }, ERROR_ACCESS_DENIED},
      {"DeleteFileA", [] { return !DeleteFileA(R"(C:\f.txt)"); }, ERROR_ACCESS_DENIED},
      {"CreateDirectoryA", [] { return !CreateDirectoryA(R"(C:\D)", nullptr); }, ERROR_ACCESS_DENIED},
      {"RemoveDirectoryA", [] { return !RemoveDirectoryA(R"(C:\D)"); }, ERROR_ACCESS_DENIED},
      {"FindFirstFileA",
       [] {
         WIN32_FIND_DATAA data;
         return FindFirstFileA(R"(C:\*)", &data) == INVALID_HANDLE_VALUE;
       },
       ERROR_ACCESS_DENIED},
      {"WriteFile",
       [] {
         HANDLE h = Open(R"(C:\f.txt)", GENERIC_WRITE, 0);
         DWORD done = 7;
         bool failed = !WriteFile(h, "x", 1, &done, nullptr) && done == 0;
         CloseHandle(h);
         return failed;
       },
       ERROR_DISK_FULL},
      {"SetFilePointer",
       [] {
         HANDLE h = Open(R"(C:\f.txt)", GENERIC_READ, 0);
         bool failed = SetFilePointer(h, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER;
         CloseHandle(h);
         return failed;
       },
       ERROR_INVALID_PARAMETER},
      {"HeapAlloc", [] { return HeapAlloc(GetProcessHeap(), 0, 8) == nullptr; }, ERROR_NOT_ENOUGH_MEMORY},
      {"GetEnvironmentStringsA", [] { return GetEnvironmentStringsA() == nullptr; }, ERROR_NOT_ENOUGH_MEMORY},
      {"MessageBoxA", [] { return MessageBoxA(nullptr, "t", "c", MB_OK) == 0 && sim::Boxes().empty(); },
       ERROR_NOT_ENOUGH_MEMORY},
      {"GetModuleFileNameA",
       [] {
         char buffer[MAX_PATH];
         return GetModuleFileNameA(nullptr, buffer, MAX_PATH) == 0;
       },
       ERROR_NOT_ENOUGH_MEMORY},
      {"CreateProcessA",
       [] {
         char line[] = "C:\\f.txt";
         STARTUPINFOA startup{};
         PROCESS_INFORMATION info;
         return !CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info) &&
                sim::StartedProcesses().empty();
       },
       ERROR_ACCESS_DENIED},
  };
  for (const UsualFailure& c : cases) {
    prepare();
    sim::FailCall(c.function);
    EXPECT_TRUE(c.call()) << c.function;
    EXPECT_EQ(GetLastError(), c.error) << c.function;
    EXPECT_EQ(sim::FailedCall(), c.function);
  }
  // Registry calls report the refusal as their status.
  prepare();
  sim::FailCall("RegOpenKeyExA");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(MachineTest, AFailedCallChangesNothing) {
  sim::PutFile(R"(C:\f.txt)", "abc");
  sim::FailAlways("CreateDirectoryA");
  sim::FailAlways("DeleteFileA", ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(CreateDirectoryA(R"(C:\D)", nullptr));
  EXPECT_FALSE(CreateDirectoryA(R"(C:\D)", nullptr));
  EXPECT_FALSE(sim::Exists(R"(C:\D)"));
  EXPECT_FALSE(DeleteFileA(R"(C:\f.txt)"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(sim::Exists(R"(C:\f.txt)"));
  sim::ClearFailures();
  EXPECT_TRUE(CreateDirectoryA(R"(C:\D)", nullptr));
}

TEST_F(MachineTest, FailCallCountsCallsOfThatFunctionFromNow) {
  sim::MakeDirs(R"(C:\A)");
  CreateDirectoryA(R"(C:\Before)", nullptr);
  sim::FailCall("CreateDirectoryA", 2, ERROR_DISK_FULL);
  EXPECT_TRUE(CreateDirectoryA(R"(C:\A\1)", nullptr));
  EXPECT_TRUE(RemoveDirectoryA(R"(C:\A\1)"));
  EXPECT_EQ(sim::FailedCall(), "");
  EXPECT_FALSE(CreateDirectoryA(R"(C:\A\2)", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_TRUE(CreateDirectoryA(R"(C:\A\3)", nullptr));
  EXPECT_EQ(sim::FailedCall(), "CreateDirectoryA");
  EXPECT_EQ(sim::FailedCallLine(), R"(CreateDirectoryA("C:\A\2") = FALSE, error 112 (injected))");
}

void ThreeCalls() {
  GetCommandLineA();
  CreateDirectoryA(R"(C:\New)", nullptr);
  Sleep(10);
  DeleteFileA(R"(C:\f.txt)");
}

TEST_F(MachineTest, FailNthCallFailsOnlyCallsThatCanFail) {
  const char* expected[] = {"", "CreateDirectoryA", "", "DeleteFileA", ""};
  for (size_t k = 1; k <= 5; ++k) {
    sim::Reset();
    sim::PutFile(R"(C:\f.txt)");
    sim::FailNthCall(k);
    sim::RunProcess(ThreeCalls, "X", R"(C:\X.EXE)", R"(C:\)");
    EXPECT_EQ(sim::FailedCall(), expected[k - 1]) << k;
    EXPECT_EQ(sim::Exists(R"(C:\New)"), k != 2) << k;
    EXPECT_EQ(sim::Exists(R"(C:\f.txt)"), k == 4) << k;
  }
}

TEST_F(MachineTest, AnInjectedCloseFailureStillClosesTheHandle) {
  sim::PutFile(R"(C:\f.txt)");
  HANDLE h = Open(R"(C:\f.txt)", GENERIC_READ, 0);
  sim::FailCall("CloseHandle");
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(sim::CurrentLeaks().files, 0);
  EXPECT_EQ(sim::CurrentLeaks().badHandles, 0);
  EXPECT_TRUE(DeleteFileA(R"(C:\f.txt)"));
}

// ---- time -----------------------------------------------------------------------------------------

TEST_F(MachineTest, SleepRunsDueActionsInTimeOrder) {
  std::vector<std::string> ran;
  sim::At(100, [&ran] { ran.push_back("late"); });
  sim::At(50, [&ran] { ran.push_back("early"); });
  sim::At(50, [&ran] { ran.push_back("early too"); });
  Sleep(60);
  EXPECT_EQ(ran, (std::vector<std::string>{"early", "early too"}));
  EXPECT_EQ(sim::Now(), 60u);
  Sleep(40);
  EXPECT_EQ(ran, (std::vector<std::string>{"early", "early too", "late"}));
}

TEST_F(MachineTest, AnActionCanReleaseAFileTheProgramWaitsFor) {
  sim::PutFile(R"(C:\busy.dll)");
  sim::HoldOpen(R"(C:\busy.dll)", GENERIC_READ, FILE_SHARE_READ);
  sim::At(1500, [] { sim::Release(R"(C:\busy.dll)"); });
  int tries = 0;
  while (!DeleteFileA(R"(C:\busy.dll)") && tries < 10) {
    ++tries;
    Sleep(500);
  }
  EXPECT_EQ(tries, 3);
  EXPECT_FALSE(sim::Exists(R"(C:\busy.dll)"));
}

}  // namespace
