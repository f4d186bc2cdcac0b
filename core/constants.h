// Everything the tool knows about the product it installs: names, paths,
// registry locations, switches and message texts. Texts are stored in the
// Windows-1250 code page (the sources are UTF-8; the compiler converts).
#pragma once

#define KALMARIS_INSTALL_DIR "C:\\Program Files\\Kalmaris\\"

// Product and installation layout.
constexpr char ProductKey[] = "Kalmaris";  // uninstall key and program-group folder
constexpr char DisplayName[] = "Kalmaris 2001";
constexpr char UninstallCommand[] = KALMARIS_INSTALL_DIR "REMOVE.EXE";  // also the installed tool itself
constexpr char InstallDir[] = KALMARIS_INSTALL_DIR;
constexpr unsigned InstallDirWithoutBackslash = sizeof InstallDir - 2;  // "C:\Program Files\Kalmaris"
constexpr char ProductShortcutFile[] = "Kalmaris.lnk";                   // prepared file; Startup shortcut name
constexpr char GroupShortcutName[] = " Kalmaris.lnk";                    // its name in the program group
constexpr char ManualShortcutFile[] = "Něco jako manuál.lnk";

// The installation directory's files, in the order the uninstall deletes them.
constexpr const char* InstalledFiles[] = {
    KALMARIS_INSTALL_DIR "Kalmaris.lnk", KALMARIS_INSTALL_DIR "Něco jako manuál.lnk", KALMARIS_INSTALL_DIR "KM.EXE",
    KALMARIS_INSTALL_DIR "KM.RTF",       KALMARIS_INSTALL_DIR "REMOVE.EXE",
};
constexpr unsigned InstalledFileCount = sizeof InstalledFiles / sizeof InstalledFiles[0];

// Registry locations.
constexpr char UninstallKeyPrefix[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";  // under HKLM
constexpr char ShellFoldersKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";  // HKCU
constexpr char DisplayNameValue[] = "DisplayName";
constexpr char CommandValue[] = "UninstallString";
constexpr char ProgramsValue[] = "programs";
constexpr char StartupValue[] = "startup";

// Switches, environment and the boot-time file.
constexpr char InstallSwitch[] = "/INSTALL";
constexpr char WorkerSwitch[] = "/REMOVE";
constexpr char WorkerCommandSuffix[] = " /REMOVE";
constexpr char TempVariable[] = "TEMP";
constexpr char TempCopyName[] = "\\~REMOVE.TMP";
constexpr char SystemDirVariable[] = "WINDIR";
constexpr char BootFileName[] = "WININIT.INI";
constexpr char SectionLine[] = "[rename]";
constexpr char DeletionPrefix[] = "nul=";

// Message captions and texts.
constexpr char InstallCaption[] = "Instalace programu Kalmaris";
constexpr char StartupQuestion[] = "Chcete vytvořit zástupce programu Kalmaris ve složce \"Po spuštění\"?";
constexpr char InstallSucceeded[] = "Instalace úspěšně dokončena.";
constexpr char InstallFailed[] = "Instalce dokončena – některé soubory či zástupce však bohužel nebylo možno nainstalovat.";
constexpr char UninstallCaption[] = "Odinstalace programu Kalmaris";
constexpr char UninstallConfirmation[] = "Opravdu chcete odstranit program Kalmaris 2001?";
constexpr char LauncherFailed[] = "Není možné inicializovat odinstalační program!";
constexpr char UninstallSucceeded[] = "Odinstalace úspěšně dokončena.";
constexpr char UninstallFailed[] = "Odinstalace dokončena – některé soubory či složky však bohužel nebylo možno odstranit.";

// Message-box styles and the Yes answer.
constexpr unsigned StyleOk = 0;
constexpr unsigned StyleYesNo = 4;
constexpr unsigned StyleQuestion = 36;
constexpr unsigned StyleExclamation = 48;
constexpr unsigned StyleStop = 16;
constexpr int AnswerYes = 6;
