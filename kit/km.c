/* KM.EXE: the stand-in for the product Kalmaris 2001 in the installation kit.
 *
 * Started, it shows one box captioned "Kalmaris 2001" that names the folder it
 * runs in (its current directory), so that a picture shows where a shortcut
 * started it, and it ends when the box is answered. It links no C runtime (its
 * own entry, kernel32 and user32 only) and carries no time stamp, so that two
 * builds give the same bytes. */
#include <windows.h>

static const char kLead[] = "Tady by běžel program Kalmaris 2001.\r\n\r\nSložka: ";
static const char kUnknown[] = "(nelze zjistit)";

/* The lead, then the folder: GetCurrentDirectoryA writes at most MAX_PATH
 * characters with the terminating zero; a longer folder is not shown. */
static char g_text[sizeof kLead + MAX_PATH];

void __stdcall KmStart(void) {
  char* folder = g_text + (sizeof kLead - 1);
  DWORD length;
  lstrcpyA(g_text, kLead);
  length = GetCurrentDirectoryA(MAX_PATH, folder);
  if (length == 0 || length >= MAX_PATH) lstrcpyA(folder, kUnknown);
  MessageBoxA(NULL, g_text, "Kalmaris 2001", MB_OK | MB_ICONINFORMATION);
  ExitProcess(0);
}
