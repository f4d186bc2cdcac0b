// The two uninstall stages: the launcher that copies and starts the worker,
// the worker that removes the product, and the whole cycle.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/constants.h"
#include "runtime/startup.h"
#include "tests/host/machine.h"

namespace {

using machine::kGroup;
using machine::kInstallDir;
using machine::kStartup;
using machine::kTempCopy;
using machine::kTool;
using machine::kUninstallKey;
using machine::kWininit;

const std::string kConfirm = std::string(UninstallCaption) + "|" + UninstallConfirmation + "|36\n";
const std::string kCannotStart = std::string(UninstallCaption) + "|" + LauncherFailed + "|16\n";
const std::string kRemoved = std::string(UninstallCaption) + "|" + UninstallSucceeded + "|0\n";
const std::string kNotAllRemoved = std::string(UninstallCaption) + "|" + UninstallFailed + "|0\n";
const std::string kTwoLines = "[rename]\r\nnul=C:\\WINDOWS\\TEMP\\~REMOVE.TMP\r\n";

// The system's uninstall command starts the tool from outside its directory.
sim::Exit Launch(int answer = IDYES) {
  sim::QueueAnswers({answer});
  return machine::RunTool("", machine::kWindows);
}

// ---- launcher ----

TEST(Launcher, DeclinedDoesNothing) {
  for (int answer : {IDNO, 0}) {  // 0: the box itself failed
    machine::Prepare();
    sim::Exit exit = Launch(answer);
    EXPECT_EQ(exit.code, 0u);
    EXPECT_EQ(machine::BoxSummary(), kConfirm);
    EXPECT_FALSE(sim::Exists(kTempCopy));
    EXPECT_TRUE(sim::StartedProcesses().empty());
    EXPECT_FALSE(sim::Exists(kWininit));
  }
}

TEST(Launcher, CopiesStartsQuotedAndSchedulesDeletion) {
  machine::Prepare();
  sim::Exit exit = Launch();
  EXPECT_EQ(exit.code, 0u);
  EXPECT_EQ(machine::BoxSummary(), kConfirm);
  EXPECT_EQ(sim::FileBytes(kTempCopy), sim::FileBytes(kTool));
  ASSERT_EQ(sim::StartedProcesses().size(), 1u);
  const sim::Started& worker = sim::StartedProcesses()[0];
  EXPECT_EQ(worker.commandLine, "\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\" /REMOVE");
  EXPECT_EQ(worker.resolvedModule, kTempCopy);
  EXPECT_EQ(worker.creationFlags, 0x30u);
  EXPECT_EQ(worker.inheritHandles, FALSE);
  EXPECT_EQ(worker.applicationName, "(null)");
  EXPECT_FALSE(worker.environmentGiven);
  EXPECT_TRUE(worker.currentDirectoryGiven);
  EXPECT_EQ(worker.currentDirectory, machine::kTemp);  // never the launcher's own directory
  EXPECT_FALSE(worker.securityGiven);
  EXPECT_EQ(sim::FileBytes(kWininit), kTwoLines);
  // The boot-time file is opened for writing only, unshared, created if missing.
  bool sawOpen = false;
  for (const std::string& call : sim::Calls()) {
    if (call.rfind("CreateFileA(\"C:\\WINDOWS\\WININIT.INI\", 0x40000000, 0x0", 0) == 0) sawOpen = true;
  }
  EXPECT_TRUE(sawOpen);
  // The copy is locked against writers from before it is compared with the
  // tool's own file until the worker has been started.
  std::string calls;
  std::string copyOpen;
  for (size_t i = 0; i < sim::Calls().size(); ++i) {
    const std::string& call = sim::Calls()[i];
    calls += call.substr(0, call.find('(')) + " ";
    if (i > 0 && sim::Calls()[i - 1].rfind("CopyFileA(", 0) == 0) copyOpen = call;
  }
  EXPECT_NE(calls.find("CopyFileA CreateFileA CreateFileA ReadFile ReadFile ReadFile ReadFile CloseHandle "
                       "CreateProcessA CloseHandle "),
            std::string::npos)
      << calls;
  EXPECT_NE(copyOpen.find("CreateFileA(\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\", 0x80000000, 0x1, 3"), std::string::npos);
  EXPECT_EQ(sim::LastProcessLeaks().files, 0);
  EXPECT_EQ(sim::LastProcessLeaks().environment, 0);
}

TEST(Launcher, FailuresAndOddEnvironments) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string boxes;
    std::string copyPath;     // "" when no copy must exist
    std::string commandLine;  // "" when nothing must be started
    std::string wininitPath;
    std::string wininit;  // expected bytes; "-" when the file must not exist
    unsigned exitCode;
    bool copyIsTheTool = true;  // false: another program changed the copy
    int sleeps = 0;             // 100 ms waits for a copy another program holds
  } cases[] = {
      {"copy fails", [] { sim::FailCall("CopyFileA", 1); }, kConfirm + kCannotStart, "", "", kWininit, "-", 0},
      {"start fails", [] { sim::FailCall("CreateProcessA", 1); }, kConfirm + kCannotStart, kTempCopy, "", kWininit, "-",
       0},
      // Another program of the user at work in the temporary folder: the
      // copy is started only as the tool's own bytes, never another program.
      {"copy replaced after copying",
       [] { sim::AfterCall("CopyFileA", 1, [] { sim::PutFile(kTempCopy, "a stranger's program"); }); },
       kConfirm + kCannotStart, kTempCopy, "", kWininit, "-", 0, false},
      {"copy changed by one byte",
       [] {
         sim::AfterCall("CopyFileA", 1, [] {
           std::string bytes = sim::FileBytes(kTempCopy);
           bytes.back() ^= 1;
           sim::PutFile(kTempCopy, bytes);
         });
       },
       kConfirm + kCannotStart, kTempCopy, "", kWininit, "-", 0, false},
      {"copy loses its last byte",
       [] {
         sim::AfterCall("CopyFileA", 1, [] {
           std::string bytes = sim::FileBytes(kTempCopy);
           sim::PutFile(kTempCopy, bytes.substr(0, bytes.size() - 1));
         });
       },
       kConfirm + kCannotStart, kTempCopy, "", kWininit, "-", 0, false},
      {"copy gains a byte",
       [] { sim::AfterCall("CopyFileA", 1, [] { sim::PutFile(kTempCopy, sim::FileBytes(kTempCopy) + "x"); }); },
       kConfirm + kCannotStart, kTempCopy, "", kWininit, "-", 0, false},
      // A scanner that reads the new program file at once holds it briefly;
      // a program that keeps it open for writing never lets it start.
      {"copy held open for 300 ms",
       [] {
         sim::AfterCall("CopyFileA", 1, [] {
           sim::HoldOpen(kTempCopy, GENERIC_READ | GENERIC_WRITE, 0);
           sim::At(sim::Now() + 300, [] { sim::Release(kTempCopy); });
         });
       },
       kConfirm, kTempCopy, "\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\" /REMOVE", kWininit, kTwoLines, 0, true, 3},
      {"copy held open for writing throughout",
       [] {
         sim::AfterCall("CopyFileA", 1,
                        [] { sim::HoldOpen(kTempCopy, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE); });
       },
       kConfirm + kCannotStart, kTempCopy, "", kWininit, "-", 0, true, 20},
      {"copy cannot be opened for another reason", [] { sim::FailCall("CreateFileA", 1, ERROR_ACCESS_DENIED); },
       kConfirm + kCannotStart, kTempCopy, "", kWininit, "-", 0},
      {"own file cannot be read", [] { sim::FailCall("CreateFileA", 2, ERROR_ACCESS_DENIED); }, kConfirm + kCannotStart,
       kTempCopy, "", kWininit, "-", 0},
      {"own file fails while being read", [] { sim::FailCall("ReadFile", 2); }, kConfirm + kCannotStart, kTempCopy, "",
       kWininit, "-", 0},
      {"TEMP unset", [] { sim::SetEnvironment({"windir=C:\\WINDOWS"}); }, kConfirm, "C:\\~REMOVE.TMP",
       "\"\\~REMOVE.TMP\" /REMOVE", kWininit, "[rename]\r\nnul=\\~REMOVE.TMP\r\n", 0},
      {"WINDIR unset", [] { sim::SetEnvironment({"TEMP=C:\\WINDOWS\\TEMP"}); }, kConfirm, kTempCopy,
       "\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\" /REMOVE", "C:\\WININIT.INI", kTwoLines, 0},
      {"WININIT.INI ends with a line break", [] { sim::PutFile(kWininit, "[rename]\r\nnul=C:\\OTHER.TMP\r\n"); },
       kConfirm, kTempCopy, "\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\" /REMOVE", kWininit,
       "[rename]\r\nnul=C:\\OTHER.TMP\r\n" + kTwoLines, 0},
      {"WININIT.INI without a final line break", [] { sim::PutFile(kWininit, "[rename]\r\nnul=C:\\OTHER.TMP"); },
       kConfirm, kTempCopy, "\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\" /REMOVE", kWininit,
       "[rename]\r\nnul=C:\\OTHER.TMP\r\n" + kTwoLines, 0},
      {"WININIT.INI ends with a bare line feed", [] { sim::PutFile(kWininit, "x\n"); }, kConfirm, kTempCopy,
       "\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\" /REMOVE", kWininit, "x\n" + kTwoLines, 0},
      {"WININIT.INI empty", [] { sim::PutFile(kWininit, ""); }, kConfirm, kTempCopy,
       "\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\" /REMOVE", kWininit, kTwoLines, 0},
      {"WININIT.INI held open elsewhere",
       [] {
         sim::PutFile(kWininit, "keep");
         sim::HoldOpen(kWininit, GENERIC_READ | GENERIC_WRITE, 0);
       },
       kConfirm, kTempCopy, "\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\" /REMOVE", kWininit, "keep", 0},
      {"WININIT.INI in a missing directory",
       [] {
         sim::SetEnvironment({"TEMP=C:\\WINDOWS\\TEMP", "WINDIR=C:\\NONE"});
       },
       kConfirm, kTempCopy, "\"C:\\WINDOWS\\TEMP\\~REMOVE.TMP\" /REMOVE", "C:\\NONE\\WININIT.INI", "-", 0},
  };
  for (const Case& c : cases) {
    machine::Prepare();
    c.arrange();
    sim::Exit exit = Launch();
    EXPECT_EQ(exit.code, c.exitCode) << c.name;
    EXPECT_EQ(machine::BoxSummary(), c.boxes) << c.name;
    if (!c.copyPath.empty()) {
      EXPECT_EQ(sim::FileBytes(c.copyPath) == sim::FileBytes(kTool), c.copyIsTheTool) << c.name;
    }
    if (c.copyPath.empty()) {
      EXPECT_FALSE(sim::Exists(kTempCopy)) << c.name;
    }
    if (c.commandLine.empty()) {
      EXPECT_TRUE(sim::StartedProcesses().empty()) << c.name;
    } else {
      ASSERT_EQ(sim::StartedProcesses().size(), 1u) << c.name;
      EXPECT_EQ(sim::StartedProcesses()[0].commandLine, c.commandLine) << c.name;
      // The worker starts in the folder that holds the copy.
      std::string folder = c.copyPath.substr(0, c.copyPath.rfind('\\'));
      EXPECT_EQ(sim::StartedProcesses()[0].currentDirectory, folder.back() == ':' ? folder + "\\" : folder) << c.name;
    }
    if (c.wininit == "-") {
      EXPECT_FALSE(sim::Exists(c.wininitPath)) << c.name;
    } else {
      EXPECT_EQ(sim::FileBytes(c.wininitPath), c.wininit) << c.name;
    }
    EXPECT_EQ(machine::CountCalls("Sleep"), c.sleeps) << c.name;
    EXPECT_EQ(sim::LastProcessLeaks().files, 0) << c.name;
    EXPECT_EQ(sim::LastProcessLeaks().badHandles, 0) << c.name;
  }
}

TEST(Launcher, TempWithBlanksStartsTheWorkerNotASecondLauncher) {
  machine::Prepare();
  std::string temp = "C:\\Documents and Settings\\Jana\\Local Settings\\Temp";
  sim::MakeDirs(temp);
  sim::PutFile("C:\\Documents.exe", "a stranger's program");
  sim::SetEnvironment({"TEMP=" + temp, "WINDIR=C:\\WINDOWS"});
  Launch();
  ASSERT_EQ(sim::StartedProcesses().size(), 1u);
  std::string copy = temp + "\\~REMOVE.TMP";
  EXPECT_EQ(sim::StartedProcesses()[0].commandLine, "\"" + copy + "\" /REMOVE");
  EXPECT_EQ(sim::StartedProcesses()[0].resolvedModule, copy);
  EXPECT_EQ(sim::FileBytes(kWininit), "[rename]\r\nnul=" + copy + "\r\n");

  sim::Exit worker = sim::RunStarted(ProcessEntry, 0);
  EXPECT_EQ(worker.code, 0u);
  // One confirmation only: the copy ran as the worker.
  EXPECT_EQ(machine::BoxSummary(), kConfirm + kNotAllRemoved);
  EXPECT_FALSE(sim::Exists(kInstallDir));
}

TEST(Launcher, LongTempIsCutTheSameWayEverywhere) {
  for (size_t length : {243u, 244u, 250u, 300u}) {
    machine::Prepare();
    std::string temp = "C:\\" + std::string(length - 3, 't');
    // The environment entry itself is cut to 255 characters first.
    std::string value = temp.substr(0, 255 - 5);
    sim::MakeDirs(value);
    sim::SetEnvironment({"TEMP=" + temp, "WINDIR=C:\\WINDOWS"});
    Launch();
    std::string copy = (value + "\\~REMOVE.TMP").substr(0, 255);
    ASSERT_EQ(sim::StartedProcesses().size(), 1u) << length;
    EXPECT_EQ(sim::StartedProcesses()[0].commandLine, "\"" + copy + "\" /REMOVE") << length;
    EXPECT_EQ(sim::FileBytes(kWininit), "[rename]\r\nnul=" + copy + "\r\n") << length;
    bool copied = false;
    for (const std::string& call : sim::Calls()) {
      if (call.rfind("CopyFileA(", 0) == 0 && call.find("\"" + copy + "\"") != std::string::npos) copied = true;
    }
    EXPECT_TRUE(copied) << length;
  }
}

TEST(Launcher, WriteFailureAfterOpenIsDiskFull) {
  machine::Prepare();
  sim::AddDrive('F');
  sim::MakeDirs("F:\\WINDOWS");
  sim::SetFreeSpace('F', 10);
  sim::SetEnvironment({"TEMP=C:\\WINDOWS\\TEMP", "WINDIR=F:\\WINDOWS"});
  sim::Exit exit = Launch();
  EXPECT_EQ(exit.code, 217u);
  ASSERT_EQ(sim::Boxes().size(), 2u);
  EXPECT_EQ(sim::Boxes()[1].caption, "Error");
  EXPECT_NE(sim::Boxes()[1].text.find(" :\r\nDisk Full\r\n  0x"), std::string::npos);
  EXPECT_EQ(sim::StartedProcesses().size(), 1u);  // the worker was already started
}

// ---- worker ----

// The boxes of machine::Install, which every worker test starts with.
const std::string kInstallBoxes =
    std::string(InstallCaption) + "|" + StartupQuestion + "|4\n" + InstallCaption + "|" + InstallSucceeded + "|0\n";

sim::Exit RunWorker() {
  if (!sim::Exists(kTempCopy)) sim::PutFile(kTempCopy, sim::FileBytes(kTool));
  return machine::RunTool("/REMOVE", "C:\\WINDOWS", kTempCopy);
}

void ExpectAllGone() {
  EXPECT_FALSE(sim::KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
  EXPECT_FALSE(sim::Exists(std::string(kStartup) + "\\Kalmaris.lnk"));
  EXPECT_FALSE(sim::Exists(kGroup));
  EXPECT_FALSE(sim::Exists(kInstallDir));
  EXPECT_TRUE(sim::IsDirectory("C:\\Program Files"));
}

TEST(Worker, RemovesEverythingAfterAnInstall) {
  // A Startup shortcut that is not there counts as removed, whichever way the
  // search says so.
  struct Case {
    const char* name;
    bool startupShortcut;
    std::function<void()> arrange;
  } cases[] = {
      {"with the Startup shortcut", true, [] {}},
      {"without it", false, [] {}},
      {"Startup folder missing on disk: path not found", false, [] { RemoveDirectoryA(kStartup); }},
      {"Startup value with characters refused in names: invalid name", false,
       [] { sim::PutString(HKEY_CURRENT_USER, machine::kShellFolders, "Startup", "C:\\WINDOWS\\Start|Up"); }},
  };
  for (const Case& c : cases) {
    machine::Prepare();
    machine::Install(c.startupShortcut);
    c.arrange();
    sim::Exit exit = RunWorker();
    EXPECT_EQ(exit.code, 0u);
    EXPECT_EQ(machine::BoxSummary(), kInstallBoxes + kRemoved) << c.name;
    ExpectAllGone();
    EXPECT_EQ(machine::CountCalls("Sleep"), 0);
    EXPECT_EQ(sim::LastProcessLeaks().keys + sim::LastProcessLeaks().searches + sim::LastProcessLeaks().files, 0);
  }
}

TEST(Worker, FailuresStillAttemptEveryStep) {
  const std::string rtf = std::string(kInstallDir) + "\\KM.RTF";
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::function<void()> check;
  } cases[] = {
      {"extra file in the installation directory",
       [] { sim::PutFile(std::string(kInstallDir) + "\\notes.txt", "mine"); },
       [] {
         EXPECT_EQ(sim::List(kInstallDir), std::vector<std::string>{"notes.txt"});
         EXPECT_FALSE(sim::Exists(kGroup));
       }},
      {"extra shortcut in the group", [] { sim::PutFile(std::string(kGroup) + "\\Other.lnk", "x"); },
       [] {
         EXPECT_EQ(sim::List(kGroup), std::vector<std::string>{"Other.lnk"});
         EXPECT_FALSE(sim::Exists(kInstallDir));
       }},
      {"directory where a file is expected",
       [&] {
         DeleteFileA(rtf.c_str());
         sim::MakeDirs(rtf);
       },
       [&] {
         EXPECT_TRUE(sim::IsDirectory(rtf));
         EXPECT_FALSE(sim::Exists(std::string(kInstallDir) + "\\REMOVE.EXE"));
       }},
      {"file where the group folder is expected",
       [] {
         for (const std::string& name : sim::List(kGroup)) DeleteFileA((std::string(kGroup) + "\\" + name).c_str());
         RemoveDirectoryA(kGroup);
         sim::PutFile(kGroup, "a file");
       },
       [] {
         EXPECT_EQ(sim::FileBytes(kGroup), "a file");
         EXPECT_FALSE(sim::Exists(kInstallDir));
       }},
      {"registration already gone", [] { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey); },
       [] { EXPECT_FALSE(sim::Exists(kInstallDir)); }},
      // Only the installed tool is waited for: a product still running is
      // not going to end while the worker waits.
      {"product still running", [] { sim::HoldOpen(std::string(kInstallDir) + "\\KM.EXE", GENERIC_READ, 0); },
       [] { EXPECT_EQ(sim::List(kInstallDir), std::vector<std::string>{"KM.EXE"}); }},
  };
  for (const Case& c : cases) {
    machine::Prepare();
    machine::Install(true);
    c.arrange();
    sim::Exit exit = RunWorker();
    EXPECT_EQ(exit.code, 0u) << c.name;
    EXPECT_EQ(machine::BoxSummary(), kInstallBoxes + kNotAllRemoved) << c.name;
    EXPECT_FALSE(sim::KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey)) << c.name;
    EXPECT_FALSE(sim::Exists(std::string(kStartup) + "\\Kalmaris.lnk")) << c.name;
    EXPECT_EQ(machine::CountCalls("Sleep"), 0) << c.name;
    c.check();
  }
}

TEST(Worker, SecondRunReportsFailureAndDeletesNothing) {
  machine::Prepare();
  machine::Install(true);
  RunWorker();
  size_t firstRun = sim::Calls().size();
  sim::Exit exit = RunWorker();
  EXPECT_EQ(exit.code, 0u);
  EXPECT_EQ(machine::BoxSummary(), kInstallBoxes + kRemoved + kNotAllRemoved);
  EXPECT_EQ(machine::CountCalls("DeleteFileA", firstRun), 0);
}

TEST(Worker, InstalledToolStartedDirectlyFailsAfterWaiting) {
  machine::Prepare();
  machine::Install(false);
  sim::Exit exit = machine::RunTool("/REMOVE");
  EXPECT_EQ(exit.code, 0u);
  EXPECT_EQ(machine::BoxSummary(), kInstallBoxes + kNotAllRemoved);
  EXPECT_EQ(machine::CountCalls("Sleep"), 20);
  EXPECT_EQ(sim::Now(), 2000u);
  EXPECT_TRUE(sim::Exists(kTool));
  EXPECT_EQ(sim::List(kInstallDir), std::vector<std::string>{"REMOVE.EXE"});
  EXPECT_FALSE(sim::Exists(kGroup));
}

TEST(Worker, WaitsForTheLauncherToReleaseTheTool) {
  machine::Prepare();
  machine::Install(true);
  sim::HoldOpen(kTool, GENERIC_READ, FILE_SHARE_READ);  // the launcher's running image
  sim::At(500, [] { sim::Release(kTool); });
  sim::Exit exit = RunWorker();
  EXPECT_EQ(exit.code, 0u);
  EXPECT_EQ(machine::BoxSummary(), kInstallBoxes + kRemoved);
  EXPECT_EQ(machine::CountCalls("Sleep"), 5);
  ExpectAllGone();
}

TEST(Worker, DeletesInTheGivenOrder) {
  machine::Prepare();
  machine::Install(true);
  RunWorker();
  std::vector<std::string> deleted;
  for (const std::string& call : sim::Calls()) {
    if (call.rfind("DeleteFileA(\"", 0) == 0) deleted.push_back(call.substr(13, call.find('"', 13) - 13));
    if (call.rfind("RemoveDirectoryA(\"", 0) == 0) deleted.push_back(call.substr(18, call.find('"', 18) - 18));
  }
  std::vector<std::string> expected = {
      std::string(kStartup) + "\\Kalmaris.lnk",       std::string(kGroup) + "\\ Kalmaris.lnk",
      std::string(kGroup) + "\\Něco jako manuál.lnk", kGroup,
      std::string(kInstallDir) + "\\Kalmaris.lnk",    std::string(kInstallDir) + "\\Něco jako manuál.lnk",
      std::string(kInstallDir) + "\\KM.EXE",          std::string(kInstallDir) + "\\KM.RTF",
      std::string(kInstallDir) + "\\REMOVE.EXE",      kInstallDir,
  };
  EXPECT_EQ(deleted, expected);
}

// ---- the whole cycle ----

TEST(Cycle, InstallThenUninstallFromTheSystemsCommand) {
  // The system's command starts the tool elsewhere; a user who double-clicks
  // it in Explorer starts it in the installation directory itself.
  for (const char* launcherDirectory : {machine::kWindows, kInstallDir}) {
    machine::Prepare();
    machine::Install(true);
    // The system starts the registered command as it stands.
    std::string command = sim::GetValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString").data;
    command.resize(command.size() - 1);
    sim::QueueAnswers({IDYES});
    sim::Exit launcher = sim::RunProcess(ProcessEntry, command, kTool, launcherDirectory);
    EXPECT_EQ(launcher.code, 0u);
    ASSERT_EQ(sim::StartedProcesses().size(), 1u);
    sim::Exit worker = sim::RunStarted(ProcessEntry, 0);
    EXPECT_EQ(worker.code, 0u);
    ASSERT_EQ(sim::Boxes().size(), 4u);
    EXPECT_EQ(sim::Boxes()[2].text, UninstallConfirmation);
    EXPECT_EQ(sim::Boxes()[3].text, UninstallSucceeded) << launcherDirectory;
    ExpectAllGone();
    EXPECT_EQ(sim::FileBytes(kWininit), kTwoLines);
    EXPECT_TRUE(sim::Exists(kTempCopy));  // until the system processes WININIT.INI
  }
}

}  // namespace
