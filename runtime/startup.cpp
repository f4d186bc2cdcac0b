#include "runtime/startup.h"

#include "runtime/arguments.h"
#include "runtime/fatal_error.h"

namespace {

// Two protections that newer systems offer, looked up at run time because
// older ones lack them; where a function is missing or refuses, nothing
// changes.
//
// Libraries that the system loads by name later on (the message box's theme
// library, for one) are looked for first in the program's own folder. The
// uninstall worker runs from the temporary folder, which any program of the
// user can write to, so a library planted there would run inside the tool,
// with the administrator rights it is usually given. So the search is limited
// to the system folder.
//
// Most folders the tool works in are named by the user (the shell folders in
// the user's registry, TEMP, WINDIR). A junction that the user placed at one
// of them would send the elevated tool's deletions and copies to any folder
// of the system. So the process refuses to follow junctions that were not
// made by an administrator (Windows 10 22H2 and Windows 11 know this policy;
// earlier systems refuse the call).
void HardenProcess() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
  typedef BOOL(WINAPI * SetProcessMitigationPolicyFunction)(int, void*, SIZE_T);
  constexpr DWORD kSearchSystemFolderOnly = 0x800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  constexpr int kRedirectionTrustPolicy = 16;       // ProcessRedirectionTrustPolicy
  DWORD enforceRedirectionTrust = 1;
  HMODULE kernel = GetModuleHandleA("KERNEL32");
  if (kernel == nullptr) return;
  FARPROC found = GetProcAddress(kernel, "SetDefaultDllDirectories");
  if (found != nullptr) {
    reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(found))(kSearchSystemFolderOnly);
  }
  found = GetProcAddress(kernel, "SetProcessMitigationPolicy");
  if (found != nullptr) {
    reinterpret_cast<SetProcessMitigationPolicyFunction>(reinterpret_cast<void*>(found))(
        kRedirectionTrustPolicy, &enforceRedirectionTrust, sizeof enforceRedirectionTrust);
  }
}

}  // namespace

void ProcessEntry() {
  HardenProcess();
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
