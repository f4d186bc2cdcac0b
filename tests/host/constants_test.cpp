// Every fixed name, path and message of the tool, compared byte for byte
// (Windows-1250) with its expected value written out in hex.
#include "core/constants.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Expected {
  const char* name;
  const char* actual;
  const char* hex;
  size_t length;
};

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

const Expected kConstants[] = {
    {"ProductKey", ProductKey, "4b616c6d61726973", 8},
    {"DisplayName", DisplayName, "4b616c6d617269732032303031", 13},
    {"UninstallCommand", UninstallCommand, "433a5c50726f6772616d2046696c65735c4b616c6d617269735c52454d4f56452e455845",
     36},
    {"InstallDir", InstallDir, "433a5c50726f6772616d2046696c65735c4b616c6d617269735c", 26},
    {"ProductShortcutFile", ProductShortcutFile, "4b616c6d617269732e6c6e6b", 12},
    {"GroupShortcutName", GroupShortcutName, "204b616c6d617269732e6c6e6b", 13},
    {"ManualShortcutFile", ManualShortcutFile, "4eec636f206a616b6f206d616e75e16c2e6c6e6b", 20},
    {"InstalledFiles[0]", InstalledFiles[0],
     "433a5c50726f6772616d2046696c65735c4b616c6d617269735c4b616c6d617269732e6c6e6b", 38},
    {"InstalledFiles[1]", InstalledFiles[1],
     "433a5c50726f6772616d2046696c65735c4b616c6d617269735c4eec636f206a616b6f206d616e75e16c2e6c6e6b", 46},
    {"InstalledFiles[2]", InstalledFiles[2], "433a5c50726f6772616d2046696c65735c4b616c6d617269735c4b4d2e455845", 32},
    {"InstalledFiles[3]", InstalledFiles[3], "433a5c50726f6772616d2046696c65735c4b616c6d617269735c4b4d2e525446", 32},
    {"InstalledFiles[4]", InstalledFiles[4], "433a5c50726f6772616d2046696c65735c4b616c6d617269735c52454d4f56452e455845",
     36},
    {"UninstallKeyPrefix", UninstallKeyPrefix,
     "536f6674776172655c4d6963726f736f66745c57696e646f77735c43757272656e7456657273696f6e5c556e696e7374616c6c5c", 52},
    {"ShellFoldersKey", ShellFoldersKey,
     "536f6674776172655c4d6963726f736f66745c57696e646f77735c43757272656e7456657273696f6e5c4578706c6f7265725c5368656c6c2"
     "0466f6c64657273",
     64},
    {"DisplayNameValue", DisplayNameValue, "446973706c61794e616d65", 11},
    {"CommandValue", CommandValue, "556e696e7374616c6c537472696e67", 15},
    {"ProgramsValue", ProgramsValue, "70726f6772616d73", 8},
    {"StartupValue", StartupValue, "73746172747570", 7},
    {"InstallSwitch", InstallSwitch, "2f494e5354414c4c", 8},
    {"WorkerSwitch", WorkerSwitch, "2f52454d4f5645", 7},
    {"WorkerCommandSuffix", WorkerCommandSuffix, "202f52454d4f5645", 8},
    {"TempVariable", TempVariable, "54454d50", 4},
    {"TempCopyName", TempCopyName, "5c7e52454d4f56452e544d50", 12},
    {"SystemDirVariable", SystemDirVariable, "57494e444952", 6},
    {"BootFileName", BootFileName, "57494e494e49542e494e49", 11},
    {"SectionLine", SectionLine, "5b72656e616d655d", 8},
    {"DeletionPrefix", DeletionPrefix, "6e756c3d", 4},
    {"InstallCaption", InstallCaption, "496e7374616c6163652070726f6772616d75204b616c6d61726973", 27},
    {"StartupQuestion", StartupQuestion,
     "43686365746520767974766ff86974207ae17374757063652070726f6772616d75204b616c6d6172697320766520736c6f9e63652022506f2"
     "07370759a74ec6eed223f",
     67},
    {"InstallSucceeded", InstallSucceeded, "496e7374616c61636520fa7370ec9a6eec20646f6b6f6ee8656e612e", 28},
    {"InstallFailed", InstallFailed,
     "496e7374616c636520646f6b6f6ee8656e612096206eec6b746572e920736f75626f727920e869207ae173747570636520769a616b20626f6"
     "8759e656c206e6562796c6f206d6f9e6e6f206e61696e7374616c6f7661742e",
     88},
    {"UninstallCaption", UninstallCaption, "4f64696e7374616c6163652070726f6772616d75204b616c6d61726973", 29},
    {"UninstallConfirmation", UninstallConfirmation,
     "4f70726176647520636863657465206f64737472616e69742070726f6772616d204b616c6d6172697320323030313f", 47},
    {"LauncherFailed", LauncherFailed,
     "4e656eed206d6f9e6ee920696e696369616c697a6f766174206f64696e7374616c61e86eed2070726f6772616d21", 46},
    {"UninstallSucceeded", UninstallSucceeded, "4f64696e7374616c61636520fa7370ec9a6eec20646f6b6f6ee8656e612e", 30},
    {"UninstallFailed", UninstallFailed,
     "4f64696e7374616c61636520646f6b6f6ee8656e612096206eec6b746572e920736f75626f727920e86920736c6f9e6b7920769a616b20626"
     "f68759e656c206e6562796c6f206d6f9e6e6f206f64737472616e69742e",
     86},
};

TEST(Constants, EveryTextHasItsExactBytes) {
  for (const Expected& c : kConstants) {
    std::string actual(c.actual);
    EXPECT_EQ(Hex(actual), c.hex) << c.name;
    EXPECT_EQ(actual.size(), c.length) << c.name;
  }
}

TEST(Constants, DerivedLengthsAndOrder) {
  EXPECT_EQ(std::string(InstallDir, InstallDirWithoutBackslash), "C:\\Program Files\\Kalmaris");
  EXPECT_EQ(InstalledFileCount, 5u);
  EXPECT_STREQ(InstalledFiles[InstalledFileCount - 1], UninstallCommand);
  for (unsigned i = 0; i < InstalledFileCount; ++i) {
    EXPECT_EQ(std::string(InstallDir) + InstalledFileNames[i], InstalledFiles[i]) << i;
  }
  // The en dash and the accented letters are single Windows-1250 bytes.
  EXPECT_NE(std::string(InstallFailed).find('\x96'), std::string::npos);
  EXPECT_EQ(std::string(ManualShortcutFile)[1], '\xEC');
}

}  // namespace
