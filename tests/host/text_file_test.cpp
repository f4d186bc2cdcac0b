// Appending lines to a text file through the 256-byte buffer.
#include "runtime/text_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/host/machine.h"

namespace {

// Byte counts handed to WriteFile, in order.
std::vector<unsigned long> WriteSizes() {
  std::vector<unsigned long> sizes;
  for (const std::string& call : sim::Calls()) {
    if (call.rfind("WriteFile(", 0) != 0) continue;
    size_t first = call.find(", ");
    size_t second = call.find(", ", first + 2);
    sizes.push_back(std::stoul(call.substr(second + 2), nullptr, 0));
  }
  return sizes;
}

struct Outcome {
  uint16_t status = 99;
  sim::Exit exit;
};

// Opens path, writes the lines (each ended by EndLine) and closes.
Outcome AppendLines(const std::string& path, const std::vector<std::string>& lines) {
  Outcome outcome;
  outcome.exit = machine::RunInProcess([&] {
    AppendTextFile file;
    outcome.status = file.Open(MakeShortText(path.c_str()));
    if (outcome.status != 0) return;
    for (const std::string& line : lines) {
      file.Write(line.c_str(), static_cast<unsigned>(line.size()));
      file.EndLine();
    }
    file.Close();
  });
  return outcome;
}

TEST(AppendTextFile, BufferedWritesReachTheFileInExactChunks) {
  struct Case {
    const char* name;
    std::string existing;  // "" with exists=false: no file yet
    bool exists;
    std::vector<std::string> lines;
    std::vector<unsigned long> writes;
  } cases[] = {
      {"new file", "", false, {"[rename]", "nul=C:\\T"}, {20}},
      {"300 characters", "", false, {std::string(300, 'a')}, {256, 46}},
      {"254 characters fill the buffer exactly", "", false, {std::string(254, 'b')}, {256}},
      {"255 characters", "", false, {std::string(255, 'c')}, {256, 1}},
      {"600 characters", "", false, {std::string(600, 'd')}, {256, 256, 90}},
      {"continues a last line without break", "x", true, {"a", "b"}, {6}},
      {"nothing written", "keep", true, {}, {0}},
  };
  for (const Case& c : cases) {
    machine::Prepare();
    if (c.exists) sim::PutFile("C:\\OUT.TXT", c.existing);
    Outcome o = AppendLines("C:/OUT.TXT", c.lines);
    EXPECT_EQ(o.status, 0) << c.name;
    EXPECT_EQ(o.exit.code, 0u) << c.name;
    std::string expected = c.existing;
    for (const std::string& line : c.lines) expected += line + "\r\n";
    EXPECT_EQ(sim::FileBytes("C:\\OUT.TXT"), expected) << c.name;
    EXPECT_EQ(WriteSizes(), c.writes) << c.name;
    EXPECT_EQ(sim::LastProcessLeaks().files, 0) << c.name;
  }
}

TEST(AppendTextFile, OpenFailuresGiveANonZeroStatusAndLeaveNoHandle) {
  struct Case {
    const char* name;
    std::string path;
    std::function<void()> arrange;
  } cases[] = {
      {"held open elsewhere", "C:\\HELD.TXT",
       [] {
         sim::PutFile("C:\\HELD.TXT", "x");
         sim::HoldOpen("C:\\HELD.TXT", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
       }},
      {"missing directory", "C:\\NoSuchDir\\F.TXT", [] {}},
      {"read-only file", "C:\\RO.TXT", [] { sim::PutFile("C:\\RO.TXT", "x", FILE_ATTRIBUTE_READONLY); }},
      {"move to the end fails", "C:\\SEEK.TXT", [] { sim::FailAlways("SetFilePointer"); }},
  };
  for (const Case& c : cases) {
    machine::Prepare();
    c.arrange();
    Outcome o = AppendLines(c.path, {"never"});
    EXPECT_NE(o.status, 0) << c.name;
    EXPECT_EQ(o.exit.code, 0u) << c.name;
    EXPECT_TRUE(sim::Boxes().empty()) << c.name;
    EXPECT_EQ(machine::CountCalls("WriteFile"), 0) << c.name;
    EXPECT_EQ(sim::LastProcessLeaks().files, 0) << c.name;
    EXPECT_EQ(sim::LastProcessLeaks().badHandles, 0) << c.name;
  }
}

TEST(AppendTextFile, WriteFailureEndsWithDiskFull) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    uint64_t freeSpace;
    int writes;                // WriteFile calls made before the report
    bool writesShort = false;  // the write that does not fit reports success
  } cases[] = {
      {"failure inside a line is reported at its end", {std::string(300, 'x'), "never"}, 100, 1},
      {"failure at Close", {"short"}, 3, 1},
      {"second chunk of a long line", {std::string(600, 'y')}, 300, 2},
      {"write that reports success with fewer bytes", {"short"}, 3, 1, true},
  };
  for (const Case& c : cases) {
    machine::Prepare();
    sim::AddDrive('F');
    sim::SetFreeSpace('F', c.freeSpace);
    if (c.writesShort) sim::MakeWritesComeUpShort('F');
    Outcome o = AppendLines("F:\\WININIT.INI", c.lines);
    EXPECT_EQ(o.status, 0) << c.name;
    EXPECT_EQ(o.exit.code, 217u) << c.name;
    ASSERT_EQ(sim::Boxes().size(), 1u) << c.name;
    EXPECT_EQ(sim::Boxes()[0].caption, "Error");
    std::string text = sim::Boxes()[0].text;
    size_t lineBreak = text.find("\r\n");
    EXPECT_EQ(text.substr(lineBreak + 2, 11), "Disk Full\r\n") << c.name;
    EXPECT_EQ(machine::CountCalls("WriteFile"), c.writes) << c.name;
  }
}

TEST(AppendTextFile, RefusedWriteAtCloseStillClosesTheHandle) {
  machine::Prepare();
  sim::FailAlways("WriteFile");
  Outcome o = AppendLines("C:\\OUT.TXT", {"line"});
  EXPECT_EQ(o.exit.code, 217u);
  EXPECT_EQ(machine::CountCalls("CloseHandle"), 1);
  EXPECT_EQ(sim::LastProcessLeaks().files, 0);
}

}  // namespace
