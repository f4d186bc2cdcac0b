// Start-up and shut-down of the process.
//
// The process entry installs the processor-fault filter and calls
// MainProcedure, which completes the start-up, runs one mode and ends the
// process through ShutDown.
#pragma once

#include "runtime/win32.h"

// Supplied by the program (core/main.cpp), or by a test program.
void MainProcedure();

// The process entry: everything the process does happens inside it.
[[noreturn]] void ProcessEntry();
#ifdef _WIN32
extern "C" void WINAPI ProcessStart();
#endif

// The rest of the start-up, in this order: the error channel, the argument
// table, the failure reports (the "Out of memory" report included).
void CompleteStartUp();

// Shows what the error channel still holds, removes the exception filter and
// ends the process with exitCode.
[[noreturn]] void ShutDown(unsigned exitCode);
