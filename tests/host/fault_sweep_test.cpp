// Every Win32 call of every scenario made to fail once, in turn: the tool must
// survive each fault with the right exit code, exactly one final message, the
// later steps still attempted, nothing left open, and never a success message
// for work that was not done.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <string>
#include <vector>

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

enum class Mode { kInstall, kLauncher, kWorker };

struct Scenario {
  const char* name;
  Mode mode;
  std::function<void()> arrange;
  std::function<sim::Exit()> run;
  // What must hold when the mode reported complete success (or, for the
  // launcher, showed no error), given the call that was failed.
  std::function<bool(const std::string& failed)> successMeans;
};

bool InstalledCompletely(bool startupShortcut) {
  return sim::KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey) &&
         sim::ValueExists(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName") &&
         sim::ValueExists(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString") &&
         sim::Exists(std::string(kGroup) + "\\ Kalmaris.lnk") &&
         sim::Exists(std::string(kGroup) + "\\Něco jako manuál.lnk") &&
         sim::Exists(std::string(kStartup) + "\\Kalmaris.lnk") == startupShortcut;
}

bool RemovedCompletely() {
  return !sim::KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey) && !sim::Exists(std::string(kStartup) + "\\Kalmaris.lnk") &&
         !sim::Exists(kGroup) && !sim::Exists(kInstallDir);
}

sim::Exit RunInstall(int answer) {
  sim::QueueAnswers({answer});
  return machine::RunTool("/INSTALL");
}

sim::Exit RunLauncher(int answer) {
  sim::QueueAnswers({answer});
  return machine::RunTool("", machine::kWindows);
}

sim::Exit RunWorker() {
  return machine::RunTool("/REMOVE", machine::kWindows, kTempCopy);
}

void PrepareInstalled(bool startupShortcut) {
  machine::Prepare();
  machine::Install(startupShortcut);
  sim::PutFile(kTempCopy, sim::FileBytes(kTool));
}

std::vector<Scenario> Scenarios() {
  return {
      {"install, Yes", Mode::kInstall, [] { machine::Prepare(); }, [] { return RunInstall(IDYES); },
       // A question box that cannot be shown counts as No.
       [](const std::string& failed) { return InstalledCompletely(failed != "MessageBoxA"); }},
      {"install, No", Mode::kInstall, [] { machine::Prepare(); }, [] { return RunInstall(IDNO); },
       [](const std::string&) { return InstalledCompletely(false); }},
      {"launcher, accepted", Mode::kLauncher, [] { machine::Prepare(); }, [] { return RunLauncher(IDYES); },
       [](const std::string& failed) {
         // A confirmation that cannot be shown counts as No.
         if (failed == "MessageBoxA") return sim::StartedProcesses().empty();
         return sim::StartedProcesses().size() == 1 && sim::Exists(sim::StartedProcesses()[0].resolvedModule);
       }},
      {"launcher, declined", Mode::kLauncher, [] { machine::Prepare(); }, [] { return RunLauncher(IDNO); },
       [](const std::string&) { return sim::StartedProcesses().empty(); }},
      {"worker, full installation", Mode::kWorker, [] { PrepareInstalled(true); }, RunWorker,
       [](const std::string&) { return RemovedCompletely(); }},
      {"worker, partial installation", Mode::kWorker,
       [] {
         PrepareInstalled(false);
         DeleteFileA((std::string(kGroup) + "\\Něco jako manuál.lnk").c_str());
         DeleteFileA((std::string(kInstallDir) + "\\KM.RTF").c_str());
       },
       RunWorker, [](const std::string&) { return RemovedCompletely(); }},
  };
}

struct FinalTexts {
  const char* success;
  const char* failure;
};

FinalTexts FinalsOf(Mode mode) {
  switch (mode) {
    case Mode::kInstall:
      return {InstallSucceeded, InstallFailed};
    case Mode::kWorker:
      return {UninstallSucceeded, UninstallFailed};
    case Mode::kLauncher:
      break;
  }
  return {nullptr, LauncherFailed};
}

TEST(FaultSweep, EveryCallFailedOnceIsSurvived) {
  int totalTried = 0, totalSurvived = 0;
  for (const Scenario& scenario : Scenarios()) {
    scenario.arrange();
    size_t first = sim::CallCount();
    scenario.run();
    size_t calls = sim::CallCount() - first;
    ASSERT_GT(calls, 5u) << scenario.name;

    int tried = 0, survived = 0;
    for (size_t k = 1; k <= calls; ++k) {
      scenario.arrange();
      size_t boxesBefore = sim::Boxes().size();
      sim::FailNthCall(k);
      sim::Exit exit = scenario.run();
      std::string failed = sim::FailedCall();
      if (failed.empty()) continue;  // that call cannot fail
      ++tried;
      std::string where = std::string(scenario.name) + ", call " + std::to_string(k) + " " + failed + ": ";

      std::vector<sim::Box> boxes(sim::Boxes().begin() + static_cast<long>(boxesBefore), sim::Boxes().end());
      int errorBoxes = 0, finals = 0, successes = 0;
      FinalTexts finalTexts = FinalsOf(scenario.mode);
      for (const sim::Box& box : boxes) {
        if (box.caption == "Error") ++errorBoxes;
        if (finalTexts.success != nullptr && box.text == finalTexts.success) ++finals, ++successes;
        if (box.text == finalTexts.failure) ++finals;
      }
      std::vector<std::string> problems;
      auto require = [&](bool condition, const char* what) {
        if (!condition) problems.push_back(where + what);
      };

      if (exit.code == 203) {
        require(failed == "HeapAlloc", "start-up report for something else than memory");
        require(errorBoxes == 1 && boxes.size() == 1, "not exactly one start-up report");
      } else if (exit.code == 217) {
        require(failed == "WriteFile", "fatal error for something else than a write");
        require(errorBoxes == 1 && boxes.back().text.find(":\r\nDisk Full\r\n") != std::string::npos,
                "no Disk Full report");
        require(sim::StartedProcesses().size() == 1, "worker not started before the report");
      } else {
        require(exit.code == 0, "exit code neither 0, 203 nor 217");
        require(errorBoxes == 0, "an Error box without a fatal error");
        if (scenario.mode == Mode::kLauncher) {
          require(finals <= 1, "more than one launcher error box");
          if (finals == 0) require(scenario.successMeans(failed), "no error box, but the worker did not start");
        } else if (finals == 0) {
          // Only the final box itself may be missing, when it was the call that failed.
          require(failed == "MessageBoxA", "no final message");
        } else {
          require(finals == 1, "more than one final message");
          if (successes == 1) require(scenario.successMeans(failed), "success reported for work not done");
        }
      }
      sim::Leaks leaks = sim::LastProcessLeaks();
      require(leaks.files + leaks.searches + leaks.keys + leaks.environment == 0, "handle or block left open");
      require(leaks.badHandles == 0, "call on a handle that was never opened");
      for (const std::string& problem : problems) ADD_FAILURE() << problem;
      if (problems.empty()) ++survived;
    }
    std::cout << "fault sweep: " << scenario.name << ": " << calls << " calls, " << tried << " faults tried, "
              << survived << " survived" << std::endl;
    totalTried += tried;
    totalSurvived += survived;
  }
  std::cout << "fault sweep: " << totalTried << " faults tried, " << totalSurvived << " survived" << std::endl;
  EXPECT_EQ(totalTried, totalSurvived);
}

}  // namespace
