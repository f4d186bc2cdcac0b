// "/INSTALL" and the services it uses: registration and shell folders.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/constants.h"
#include "services/shell_folders.h"
#include "tests/host/machine.h"

namespace {

using machine::kGroup;
using machine::kInstallDir;
using machine::kShellFolders;
using machine::kStartup;
using machine::kUninstallKey;

const std::string kQuestion = std::string(InstallCaption) + "|" + StartupQuestion + "|4\n";
const std::string kSuccess = std::string(InstallCaption) + "|" + InstallSucceeded + "|0\n";
const std::string kFailure = std::string(InstallCaption) + "|" + InstallFailed + "|48\n";
const std::string kGroupShortcut = std::string(kGroup) + "\\ Kalmaris.lnk";
const std::string kGroupManual = std::string(kGroup) + "\\Něco jako manuál.lnk";
const std::string kStartupShortcut = std::string(kStartup) + "\\Kalmaris.lnk";

sim::Exit Install(int answer, const std::string& directory = kInstallDir) {
  sim::QueueAnswers({answer});
  return machine::RunTool("/INSTALL", directory);
}

void ExpectRegistered() {
  ASSERT_TRUE(sim::KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
  sim::RegValue name = sim::GetValue(HKEY_LOCAL_MACHINE, kUninstallKey, "DisplayName");
  sim::RegValue command = sim::GetValue(HKEY_LOCAL_MACHINE, kUninstallKey, "UninstallString");
  EXPECT_EQ(name.type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(name.data, std::string("Kalmaris 2001\0", 14));
  EXPECT_EQ(command.type, static_cast<DWORD>(REG_SZ));
  // Quoted, so the system never tries C:\Program.exe first.
  EXPECT_EQ(command.data, std::string("\"C:\\Program Files\\Kalmaris\\REMOVE.EXE\"\0", 39));
}

void ExpectNothingLeftOpen() {
  EXPECT_EQ(sim::LastProcessLeaks().keys, 0);
  EXPECT_EQ(sim::LastProcessLeaks().files, 0);
  EXPECT_EQ(sim::LastProcessLeaks().searches, 0);
  EXPECT_EQ(sim::LastProcessLeaks().badHandles, 0);
}

TEST(Install, HappyPathWithAndWithoutStartupShortcut) {
  for (int answer : {IDYES, IDNO}) {
    machine::Prepare();
    sim::Exit exit = Install(answer);
    EXPECT_EQ(exit.code, 0u);
    ExpectRegistered();
    EXPECT_EQ(sim::FileBytes(kGroupShortcut), "contents of Kalmaris.lnk");
    EXPECT_EQ(sim::FileBytes(kGroupManual), "contents of Něco jako manuál.lnk");
    EXPECT_EQ(sim::Exists(kStartupShortcut), answer == IDYES);
    if (answer == IDYES) {
      EXPECT_EQ(sim::FileBytes(kStartupShortcut), "contents of Kalmaris.lnk");
    }
    EXPECT_EQ(machine::BoxSummary(), kQuestion + kSuccess);
    for (const sim::Box& box : sim::Boxes()) EXPECT_FALSE(box.hasOwner);
    ExpectNothingLeftOpen();
  }
}

TEST(Install, RegistryCallsUseTheirExactParameters) {
  machine::Prepare();
  Install(IDNO);
  int creates = 0;
  for (const std::string& call : sim::Calls()) {
    if (call.rfind("RegCreateKeyExA(", 0) == 0) {
      ++creates;
      EXPECT_NE(call.find("Uninstall\\Kalmaris"), std::string::npos) << call;
      EXPECT_NE(call.find("0x20006"), std::string::npos) << call;
    }
    if (call.rfind("RegOpenKeyExA(", 0) == 0) {
      EXPECT_NE(call.find("0x20019"), std::string::npos) << call;
    }
  }
  EXPECT_EQ(creates, 1);
  EXPECT_EQ(machine::CountCalls("RegSetValueExA"), 2);
  EXPECT_EQ(machine::CountCalls("RegCloseKey"),
            machine::CountCalls("RegCreateKeyExA") + machine::CountCalls("RegOpenKeyExA"));
}

TEST(Install, EveryStepIsAttemptedWhateverFailed) {
  struct Case {
    const char* name;
    machine::Setup setup;
    std::function<void()> arrange;
    int answer;
    std::string directory;
    int copies;  // CopyFileA calls made
    std::function<void()> check;
  } cases[] = {
      {"prepared shortcuts missing",
       {},
       [] { sim::MakeDirs("C:\\Empty"); },
       IDYES,
       "C:\\Empty",
       3,
       [] {
         ExpectRegistered();
         EXPECT_TRUE(sim::IsDirectory(kGroup));
         EXPECT_TRUE(sim::List(kGroup).empty());
         EXPECT_FALSE(sim::Exists(kStartupShortcut));
       }},
      {"programs value missing",
       {true, false, true},
       [] {},
       IDYES,
       kInstallDir,
       1,
       [] {
         EXPECT_FALSE(sim::Exists(kGroup));
         EXPECT_FALSE(sim::Exists(std::string(kInstallDir) + "\\ Kalmaris.lnk"));
         EXPECT_TRUE(sim::Exists(kStartupShortcut));
       }},
      {"startup value missing and Yes",
       {true, true, false},
       [] {},
       IDYES,
       kInstallDir,
       2,
       [] {
         EXPECT_TRUE(sim::Exists(kGroupManual));
         EXPECT_FALSE(sim::Exists(kStartupShortcut));
       }},
      {"HKLM not writable",
       {},
       [] { sim::DenyWrites(HKEY_LOCAL_MACHINE); },
       IDYES,
       kInstallDir,
       3,
       [] {
         EXPECT_FALSE(sim::KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
         EXPECT_TRUE(sim::Exists(kGroupShortcut));
         EXPECT_TRUE(sim::Exists(kGroupManual));
         EXPECT_TRUE(sim::Exists(kStartupShortcut));
       }},
      {"first value write fails",
       {},
       [] { sim::FailCall("RegSetValueExA", 1); },
       IDNO,
       kInstallDir,
       2,
       [] {
         EXPECT_TRUE(sim::KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey));
         EXPECT_TRUE(sim::ValueNames(HKEY_LOCAL_MACHINE, kUninstallKey).empty());
         EXPECT_EQ(machine::CountCalls("RegSetValueExA"), 1);
         EXPECT_TRUE(sim::Exists(kGroupManual));
       }},
      {"first copy fails",
       {},
       [] { sim::FailCall("CopyFileA", 1); },
       IDYES,
       kInstallDir,
       3,
       [] {
         EXPECT_FALSE(sim::Exists(kGroupShortcut));
         EXPECT_TRUE(sim::Exists(kGroupManual));
         EXPECT_TRUE(sim::Exists(kStartupShortcut));
       }},
      {"Startup folder gone from disk",
       {},
       [] { sim::PutString(HKEY_CURRENT_USER, kShellFolders, "Startup", "C:\\WINDOWS\\Gone"); },
       IDYES,
       kInstallDir,
       3,
       [] { EXPECT_TRUE(sim::Exists(kGroupManual)); }},
      {"group folder cannot be made",
       {},
       [] { sim::FailAlways("CreateDirectoryA"); },
       IDYES,
       kInstallDir,
       1,
       [] { EXPECT_TRUE(sim::Exists(kStartupShortcut)); }},
  };
  for (const Case& c : cases) {
    machine::Prepare(c.setup);
    c.arrange();
    sim::Exit exit = Install(c.answer, c.directory);
    EXPECT_EQ(exit.code, 0u) << c.name;
    EXPECT_EQ(machine::BoxSummary(), kQuestion + kFailure) << c.name;
    EXPECT_EQ(machine::CountCalls("CopyFileA"), c.copies) << c.name;
    c.check();
    ExpectNothingLeftOpen();
  }
}

TEST(Install, TwiceSucceedsTwiceAndOverwrites) {
  machine::Prepare();
  Install(IDYES);
  sim::PutFile(kGroupShortcut, "stale");
  sim::Exit exit = Install(IDYES);
  EXPECT_EQ(exit.code, 0u);
  EXPECT_EQ(machine::BoxSummary(), kQuestion + kSuccess + kQuestion + kSuccess);
  EXPECT_EQ(sim::FileBytes(kGroupShortcut), "contents of Kalmaris.lnk");
  ExpectRegistered();
}

TEST(Install, ProgramsValueShapes) {
  struct Case {
    const char* name;
    std::string value;
    std::string groupPrefix;  // as the copy is asked to write it
    const char* groupOnDisk;
    bool success;
  } cases[] = {
      {"trailing backslash is doubled", "C:\\WINDOWS\\Start Menu\\Programs\\",
       "C:\\WINDOWS\\Start Menu\\Programs\\\\Kalmaris\\", kGroup, true},
      {"empty value puts the group in the root", "", "\\Kalmaris\\", "C:\\Kalmaris", true},
      {"a file of the group's name", "C:\\WINDOWS\\Start Menu\\Programs",
       "C:\\WINDOWS\\Start Menu\\Programs\\Kalmaris\\", nullptr, false},
  };
  for (const Case& c : cases) {
    machine::Prepare();
    if (std::string(c.name) == "a file of the group's name") sim::PutFile(kGroup, "not a folder");
    sim::PutString(HKEY_CURRENT_USER, kShellFolders, "Programs", c.value);
    Install(IDNO);
    bool sawCopy = false;
    for (const std::string& call : sim::Calls()) {
      if (call.rfind("CopyFileA(", 0) == 0 && call.find(c.groupPrefix + " Kalmaris.lnk") != std::string::npos)
        sawCopy = true;
    }
    EXPECT_TRUE(sawCopy) << c.name;
    if (c.groupOnDisk != nullptr) {
      EXPECT_TRUE(sim::Exists(std::string(c.groupOnDisk) + "\\ Kalmaris.lnk")) << c.name;
    }
    EXPECT_EQ(machine::BoxSummary(), kQuestion + (c.success ? kSuccess : kFailure)) << c.name;
  }
  EXPECT_FALSE(sim::IsDirectory(kGroup));
}

TEST(ShellFolders, AnyValueTypeAndSize) {
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
    std::string folder;  // expected result of GetShellFolder, "" = not found
  } cases[] = {
      {"plain string", REG_SZ, std::string("C:\\P\0", 5), "C:\\P\\"},
      {"no data at all", REG_SZ, "", "\\"},
      {"just the zero", REG_SZ, std::string("\0", 1), "\\"},
      {"no terminating zero: last byte dropped", REG_BINARY, "C:\\PX", "C:\\P\\"},
      {"dword", REG_DWORD, std::string("\x41\x42\x43\x00", 4), "ABC\\"},
      {"expandable string", REG_EXPAND_SZ, std::string("%X%\0", 4), "%X%\\"},
      {"254 characters and zero", REG_SZ, std::string(254, 'p') + '\0', std::string(254, 'p') + "\\"},
      {"255 characters and zero is too long", REG_SZ, std::string(255, 'p') + '\0', ""},
      {"300 bytes", REG_BINARY, std::string(300, 'p'), ""},
  };
  for (const Case& c : cases) {
    machine::Prepare();
    sim::PutValue(HKEY_CURRENT_USER, kShellFolders, "programs", c.type, c.data);
    std::string folder = "<not run>", sub, ensured;
    bool removed = true;
    machine::RunInProcess([&] {
      Text f = GetShellFolder(Text("programs"));
      folder.assign(f.chars, f.length);
      Text s = GetShellSubfolderPath(Text("PROGRAMS"), Text("Kalmaris"));
      sub.assign(s.chars, s.length);
      removed = RemoveShellSubfolder(Text("programs"), Text("NoSuchGroup"));
    });
    EXPECT_EQ(folder, c.folder) << c.name;
    EXPECT_EQ(sub, c.folder.empty() ? "" : c.folder + "Kalmaris\\") << c.name;
    EXPECT_FALSE(removed) << c.name;
    EXPECT_EQ(sim::LastProcessLeaks().keys, 0) << c.name;
  }
}

TEST(ShellFolders, MissingKeyOrValueTouchesNothing) {
  for (bool keyExists : {false, true}) {
    sim::Reset();
    if (keyExists) sim::PutKey(HKEY_CURRENT_USER, kShellFolders);
    std::string a = "x", b = "x", c = "x";
    bool removed = true;
    machine::RunInProcess([&] {
      a = GetShellFolder(Text("programs")).chars;
      b = GetShellSubfolderPath(Text("programs"), Text("Kalmaris")).chars;
      c = EnsureShellSubfolder(Text("programs"), Text("Kalmaris")).chars;
      removed = RemoveShellSubfolder(Text("programs"), Text("Kalmaris"));
    });
    EXPECT_EQ(a + b + c, "");
    EXPECT_FALSE(removed);
    EXPECT_EQ(machine::CountCalls("CreateDirectoryA") + machine::CountCalls("RemoveDirectoryA") +
                  machine::CountCalls("FindFirstFileA"),
              0);
  }
}

}  // namespace
