// The three modes of the tool, chosen by the first command-line argument.
#pragma once

void RunInstall();         // "/INSTALL"
void RunRemoveWorker();    // "/REMOVE": the second uninstall stage
void RunRemoveLauncher();  // anything else: the first uninstall stage

// Folds a step's outcome into a mode's overall flag: the step has already
// been carried out; the flag stays true only if it succeeded.
inline void Fold(bool& ok, bool stepSucceeded) {
  ok = stepSucceeded && ok;
}
