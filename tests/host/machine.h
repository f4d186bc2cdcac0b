// A simulated machine prepared the way the tool finds it in the field, and
// ways to run the tool (or a piece of the runtime) on it as a process.
#pragma once

#include <functional>
#include <string>

#include "tests/winsim/sim.h"

namespace machine {

constexpr char kTool[] = "C:\\Program Files\\Kalmaris\\REMOVE.EXE";
constexpr char kInstallDir[] = "C:\\Program Files\\Kalmaris";
constexpr char kPrograms[] = "C:\\WINDOWS\\Start Menu\\Programs";
constexpr char kStartup[] = "C:\\WINDOWS\\Start Menu\\Programs\\StartUp";
constexpr char kGroup[] = "C:\\WINDOWS\\Start Menu\\Programs\\Kalmaris";
constexpr char kTemp[] = "C:\\WINDOWS\\TEMP";
constexpr char kWindows[] = "C:\\WINDOWS";
constexpr char kTempCopy[] = "C:\\WINDOWS\\TEMP\\~REMOVE.TMP";
constexpr char kWininit[] = "C:\\WINDOWS\\WININIT.INI";
constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kalmaris";
// The prepared files of the installation directory, by name.
constexpr const char* kProductFiles[] = {"Kalmaris.lnk", "Něco jako manuál.lnk", "KM.EXE", "KM.RTF", "REMOVE.EXE"};

// A fresh machine: C:\WINDOWS with TEMP, the Start menu folders recorded in
// the Shell Folders key, TEMP and WINDIR set, and (unless told otherwise) the
// product's files in the installation directory.
struct Setup {
  bool productFiles = true;
  bool programsValue = true;
  bool startupValue = true;
};
void Prepare(const Setup& setup);
inline void Prepare() {
  Prepare(Setup{});
}

// Runs the tool from its installed place (or another module path) with the
// given arguments after the program name.
sim::Exit RunTool(const std::string& arguments, const std::string& currentDirectory = kInstallDir,
                  const std::string& module = kTool);

// Runs body inside a process after the runtime's start-up, as the tool's main
// procedure would; the process ends with exit code 0 when body returns.
sim::Exit RunInProcess(const std::function<void()>& body, const std::string& commandLine = "PROBE.EXE",
                       const std::string& module = "C:\\PROBE.EXE");
// The same, with body run before the start-up has put the failure reports in
// place (only the exception filter and the error channel exist).
sim::Exit RunDuringStartUp(const std::function<void()>& body);

// Installs with the given answer to the Startup question.
void Install(bool startupShortcut);

// The boxes shown, as "caption|text|style" lines, for compact comparisons.
std::string BoxSummary();

// Number of recorded calls of the function, from call number `from` on.
int CountCalls(const std::string& function, size_t from = 0);

}  // namespace machine
