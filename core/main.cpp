// The main procedure: completes the start-up, runs the mode named by the
// first argument and ends the process with exit code 0.
#include "core/constants.h"
#include "core/modes.h"
#include "runtime/arguments.h"
#include "runtime/startup.h"

void MainProcedure() {
  CompleteStartUp();
  ShortText mode = ProgramArgument(1);
  if (Equal(mode, InstallSwitch)) {
    RunInstall();
  } else if (Equal(mode, WorkerSwitch)) {
    RunRemoveWorker();
  } else {
    RunRemoveLauncher();
  }
  ShutDown(0);
}
