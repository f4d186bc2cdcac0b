// The argument table against a splitter written here from the command-line
// rules. Input: the command line, then (after a zero byte, when there is one)
// the module path up to the next zero byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/arguments.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr size_t kMaxTokens = 127;  // the program name included
constexpr size_t kModuleCut = 255;
constexpr size_t kArgumentCut = 254;

bool Separates(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// Every token of the line, the program name first, none dropped.
std::vector<std::string> ReferenceTokens(const std::string& line) {
  std::vector<std::string> tokens;
  size_t i = 0;
  const size_t n = line.size();
  for (;;) {
    while (i < n && Separates(line[i])) ++i;
    if (i == n) break;
    size_t start;
    size_t end;
    if (line[i] == '"' || line[i] == '\'') {
      char quote = line[i];
      start = ++i;
      while (i < n && line[i] != quote) ++i;
      end = i;
    } else {
      start = i;
      while (i < n && !Separates(line[i])) ++i;
      end = i;
    }
    if (i < n) ++i;  // what ended the token
    tokens.push_back(line.substr(start, end - start));
  }
  return tokens;
}

struct Observed {
  int32_t count = -1;
  std::vector<std::string> slots;  // ProgramArgument(-2 .. count + 1)
};

Observed g_observed;

void ReadTable() {
  g_observed.count = ArgumentCount();
  g_observed.slots.clear();
  for (int32_t i = -2; i <= g_observed.count + 1; ++i) {
    ShortText argument = ProgramArgument(i);
    FUZZ_CHECK(argument.chars[argument.length] == 0, "slot " + std::to_string(i) + " not zero-terminated");
    g_observed.slots.emplace_back(argument.chars, argument.length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t zero = input.find('\0');
  std::string line = input.substr(0, zero);
  std::string module = "C:\\TOOLS\\REMOVE.EXE";
  if (zero != std::string::npos) {
    module = input.substr(zero + 1);
    module = module.substr(0, module.find('\0'));
  }

  sim::Reset();
  fuzz::RunBody(ReadTable, line, module);

  std::vector<std::string> expected = ReferenceTokens(line);
  if (expected.size() > kMaxTokens) expected.resize(kMaxTokens);
  if (!expected.empty()) expected[0] = module.substr(0, kModuleCut);
  for (std::string& token : expected) token = token.substr(0, kArgumentCut);

  const Observed& got = g_observed;
  const std::string where = "line " + fuzz::Visible(line) + ", module " + fuzz::Visible(module);
  FUZZ_CHECK(got.count >= 0 && got.count <= static_cast<int32_t>(kMaxTokens), "count " + std::to_string(got.count));
  FUZZ_CHECK(static_cast<size_t>(got.count) == expected.size(),
             "count " + std::to_string(got.count) + ", expected " + std::to_string(expected.size()) + "; " + where);
  for (int32_t i = -2; i <= got.count + 1; ++i) {
    const std::string& slot = got.slots[static_cast<size_t>(i + 2)];
    FUZZ_CHECK(slot.size() <= kArgumentCut, "slot " + std::to_string(i) + " too long; " + where);
    std::string want = i >= 0 && i < got.count ? expected[static_cast<size_t>(i)] : std::string();
    FUZZ_CHECK(slot == want, "slot " + std::to_string(i) + " = " + fuzz::Visible(slot) + ", expected " +
                                 fuzz::Visible(want) + "; " + where);
  }
  return 0;
}
