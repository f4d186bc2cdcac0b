// Everything the tool knows about the product it installs: names, paths,
// registry locations, switches and message texts. Texts are stored in the
// Windows-1250 code page (the sources are UTF-8; the compiler converts).
//
// The program stores each text once: what is made of other constants (the
// uninstall key, the registered command, the installed files) is written
// here from the same pieces, and the program uses only one form of it.
#pragma once

#define KALMARIS_PRODUCT_KEY "Kalmaris"
#define KALMARIS_INSTALL_DIR "C:\\Program Files\\Kalmaris\\"
#define KALMARIS_TOOL_PATH KALMARIS_INSTALL_DIR "REMOVE.EXE"
#define KALMARIS_UNINSTALL_KEY_PREFIX "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"

// Product and installation layout.
inline constexpr char ProductKey[] = KALMARIS_PRODUCT_KEY;  // uninstall key and program-group folder
inline constexpr char DisplayName[] = "Kalmaris 2001";
inline constexpr char UninstallCommand[] = KALMARIS_TOOL_PATH;  // also the installed tool itself
inline constexpr char InstallDir[] = KALMARIS_INSTALL_DIR;
inline constexpr unsigned InstallDirWithoutBackslash = sizeof InstallDir - 2;  // "C:\Program Files\Kalmaris"
inline constexpr char GroupShortcutName[] = " Kalmaris.lnk";  // the product shortcut's name in the program group
// The prepared file and the Startup shortcut's name: the same without the space.
inline constexpr const char* ProductShortcutFile = GroupShortcutName + 1;
inline constexpr char ManualShortcutFile[] = "Něco jako manuál.lnk";

// The installation directory's files, in the order the uninstall deletes them:
// their names in InstallDir, which the program uses, and the same as full
// paths, which name them in one piece.
inline constexpr const char* InstalledFileNames[] = {
    ProductShortcutFile, ManualShortcutFile, "KM.EXE", "KM.RTF", "REMOVE.EXE",
};
inline constexpr const char* InstalledFiles[] = {
    KALMARIS_INSTALL_DIR "Kalmaris.lnk",
    KALMARIS_INSTALL_DIR "Něco jako manuál.lnk",
    KALMARIS_INSTALL_DIR "KM.EXE",
    KALMARIS_INSTALL_DIR "KM.RTF",
    KALMARIS_TOOL_PATH,
};
inline constexpr unsigned InstalledFileCount = sizeof InstalledFiles / sizeof InstalledFiles[0];

// Registry locations.
inline constexpr char UninstallKeyPrefix[] = KALMARIS_UNINSTALL_KEY_PREFIX;  // under HKLM
inline constexpr char UninstallKey[] = KALMARIS_UNINSTALL_KEY_PREFIX KALMARIS_PRODUCT_KEY;
// The registered command: the installed tool in double quotes, so that the
// system never splits its path at the blank.
inline constexpr char UninstallCommandLine[] = "\"" KALMARIS_TOOL_PATH "\"";
inline constexpr char ShellFoldersKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";  // HKCU
inline constexpr char DisplayNameValue[] = "DisplayName";
inline constexpr char CommandValue[] = "UninstallString";
inline constexpr char ProgramsValue[] = "programs";
inline constexpr char StartupValue[] = "startup";

// Switches, environment and the boot-time file.
inline constexpr char InstallSwitch[] = "/INSTALL";
inline constexpr char WorkerCommandSuffix[] = " /REMOVE";
inline constexpr const char* WorkerSwitch = WorkerCommandSuffix + 1;  // "/REMOVE"
inline constexpr char TempVariable[] = "TEMP";
inline constexpr char TempCopyName[] = "\\~REMOVE.TMP";
inline constexpr char SystemDirVariable[] = "WINDIR";
inline constexpr char BootFileName[] = "WININIT.INI";
inline constexpr char SectionLine[] = "[rename]";
inline constexpr char DeletionPrefix[] = "nul=";

// A file that another program holds for a moment (the launcher still running
// from the installed tool, a scanner reading the new copy) is tried again this
// many times, this many milliseconds apart: two seconds in all.
inline constexpr unsigned FileInUseRetries = 20;
inline constexpr unsigned FileInUseRetryDelay = 100;

// Message captions and texts.
inline constexpr char InstallCaption[] = "Instalace programu Kalmaris";
inline constexpr char StartupQuestion[] = "Chcete vytvořit zástupce programu Kalmaris ve složce \"Po spuštění\"?";
inline constexpr char InstallSucceeded[] = "Instalace úspěšně dokončena.";
inline constexpr char InstallFailed[] =
    "Instalce dokončena – některé soubory či zástupce však bohužel nebylo možno nainstalovat.";
inline constexpr char UninstallCaption[] = "Odinstalace programu Kalmaris";
inline constexpr char UninstallConfirmation[] = "Opravdu chcete odstranit program Kalmaris 2001?";
inline constexpr char LauncherFailed[] = "Není možné inicializovat odinstalační program!";
inline constexpr char UninstallSucceeded[] = "Odinstalace úspěšně dokončena.";
inline constexpr char UninstallFailed[] =
    "Odinstalace dokončena – některé soubory či složky však bohužel nebylo možno odstranit.";

// Message-box styles and the Yes answer.
inline constexpr unsigned StyleOk = 0;
inline constexpr unsigned StyleYesNo = 4;
inline constexpr unsigned StyleQuestion = 36;
inline constexpr unsigned StyleExclamation = 48;
inline constexpr unsigned StyleStop = 16;
inline constexpr int AnswerYes = 6;
