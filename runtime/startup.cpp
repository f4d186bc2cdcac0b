#include "runtime/startup.h"

#include "runtime/arguments.h"
#include "runtime/fatal_error.h"

namespace {

// Libraries that the system loads by name later on (the message box's theme
// library, for one) are looked for first in the program's own folder. The
// uninstall worker runs from the temporary folder, which any program of the
// user can write to, so a library planted there would run inside the tool,
// with the administrator rights it is usually given. Where the system offers
// it, the search is limited to the system folder before anything else
// happens. Older systems lack the function; there nothing changes.
void RestrictLibrarySearch() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
  constexpr DWORD kSearchSystemFolderOnly = 0x800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  HMODULE kernel = GetModuleHandleA("KERNEL32");
  if (kernel == nullptr) return;
  FARPROC found = GetProcAddress(kernel, "SetDefaultDllDirectories");
  if (found == nullptr) return;
  reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(found))(kSearchSystemFolderOnly);
}

}  // namespace

void ProcessEntry() {
  RestrictLibrarySearch();
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
