// The buffered text file: what reaches the file and in which pieces. Input:
// operations, each one byte; an odd byte is EndLine, an even byte b starts a
// Write whose length is ((b >> 1) * 256 + the next byte) modulo 601, of the
// bytes that follow (fewer when the input ends first).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/text_file.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr char kFile[] = "C:\\OUT.TXT";
constexpr unsigned kMaxChunk = 600;

struct Operation {
  bool endLine = false;
  std::string bytes;
};

std::vector<Operation> g_operations;
uint16_t g_openStatus = 0xFFFF;

void WriteFileRun() {
  AppendTextFile file;
  g_openStatus = file.Open(MakeShortText(kFile));
  if (g_openStatus != 0) return;
  for (const Operation& operation : g_operations) {
    if (operation.endLine) {
      file.EndLine();
    } else {
      file.Write(operation.bytes.data(), static_cast<unsigned>(operation.bytes.size()));
    }
  }
  file.Close();
}

// The count a WriteFile line hands over: "WriteFile(0x104, set, 256) = TRUE".
size_t HandedCount(const std::string& line) {
  size_t close = line.find(')');
  size_t comma = line.rfind(", ", close);
  FUZZ_CHECK(close != std::string::npos && comma != std::string::npos, "odd call line " + line);
  FUZZ_CHECK(line.compare(close, std::string::npos, ") = TRUE") == 0, "write failed: " + line);
  return std::stoul(line.substr(comma + 2, close - comma - 2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader reader(data, size);
  g_operations.clear();
  std::string expected;
  while (!reader.Empty()) {
    uint8_t code = reader.Byte();
    Operation operation;
    if ((code & 1) != 0) {
      operation.endLine = true;
      expected += "\r\n";
    } else {
      unsigned length = ((code >> 1) * 256u + reader.Byte()) % (kMaxChunk + 1);
      operation.bytes = reader.Bytes(length);
      expected += operation.bytes;
    }
    g_operations.push_back(operation);
  }

  sim::Reset();
  g_openStatus = 0xFFFF;
  fuzz::RunBody(WriteFileRun);

  FUZZ_CHECK(g_openStatus == 0, "Open gave " + std::to_string(g_openStatus));
  std::string bytes = sim::FileBytes(kFile);
  FUZZ_CHECK(bytes == expected,
             "file holds " + std::to_string(bytes.size()) + " bytes, expected " + std::to_string(expected.size()));

  // The buffer goes out whole while more follows; Close hands what is left,
  // which is nothing only when nothing was written at all.
  std::vector<size_t> want;
  size_t rest = expected.size();
  while (rest > kTextFileBuffer) {
    want.push_back(kTextFileBuffer);
    rest -= kTextFileBuffer;
  }
  want.push_back(rest);
  std::vector<size_t> got;
  for (const std::string& line : fuzz::CallsOf("WriteFile")) got.push_back(HandedCount(line));
  std::string gotText;
  for (size_t count : got) gotText += std::to_string(count) + " ";
  FUZZ_CHECK(got == want, "WriteFile counts " + gotText + "for " + std::to_string(expected.size()) + " bytes");
  return 0;
}
