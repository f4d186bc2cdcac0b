// Splitting of the command line into the argument table.
#include "runtime/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/host/machine.h"

namespace {

struct Table {
  int count = -1;
  std::vector<std::string> arguments;  // ProgramArgument(0 .. count - 1)
  std::string beyond;                  // ProgramArgument(count)
  std::string negative;                // ProgramArgument(-1)
};

Table Split(const std::string& commandLine, const std::string& module = "C:\\TOOLS\\REMOVE.EXE") {
  Table table;
  machine::RunInProcess(
      [&] {
        table.count = ArgumentCount();
        for (int i = 0; i < table.count; ++i) {
          ShortText a = ProgramArgument(i);
          table.arguments.emplace_back(a.chars, a.length);
        }
        ShortText b = ProgramArgument(table.count);
        table.beyond.assign(b.chars, b.length);
        ShortText n = ProgramArgument(-1);
        table.negative.assign(n.chars, n.length);
      },
      commandLine, module);
  return table;
}

TEST(Arguments, SplittingRules) {
  struct Case {
    const char* name;
    std::string commandLine;
    std::vector<std::string> arguments;  // after slot 0
  } cases[] = {
      {"plain", "C:\\TOOLS\\REMOVE.EXE /REMOVE", {"/REMOVE"}},
      {"quoted program path", "\"C:\\Program Files\\Kalmaris\\REMOVE.EXE\" /INSTALL", {"/INSTALL"}},
      {"unquoted path with blanks",
       "C:\\Documents and Settings\\Temp\\~REMOVE.TMP /REMOVE",
       {"and", "Settings\\Temp\\~REMOVE.TMP", "/REMOVE"}},
      {"two double quotes", "X.EXE \"\"", {""}},
      {"quoted word then letters", "X.EXE \"ab\"cd", {"ab", "cd"}},
      {"single quotes", "X.EXE 'a b' c", {"a b", "c"}},
      {"unclosed quote", "X.EXE \"open to the end", {"open to the end"}},
      {"quote inside a word", "X.EXE a\"b c", {"a\"b", "c"}},
      {"line feed is no separator", "X.EXE a\nb", {"a\nb"}},
      {"tab and carriage return separate", "X.EXE\t/INSTALL\r/REMOVE", {"/INSTALL", "/REMOVE"}},
      {"runs of separators", "X.EXE   \t a  \r\r b   ", {"a", "b"}},
      {"quoted program with letters after", "\"a b\"c d", {"c", "d"}},
      {"only the program", "X.EXE", {}},
  };
  for (const Case& c : cases) {
    Table t = Split(c.commandLine);
    ASSERT_EQ(t.count, static_cast<int>(c.arguments.size()) + 1) << c.name;
    EXPECT_EQ(t.arguments[0], "C:\\TOOLS\\REMOVE.EXE") << c.name;
    for (size_t i = 0; i < c.arguments.size(); ++i) EXPECT_EQ(t.arguments[i + 1], c.arguments[i]) << c.name;
    EXPECT_EQ(t.beyond, "") << c.name;
    EXPECT_EQ(t.negative, "") << c.name;
  }
}

TEST(Arguments, EmptyCommandLineGivesNothingAtAll) {
  for (std::string line : {"", "   ", " \t\r "}) {
    Table t = Split(line);
    EXPECT_EQ(t.count, 0);
    EXPECT_EQ(t.beyond, "");  // ProgramArgument(0), the own path included
  }
}

TEST(Arguments, LongArgumentsAndModulePathsAreCut) {
  std::string long300(300, 'L');
  Table t = Split("X.EXE " + long300 + " next");
  ASSERT_EQ(t.count, 3);
  EXPECT_EQ(t.arguments[1], std::string(254, 'L'));
  EXPECT_EQ(t.arguments[2], "next");

  // A module path longer than the 255-byte buffer is cut, never overrun.
  std::string longModule = "C:\\" + std::string(297, 'M');
  Table m = Split("X.EXE a", longModule);
  EXPECT_EQ(m.arguments[0], longModule.substr(0, 254));
}

TEST(Arguments, TokensBeyondTheTableAreDropped) {
  std::string line = "X.EXE";
  for (int i = 1; i < 200; ++i) line += " a" + std::to_string(i);
  Table t = Split(line);
  EXPECT_EQ(t.count, 127);
  EXPECT_EQ(t.arguments[126], "a126");
  EXPECT_EQ(t.beyond, "");
}

}  // namespace
