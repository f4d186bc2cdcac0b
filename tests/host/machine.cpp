#include "tests/host/machine.h"

#include "runtime/fatal_error.h"
#include "runtime/startup.h"

namespace machine {

namespace {

std::function<void()> g_body;

void BodyProcess() {
  ResetFailureReports();
  SetUnhandledExceptionFilter(ProcessorFaultFilter);
  CompleteStartUp();
  g_body();
  ShutDown(0);
}

void StartUpProcess() {
  ResetFailureReports();
  SetUnhandledExceptionFilter(ProcessorFaultFilter);
  OpenErrorChannel();
  g_body();
  ShutDown(0);
}

}  // namespace

void Prepare(const Setup& setup) {
  sim::Reset();
  sim::MakeDirs(kTemp);
  sim::MakeDirs(kStartup);
  if (setup.programsValue) sim::PutString(HKEY_CURRENT_USER, kShellFolders, "Programs", kPrograms);
  if (setup.startupValue) sim::PutString(HKEY_CURRENT_USER, kShellFolders, "Startup", kStartup);
  sim::PutString(HKEY_CURRENT_USER, kShellFolders, "Desktop", "C:\\WINDOWS\\Desktop");
  sim::SetEnvironment({"PATH=C:\\WINDOWS;C:\\WINDOWS\\COMMAND", "TEMP=C:\\WINDOWS\\TEMP", "TMP=C:\\WINDOWS\\TEMP",
                       "windir=C:\\WINDOWS"});
  sim::MakeDirs(kInstallDir);
  if (setup.productFiles) {
    for (const char* name : kProductFiles) {
      std::string bytes = std::string("contents of ") + name;
      // The tool is larger than the blocks in which the launcher compares it
      // with its copy, so that the comparison goes on past the first block.
      if (std::string(name) == "REMOVE.EXE") bytes.resize(20000, 'x');
      sim::PutFile(std::string(kInstallDir) + "\\" + name, bytes);
    }
  }
}

sim::Exit RunTool(const std::string& arguments, const std::string& currentDirectory, const std::string& module) {
  std::string commandLine = module + (arguments.empty() ? "" : " " + arguments);
  if (module.find(' ') != std::string::npos)
    commandLine = "\"" + module + "\"" + (arguments.empty() ? "" : " " + arguments);
  return sim::RunProcess(ProcessEntry, commandLine, module, currentDirectory);
}

sim::Exit RunInProcess(const std::function<void()>& body, const std::string& commandLine, const std::string& module) {
  g_body = body;
  sim::Exit exit = sim::RunProcess(BodyProcess, commandLine, module, "C:\\");
  g_body = nullptr;
  return exit;
}

sim::Exit RunDuringStartUp(const std::function<void()>& body) {
  g_body = body;
  sim::Exit exit = sim::RunProcess(StartUpProcess, "PROBE.EXE", "C:\\PROBE.EXE", "C:\\");
  g_body = nullptr;
  return exit;
}

void Install(bool startupShortcut) {
  sim::QueueAnswers({startupShortcut ? IDYES : IDNO, IDOK});
  RunTool("/INSTALL");
}

std::string BoxSummary() {
  std::string out;
  for (const sim::Box& box : sim::Boxes()) {
    out += box.caption + "|" + box.text + "|" + std::to_string(box.style) + "\n";
  }
  return out;
}

int CountCalls(const std::string& function, size_t from) {
  int count = 0;
  const auto& calls = sim::Calls();
  for (size_t i = from; i < calls.size(); ++i) {
    if (calls[i].compare(0, function.size() + 1, function + "(") == 0) ++count;
  }
  return count;
}

}  // namespace machine
