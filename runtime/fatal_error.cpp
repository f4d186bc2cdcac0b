#include "runtime/fatal_error.h"

#include "runtime/startup.h"

namespace {

char g_channel[kErrorChannelSize + 1];
unsigned g_channelCount;
bool g_reportsEnabled;

const char kErrorCaption[] = "Error";

void ShowChannel() {
  g_channel[g_channelCount] = 0;
  MessageBoxA(nullptr, g_channel, kErrorCaption, MB_OK);
  g_channelCount = 0;
}

// A line of "  0x" and eight digits.
void WriteAddressLine(CodeAddress address) {
  char line[12] = {' ', ' ', '0', 'x'};
  FormatHex8(static_cast<uint32_t>(address), line + 4);
  WriteErrorLine(line, 12);
}

// The return addresses of the active callers, innermost first, following the
// saved frame pointers for as long as they stay inside this thread's stack
// and keep moving towards its base.
// The thread's stack bounds. (The system header's inline reading of the
// thread block trips GCC's array-bounds check.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
NT_TIB* ThreadBlock() {
  return reinterpret_cast<NT_TIB*>(NtCurrentTeb());
}
#pragma GCC diagnostic pop

// The stack whose frames the caller lines follow: the thread's own, even
// while a report runs on the reserve stack. Its base is noted at start-up.
// Its limit, the lowest committed address, moves down as the system commits
// more of the stack (a deep fault, a stack overflow above all, lies far below
// where it stood at start-up), so it is read again when a report begins,
// before the report may move to the reserve stack.
uintptr_t g_stackLow;
uintptr_t g_stackHigh;

void NoteStackLimit() {
  uintptr_t limit = reinterpret_cast<uintptr_t>(ThreadBlock()->StackLimit);
  if (limit < g_stackLow) g_stackLow = limit;
}

void WriteCallerLines(const void* frame) {
  uintptr_t low = g_stackLow;
  uintptr_t high = g_stackHigh;
  uintptr_t current = reinterpret_cast<uintptr_t>(frame);
  for (unsigned lines = 0; lines < kMaxCallerLines; ++lines) {
    if (current < low || current > high - 2 * sizeof(void*) || current % sizeof(void*) != 0) break;
    const uintptr_t* slots = reinterpret_cast<const uintptr_t*>(current);
    uintptr_t next = slots[0];
    uintptr_t returnAddress = slots[1];
    if (returnAddress == 0) break;
    WriteAddressLine(returnAddress);
    if (next <= current) break;
    current = next;
  }
}

// The first line of a report: the head, the failure number in decimal in
// the start-up form, " at 0x" and the address in eight digits, and " :" in
// the full form.
void WriteHeading(bool startUpForm, unsigned number, CodeAddress address) {
  static const char kFull[] = "An unhandled exception occurred at 0x";
  static const char kStartUp[] = "Runtime error ";
  static const char kAt[] = " at 0x";
  char line[sizeof kFull - 1 + 8 + 2];  // the longer of the two
  unsigned length;
  if (startUpForm) {
    CopyBytes(line, kStartUp, sizeof kStartUp - 1);
    length = sizeof kStartUp - 1 + FormatDecimal(number, 1, line + sizeof kStartUp - 1);
    CopyBytes(line + length, kAt, sizeof kAt - 1);
    length += sizeof kAt - 1;
  } else {
    CopyBytes(line, kFull, sizeof kFull - 1);
    length = sizeof kFull - 1;
  }
  FormatHex8(static_cast<uint32_t>(address), line + length);
  length += 8;
  if (!startUpForm) {
    line[length++] = ' ';
    line[length++] = ':';
  }
  WriteErrorLine(line, length);
}

// The full report: "An unhandled exception occurred at 0xA :", the message,
// the address lines, then exit code 217. The start-up form: "Runtime error N
// at 0xA", the address lines, and the failure number's low eight bits as
// exit code.
[[noreturn]] void ReportAndEnd(bool startUpForm, unsigned number, const char* message, unsigned length,
                               CodeAddress address, const void* frame) {
  WriteHeading(startUpForm, number, address);
  if (!startUpForm) WriteErrorLine(message, length);
  WriteAddressLine(address);
  WriteCallerLines(frame);
  // The final empty line ends the report; the shut-down shows what the
  // channel holds, an empty message line included.
  WriteErrorLine("", 0);
  ShutDown(startUpForm ? number & 0xFF : kFatalExitCode);
}

// Reports with the start-up form until the failure reports are in place.
[[noreturn]] void Report(unsigned number, const char* message, unsigned length, CodeAddress address,
                         const void* frame) {
  ReportAndEnd(!g_reportsEnabled, number, message, length, address, frame);
}

// A stack overflow leaves the thread next to no stack, too little for a
// message box. Its report runs on a reserve stack of its own, which becomes
// the thread's stack for the system too.
constexpr unsigned kReserveStackSize = 64 * 1024;
[[maybe_unused]] alignas(16) char g_reserveStack[kReserveStackSize];
// What the report on the reserve stack needs; the message stays where it
// is, on the exhausted stack, which is still readable.
struct PendingReport {
  unsigned number;
  const char* message;
  unsigned length;
  CodeAddress address;
  const void* frame;
} g_pending;

[[noreturn]] void ReportPending() {
  Report(g_pending.number, g_pending.message, g_pending.length, g_pending.address, g_pending.frame);
}

[[noreturn]] void ReportOnReserveStack(unsigned number, const char* message, unsigned length, CodeAddress address,
                                       const void* frame) {
  g_pending = {number, message, length, address, frame};
#if defined(__i386__)
  NT_TIB* tib = ThreadBlock();
  tib->StackLimit = g_reserveStack;
  tib->StackBase = g_reserveStack + kReserveStackSize;
  __asm__ __volatile__("movl %0, %%esp\n\tcall *%1"
                       :
                       : "r"(g_reserveStack + kReserveStackSize), "r"(ReportPending)
                       : "memory");
  __builtin_unreachable();
#else
  ReportPending();
#endif
}

// The message lines of the reported faults; a row's message is an index
// into this list, 0 for "Unknown Run-Time error : " and the number.
const char* const kFaultMessages[] = {
    nullptr,
    "Access violation",
    "Division by zero",
    "Arithmetic overflow",
    "Range check error",
    "Invalid floating point operation",
    "Floating point overflow",
    "Floating point underflow",
};

struct FaultRow {
  DWORD code;
  unsigned char number;
  unsigned char message;
  bool floatingPoint;
};

const FaultRow kFaultTable[] = {
    {EXCEPTION_ACCESS_VIOLATION, 216, 1, false},  {EXCEPTION_INT_DIVIDE_BY_ZERO, 200, 2, false},
    {EXCEPTION_INT_OVERFLOW, 215, 3, false},      {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, 201, 4, false},
    {EXCEPTION_STACK_OVERFLOW, 202, 0, false},    {EXCEPTION_ILLEGAL_INSTRUCTION, 217, 0, false},
    {EXCEPTION_PRIV_INSTRUCTION, 217, 0, false},  {EXCEPTION_IN_PAGE_ERROR, 217, 0, false},
    {EXCEPTION_SINGLE_STEP, 217, 0, false},       {EXCEPTION_FLT_DENORMAL_OPERAND, 216, 1, true},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, 200, 2, true}, {EXCEPTION_FLT_INVALID_OPERATION, 207, 5, true},
    {EXCEPTION_FLT_STACK_CHECK, 207, 5, true},    {EXCEPTION_FLT_OVERFLOW, 205, 6, true},
    {EXCEPTION_FLT_UNDERFLOW, 206, 7, true},
};

void ResetFloatingPointUnit() {
  __asm__ __volatile__("fninit");
}

}  // namespace

void FormatHex8(uint32_t value, char* out) {
  for (int i = 7; i >= 0; --i) {
    unsigned digit = value & 0xF;
    out[i] = static_cast<char>(digit < 10 ? '0' + digit : 'A' - 10 + digit);
    value >>= 4;
  }
}

unsigned FormatDecimal(uint32_t value, unsigned minimumDigits, char* out) {
  char reversed[10];
  unsigned count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < minimumDigits && count < sizeof reversed) reversed[count++] = '0';
  for (unsigned i = 0; i < count; ++i) out[i] = reversed[count - 1 - i];
  return count;
}

void OpenErrorChannel() {
  g_channelCount = 0;
}

void WriteErrorLine(const char* chars, unsigned length) {
  // An empty line right after a full channel was shown adds nothing worth a
  // box of its own.
  if (length == 0 && g_channelCount == 0) return;
  for (unsigned i = 0; i < length + 2; ++i) {
    g_channel[g_channelCount++] = i < length ? chars[i] : (i == length ? '\r' : '\n');
    if (g_channelCount == kErrorChannelSize) {
      ShowChannel();
      break;  // the rest of the line is dropped
    }
  }
}

void CloseErrorChannel() {
  if (g_channelCount > 0) ShowChannel();
}

void EnableFailureReports() {
  g_reportsEnabled = true;
}

void ResetFailureReports() {
  g_reportsEnabled = false;
  const NT_TIB* tib = ThreadBlock();
  g_stackLow = reinterpret_cast<uintptr_t>(tib->StackLimit);
  g_stackHigh = reinterpret_cast<uintptr_t>(tib->StackBase);
}

void FatalError(const Text& message, CodeAddress address) {
  ReportFatalError(message.chars, message.length, address, CallerFrame());
}

void ReportFatalError(const char* message, unsigned length, CodeAddress address, const void* frame) {
  NoteStackLimit();
  ReportAndEnd(false, kFatalExitCode, message, length, address, frame);
}

void ReportOutOfMemory(CodeAddress address, const void* frame) {
  static const char kOutOfMemory[] = "Out of memory";
  NoteStackLimit();
  Report(kOutOfMemoryFailure, kOutOfMemory, sizeof kOutOfMemory - 1, address, frame);
}

bool ClassifyFault(DWORD exceptionCode, FaultKind& kind) {
  for (const FaultRow& row : kFaultTable) {
    if (row.code == exceptionCode) {
      kind = {row.number, row.floatingPoint, kFaultMessages[row.message]};
      return true;
    }
  }
  return false;
}

LONG WINAPI ProcessorFaultFilter(EXCEPTION_POINTERS* pointers) {
  FaultKind kind;
  if (!ClassifyFault(pointers->ExceptionRecord->ExceptionCode, kind)) return EXCEPTION_CONTINUE_SEARCH;
  NoteStackLimit();
  if (kind.floatingPoint) ResetFloatingPointUnit();
  CodeAddress address = reinterpret_cast<CodeAddress>(pointers->ExceptionRecord->ExceptionAddress);
  const void* frame = reinterpret_cast<const void*>(static_cast<uintptr_t>(pointers->ContextRecord->Ebp));
  static const char kUnknown[] = "Unknown Run-Time error : ";
  char unknown[sizeof kUnknown + 10];
  const char* message = kind.message;
  unsigned length;
  if (message != nullptr) {
    length = ZeroTerminatedLength(message);
  } else {
    CopyBytes(unknown, kUnknown, sizeof kUnknown - 1);
    length = sizeof kUnknown - 1 + FormatDecimal(kind.number, 3, unknown + sizeof kUnknown - 1);
    message = unknown;
  }
  if (pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
    ReportOnReserveStack(kind.number, message, length, address, frame);
  }
  Report(kind.number, message, length, address, frame);
}
