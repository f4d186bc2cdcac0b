// The fatal-error report: what the program shows when it cannot go on (a
// failed write of a text file, exhausted memory, a processor fault), and the
// error channel that collects the report into message boxes captioned
// "Error". A report ends the process with exit code 217; before start-up has
// finished it takes the shorter form and the failure number as exit code.
#pragma once

#include <stdint.h>

#include "runtime/text.h"
#include "runtime/win32.h"

typedef uintptr_t CodeAddress;

// The code address the current function returns to, and its caller's frame:
// where a failure inside a runtime service is reported as having happened.
#define CallerAddress() (reinterpret_cast<CodeAddress>(__builtin_return_address(0)))
#define CallerFrame() (*static_cast<void* const*>(__builtin_frame_address(0)))

constexpr unsigned kFatalExitCode = 217;
constexpr unsigned kOutOfMemoryFailure = 203;
constexpr unsigned kErrorChannelSize = 1024;
constexpr unsigned kMaxCallerLines = 257;

// Reports message at address with the callers of the function that called
// FatalError, then ends the process.
[[noreturn]] void FatalError(const Text& message, CodeAddress address);
// The same with an explicit frame: the caller lines are the return addresses
// found by following the frame-pointer chain from frame.
[[noreturn]] void ReportFatalError(const char* message, unsigned length, CodeAddress address, const void* frame);
// "Out of memory", built without allocating; during start-up the short report
// with failure number 203.
[[noreturn]] void ReportOutOfMemory(CodeAddress address, const void* frame);

// The process-wide exception filter: turns a processor fault into a report.
LONG WINAPI ProcessorFaultFilter(EXCEPTION_POINTERS* pointers);

// Failure number and message line for a processor exception; false for the
// exceptions that are left to the system.
struct FaultKind {
  unsigned char number;
  bool floatingPoint;
  const char* message;  // null: "Unknown Run-Time error : " and the number
};
bool ClassifyFault(DWORD exceptionCode, FaultKind& kind);

// Until EnableFailureReports is called a failure produces the short start-up
// report; ResetFailureReports returns to that state at the start of a process
// and notes the thread's stack, whose frames the caller lines follow.
void EnableFailureReports();
void ResetFailureReports();

// The error channel: lines go in, message boxes come out.
void OpenErrorChannel();
void WriteErrorLine(const char* chars, unsigned length);
void CloseErrorChannel();

// Writes value as exactly eight upper-case hexadecimal digits.
void FormatHex8(uint32_t value, char* out);
// Writes value in decimal with at least minimumDigits digits; returns the count.
unsigned FormatDecimal(uint32_t value, unsigned minimumDigits, char* out);
