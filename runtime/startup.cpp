#include "runtime/startup.h"

#include "runtime/arguments.h"
#include "runtime/fatal_error.h"

void ProcessEntry() {
  ResetFailureReports();
  SetUnhandledExceptionFilter(ProcessorFaultFilter);
  MainProcedure();
  ShutDown(0);
}

#ifdef _WIN32
extern "C" void WINAPI ProcessStart() {
  ProcessEntry();
}
#endif

void CompleteStartUp() {
  OpenErrorChannel();
  BuildArgumentTable();
  EnableFailureReports();
}

void ShutDown(unsigned exitCode) {
  CloseErrorChannel();
  SetUnhandledExceptionFilter(nullptr);
  ExitProcess(exitCode & 0xFFFF);
}
