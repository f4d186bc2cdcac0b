// The fatal-error report, the error channel, the processor-fault filter and
// the exit codes.
#include "runtime/fatal_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "runtime/memory.h"
#include "runtime/startup.h"
#include "tests/host/machine.h"

namespace {

const std::regex kCallerLines("(  0x[0-9A-F]{8}\r\n){1,257}\r\n");

std::string FullReport(const std::string& address, const std::string& message) {
  return "An unhandled exception occurred at 0x" + address + " :\r\n" + message + "\r\n  0x" + address + "\r\n";
}

// Reports message from depth frames of a page each below the caller.
__attribute__((noinline)) void FailFromDepth(int depth, const char* message) {
  volatile char page[4096];
  page[0] = 0;
  if (depth > 0) {
    FailFromDepth(depth - 1, message);
  } else if (page[0] == 0) {
    FatalError(Text(message), 0x1234ABCD);
  }
}

TEST(FatalError, ReportFormatAndExitCode) {
  // 16 pages down, the stack has grown far below what was committed at the
  // start, on a thread block whose limit follows the stack as Windows' does.
  // An empty message is a line like any other: only the report's last,
  // empty line ends it.
  struct Case {
    int depth;
    const char* message;
  } cases[] = {{0, "Boom"}, {16, "Boom"}, {0, ""}};
  for (const Case& c : cases) {
    machine::Prepare();
    sim::CommitStackAsItGrows();
    sim::Exit exit = machine::RunInProcess([c] {
      FailFromDepth(c.depth, c.message);
      MessageBoxA(nullptr, "never", "never", 0);
    });
    EXPECT_EQ(exit.code, 217u);
    ASSERT_EQ(sim::Boxes().size(), 1u);
    const sim::Box& box = sim::Boxes()[0];
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.style, 0u);
    EXPECT_FALSE(box.hasOwner);
    std::string head = FullReport("1234ABCD", c.message);
    ASSERT_EQ(box.text.compare(0, head.size(), head), 0) << box.text;
    EXPECT_TRUE(std::regex_match(box.text.substr(head.size()), kCallerLines)) << c.depth << box.text;
  }
}

TEST(FatalError, AddressesArePaddedUpperCaseHex) {
  char out[9] = {};
  struct Case {
    uint32_t value;
    const char* text;
  } cases[] = {{0, "00000000"}, {0xABC, "00000ABC"}, {0xFFFFFFFF, "FFFFFFFF"}, {0x00401000, "00401000"}};
  for (const Case& c : cases) {
    FormatHex8(c.value, out);
    EXPECT_STREQ(out, c.text);
  }
  char number[12] = {};
  number[FormatDecimal(7, 3, number)] = 0;
  EXPECT_STREQ(number, "007");
  number[FormatDecimal(203, 1, number)] = 0;
  EXPECT_STREQ(number, "203");
}

TEST(ErrorChannel, LongReportsAreSplitAt1024) {
  machine::Prepare();
  std::string message(2000, 'M');
  sim::Exit exit = machine::RunInProcess([&] { FatalError(Text(message.c_str()), 0x00401000); });
  EXPECT_EQ(exit.code, 217u);
  ASSERT_EQ(sim::Boxes().size(), 2u);
  std::string first = "An unhandled exception occurred at 0x00401000 :\r\n";
  EXPECT_EQ(sim::Boxes()[0].text, first + std::string(1024 - first.size(), 'M'));
  // The rest of the message line is dropped; collecting resumes with the next line.
  EXPECT_EQ(sim::Boxes()[1].text.compare(0, 14, "  0x00401000\r\n"), 0);
  EXPECT_TRUE(std::regex_match(sim::Boxes()[1].text.substr(14), kCallerLines));
  for (const sim::Box& box : sim::Boxes()) EXPECT_EQ(box.caption, "Error");
}

TEST(ErrorChannel, TextLeftAtShutDownIsShown) {
  machine::Prepare();
  sim::Exit exit = machine::RunInProcess([] { WriteErrorLine("pending", 7); });
  EXPECT_EQ(exit.code, 0u);
  ASSERT_EQ(sim::Boxes().size(), 1u);
  EXPECT_EQ(sim::Boxes()[0].text, "pending\r\n");
}

EXCEPTION_RECORD g_record;
CONTEXT g_context;
EXCEPTION_POINTERS g_pointers;

LONG Raise(DWORD code) {
  g_record = {};
  g_record.ExceptionCode = code;
  g_record.ExceptionAddress = reinterpret_cast<void*>(0x00401234);
  g_context = {};
  g_pointers.ExceptionRecord = &g_record;
  g_pointers.ContextRecord = &g_context;
  return ProcessorFaultFilter(&g_pointers);
}

unsigned short ControlWord() {
  unsigned short word;
  __asm__ __volatile__("fnstcw %0" : "=m"(word));
  return word;
}

TEST(ProcessorFaults, EveryRowOfTheTable) {
  struct Case {
    DWORD code;
    unsigned number;
    const char* message;
    bool floatingPoint;
  } cases[] = {
      {0xC0000005, 216, "Access violation", false},
      {0xC0000094, 200, "Division by zero", false},
      {0xC0000095, 215, "Arithmetic overflow", false},
      {0xC000008C, 201, "Range check error", false},
      {0xC00000FD, 202, "Unknown Run-Time error : 202", false},
      {0xC000001D, 217, "Unknown Run-Time error : 217", false},
      {0xC0000096, 217, "Unknown Run-Time error : 217", false},
      {0xC0000006, 217, "Unknown Run-Time error : 217", false},
      {0x80000004, 217, "Unknown Run-Time error : 217", false},
      {0xC000008D, 216, "Access violation", true},
      {0xC000008E, 200, "Division by zero", true},
      {0xC0000090, 207, "Invalid floating point operation", true},
      {0xC0000092, 207, "Invalid floating point operation", true},
      {0xC0000091, 205, "Floating point overflow", true},
      {0xC0000093, 206, "Floating point underflow", true},
  };
  for (const Case& c : cases) {
    // After start-up: the full report and exit code 217.
    machine::Prepare();
    unsigned short before = ControlWord();
    unsigned short changed = 0x0262;  // other precision and rounding, some exceptions unmasked
    __asm__ __volatile__("fldcw %0" : : "m"(changed));
    sim::Exit exit = machine::RunInProcess([&] { Raise(c.code); });
    unsigned short after = ControlWord();
    __asm__ __volatile__("fldcw %0" : : "m"(before));
    EXPECT_EQ(exit.code, 217u) << std::hex << c.code;
    ASSERT_EQ(sim::Boxes().size(), 1u) << std::hex << c.code;
    std::string head = FullReport("00401234", c.message);
    EXPECT_EQ(sim::Boxes()[0].text.substr(0, head.size()), head) << std::hex << c.code;
    EXPECT_EQ(after, c.floatingPoint ? 0x037F : changed) << std::hex << c.code;

    // During start-up: the short report with the failure number as exit code.
    machine::Prepare();
    exit = machine::RunDuringStartUp([&] { Raise(c.code); });
    EXPECT_EQ(exit.code, c.number) << std::hex << c.code;
    ASSERT_EQ(sim::Boxes().size(), 1u);
    std::string shortHead = "Runtime error " + std::to_string(c.number) + " at 0x00401234\r\n  0x00401234\r\n";
    EXPECT_EQ(sim::Boxes()[0].text.substr(0, shortHead.size()), shortHead);
  }
}

TEST(ProcessorFaults, OthersAreLeftToTheSystem) {
  for (DWORD code : {0xC000008Fu, 0x80000003u, 0xE06D7363u, 0u}) {
    machine::Prepare();
    LONG verdict = 1;
    sim::Exit exit = machine::RunInProcess([&] { verdict = Raise(code); });
    EXPECT_EQ(verdict, EXCEPTION_CONTINUE_SEARCH) << std::hex << code;
    EXPECT_EQ(exit.code, 0u);
    EXPECT_TRUE(sim::Boxes().empty());
  }
}

TEST(StartUp, OrderOfCallsAndNormalEnd) {
  machine::Prepare();
  sim::Exit exit = machine::RunInProcess([] {});
  EXPECT_EQ(exit.code, 0u);
  EXPECT_TRUE(sim::Boxes().empty());
  const auto& calls = sim::Calls();
  ASSERT_GE(calls.size(), 5u);
  EXPECT_EQ(calls[0].rfind("SetUnhandledExceptionFilter(", 0), 0u) << calls[0];
  EXPECT_EQ(calls[1].rfind("GetModuleFileNameA(", 0), 0u) << calls[1];
  EXPECT_EQ(calls[2].rfind("GetCommandLineA(", 0), 0u) << calls[2];
  EXPECT_EQ(calls[calls.size() - 2].rfind("SetUnhandledExceptionFilter(", 0), 0u);
  EXPECT_EQ(calls.back().rfind("ExitProcess(", 0), 0u);
}

// Every mode limits the library search to the system folder and refuses
// junctions made by users before anything else, where the system offers
// that; where it does not, or refuses, the mode runs exactly as it would have.
TEST(StartUp, LibrarySearchIsLimitedFirstWhereOffered) {
  const std::string lookUp[] = {
      "GetModuleHandleA(\"KERNEL32\") = KERNEL32", "GetProcAddress(KERNEL32, \"SetDefaultDllDirectories\") = set",
      "SetDefaultDllDirectories(0x800) = TRUE", "GetProcAddress(KERNEL32, \"SetProcessMitigationPolicy\") = set",
      "SetProcessMitigationPolicy(16, 0x1, 4) = TRUE"};
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::vector<std::string> first;
  } cases[] = {
      {"offered", [] {}, {lookUp[0], lookUp[1], lookUp[2], lookUp[3], lookUp[4]}},
      {"missing",
       [] { sim::FailCall("GetProcAddress", 1, ERROR_PROC_NOT_FOUND); },
       {lookUp[0], "GetProcAddress(KERNEL32, \"SetDefaultDllDirectories\") = NULL, error 127 (injected)", lookUp[3],
        lookUp[4]}},
      {"refused",
       [] { sim::FailCall("SetDefaultDllDirectories"); },
       {lookUp[0], lookUp[1], "SetDefaultDllDirectories(0x800) = FALSE, error 87 (injected)", lookUp[3], lookUp[4]}},
      {"mitigation missing",
       [] { sim::FailCall("GetProcAddress", 2, ERROR_PROC_NOT_FOUND); },
       {lookUp[0], lookUp[1], lookUp[2],
        "GetProcAddress(KERNEL32, \"SetProcessMitigationPolicy\") = NULL, error 127 (injected)"}},
      {"mitigation refused",
       [] { sim::FailCall("SetProcessMitigationPolicy"); },
       {lookUp[0], lookUp[1], lookUp[2], lookUp[3],
        "SetProcessMitigationPolicy(16, 0x1, 4) = FALSE, error 87 (injected)"}},
      {"neither offered",
       [] { sim::FailAlways("GetProcAddress", ERROR_PROC_NOT_FOUND); },
       {lookUp[0], "GetProcAddress(KERNEL32, \"SetDefaultDllDirectories\") = NULL, error 127 (injected)",
        "GetProcAddress(KERNEL32, \"SetProcessMitigationPolicy\") = NULL, error 127 (injected)"}},
  };
  for (const char* mode : {"/INSTALL", "/REMOVE", ""}) {
    std::vector<std::string> offeredRest;
    std::string offeredBoxes;
    for (const Case& c : cases) {
      machine::Prepare();
      c.arrange();
      sim::QueueAnswers({IDYES, IDOK});
      EXPECT_EQ(machine::RunTool(mode).code, 0u) << mode << c.name;
      std::vector<std::string> calls = sim::Calls();
      ASSERT_GE(calls.size(), c.first.size()) << mode << c.name;
      EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + c.first.size()), c.first) << mode << c.name;
      std::vector<std::string> rest(calls.begin() + c.first.size(), calls.end());
      EXPECT_EQ(rest.front().rfind("SetUnhandledExceptionFilter(", 0), 0u) << mode << c.name;
      if (offeredRest.empty()) {
        offeredRest = rest;
        offeredBoxes = machine::BoxSummary();
      }
      EXPECT_EQ(rest, offeredRest) << mode << c.name;
      EXPECT_EQ(machine::BoxSummary(), offeredBoxes) << mode << c.name;
    }
  }
}

TEST(StartUp, MemoryExhaustedWhileBuildingTheTable) {
  machine::Prepare();
  sim::FailAlways("HeapAlloc");
  sim::Exit exit = machine::RunTool("/INSTALL");
  EXPECT_EQ(exit.code, 203u);
  ASSERT_EQ(sim::Boxes().size(), 1u);
  EXPECT_EQ(sim::Boxes()[0].caption, "Error");
  EXPECT_EQ(sim::Boxes()[0].text.rfind("Runtime error 203 at 0x", 0), 0u) << sim::Boxes()[0].text;
  EXPECT_FALSE(sim::KeyExists(HKEY_LOCAL_MACHINE, machine::kUninstallKey));  // no mode ran
}

TEST(StartUp, MemoryExhaustedLaterIsAFatalError) {
  machine::Prepare();
  sim::Exit exit = machine::RunInProcess([] {
    sim::FailAlways("HeapAlloc");
    Text big(std::string(5000, 'b').c_str());
  });
  EXPECT_EQ(exit.code, 217u);
  ASSERT_EQ(sim::Boxes().size(), 1u);
  EXPECT_NE(sim::Boxes()[0].text.find(":\r\nOut of memory\r\n"), std::string::npos);
}

}  // namespace
