// MINIMAL_BOX.EXE: the least a freestanding GUI program can do before its
// first message box. The benchmark (scripts/bench.py) times its start against
// REMOVE.EXE's; it is built with the same flags but uses nothing of runtime/.
#include <windows.h>

extern "C" void __stdcall ProcessStart() {
  MessageBoxA(nullptr, "x", "Minimal", 0);
  ExitProcess(0);
}
