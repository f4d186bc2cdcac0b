// Environment lookup, existence tests and single-directory operations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/environment.h"
#include "runtime/files.h"
#include "tests/host/machine.h"

namespace {

std::string Lookup(const std::string& name) {
  std::string value = "<not run>";
  machine::RunInProcess([&] {
    ShortText v = EnvironmentValue(MakeShortText(name.c_str(), static_cast<unsigned>(name.size())));
    value.assign(v.chars, v.length);
  });
  return value;
}

TEST(EnvironmentValue, MatchingRules) {
  struct Case {
    const char* name;
    std::vector<std::string> block;
    std::string lookup;
    std::string expected;
  } cases[] = {
      {"lower-case name finds capitals", {"PATH=x", "TEMP=C:\\T"}, "temp", "C:\\T"},
      {"mixed case in the block", {"Temp=C:\\M"}, "TEMP", "C:\\M"},
      {"z is folded like every letter", {"ZIZKOV=z"}, "zizkov", "z"},
      {"the byte after z is not", {"{Z=1"}, "[z", ""},
      {"first of two spellings wins", {"Temp=first", "TEMP=second"}, "temp", "first"},
      {"value with equals comes back whole", {"A=b=c"}, "a", "b=c"},
      {"not set", {"A=1"}, "B", ""},
      {"prefix of a name is not the name", {"TEMPDIR=x"}, "TEMP", ""},
      {"only a to z are folded",
       {"\xC1"
        "B=1"},
       "\xE1"
       "b",
       ""},
      {"accented name matches itself",
       {"\xC1"
        "B=1"},
       "\xC1"
       "B",
       "1"},
      {"entry starting with = has an empty name", {"=C:=C:\\"}, "", "C:=C:\\"},
      {"entry without = has an empty name", {"LONELY"}, "", "LONELY"},
      {"empty value", {"TEMP="}, "TEMP", ""},
  };
  for (const Case& c : cases) {
    machine::Prepare();
    sim::SetEnvironment(c.block);
    EXPECT_EQ(Lookup(c.lookup), c.expected) << c.name;
    EXPECT_EQ(machine::CountCalls("GetEnvironmentStringsA"), machine::CountCalls("FreeEnvironmentStringsA")) << c.name;
    EXPECT_EQ(sim::LastProcessLeaks().environment, 0) << c.name;
  }
}

TEST(EnvironmentValue, EntriesAreCutBeforeSplitting) {
  machine::Prepare();
  sim::SetEnvironment({"K=" + std::string(300, 'v'), "LONGNAME" + std::string(260, 'N') + "=x"});
  EXPECT_EQ(Lookup("K"), std::string(253, 'v'));
  EXPECT_EQ(Lookup("LONGNAME" + std::string(260, 'N')), "");
}

TEST(EnvironmentValue, MissingBlockGivesEmptyAndFreesNothing) {
  machine::Prepare();
  sim::FailAlways("GetEnvironmentStringsA");
  EXPECT_EQ(Lookup("TEMP"), "");
  EXPECT_EQ(machine::CountCalls("FreeEnvironmentStringsA"), 0);
  EXPECT_EQ(sim::LastProcessLeaks().badHandles, 0);
}

bool Exists(const std::string& path) {
  bool result = false;
  machine::RunInProcess([&] { result = PathExists(Text(path.c_str())); });
  EXPECT_EQ(sim::LastProcessLeaks().searches, 0) << path;
  return result;
}

TEST(PathExists, PatternsFilesAndDirectories) {
  machine::Prepare();
  sim::MakeDirs("C:\\D\\Sub");
  sim::PutFile("C:\\D\\file1.txt", "x");
  sim::PutFile("C:\\D\\hidden.sys", "x", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  struct Case {
    const char* path;
    bool exists;
  } cases[] = {
      {"C:\\D", true},
      {"c:\\d", true},
      {"C:\\D\\", false},
      {"", false},
      {"C:\\D\\*", true},
      {"C:\\D\\file?.txt", true},
      {"C:\\D\\*.none", false},
      {"C:\\D\\hidden.sys", true},
      {"C:\\", false},
      {"C:\\Missing", false},
      {"C:\\D\\file1.txt", true},
      {"C:\\D\\Sub", true},
  };
  for (const Case& c : cases) EXPECT_EQ(Exists(c.path), c.exists) << c.path;
}

TEST(Directories, MakeAndDelete) {
  machine::Prepare();
  sim::MakeDirs("C:\\A");
  sim::MakeDirs("C:\\Full\\Inner");
  sim::PutFile("C:\\AFile", "x");
  struct Case {
    const char* operation;
    const char* path;
    bool result;
    const char* existsAfter;  // checked afterwards, may be null
  } cases[] = {
      {"make", "C:\\A", false, nullptr},
      {"make", "C:\\Missing\\New", false, nullptr},
      {"make", "C:/A/Slashes", true, "C:\\A\\Slashes"},
      {"make", "C:\\A\\Trailing\\", true, "C:\\A\\Trailing"},
      {"make", "", false, nullptr},
      {"make", "C:\\AFile", false, nullptr},
      {"delete", "C:\\Full", false, "C:\\Full\\Inner"},
      {"delete", "C:/Full/Inner", true, nullptr},
      {"delete", "C:\\AFile", false, "C:\\AFile"},
      {"delete", "C:\\Nothing", false, nullptr},
      {"delete", "", false, nullptr},
  };
  for (const Case& c : cases) {
    bool result = !c.result;
    machine::RunInProcess([&] {
      Text path(c.path);
      result = std::string(c.operation) == "make" ? MakeDirectory(path) : DeleteDirectory(path);
    });
    EXPECT_EQ(result, c.result) << c.operation << " " << c.path;
    if (c.existsAfter != nullptr) {
      EXPECT_TRUE(sim::Exists(c.existsAfter)) << c.operation << " " << c.path;
    }
  }
  EXPECT_FALSE(sim::Exists("C:\\Full\\Inner"));
}

TEST(Directories, LongPathsAreCutTo255) {
  machine::Prepare();
  std::string path = "C:\\" + std::string(300, 'd');
  machine::RunInProcess([&] { MakeDirectory(Text(path.c_str())); });
  bool sawCut = false;
  for (const std::string& call : sim::Calls()) {
    if (call.rfind("CreateDirectoryA(", 0) == 0) {
      sawCut = call.find(std::string(252, 'd')) != std::string::npos &&
               call.find(std::string(253, 'd')) == std::string::npos;
    }
  }
  EXPECT_TRUE(sawCut);
}

}  // namespace
