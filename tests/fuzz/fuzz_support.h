// Shared pieces of the fuzz targets: running a body as a simulated process
// after the runtime's start-up, and failing loudly when a check does not hold
// (libFuzzer then keeps the input as a crash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/fatal_error.h"
#include "runtime/startup.h"
#include "tests/winsim/sim.h"

namespace fuzz {

// Bytes made printable for a failure message: C escapes for everything
// outside 32..126.
inline std::string Visible(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    }
  }
  return out + "\"";
}

[[noreturn]] inline void Fail(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "\n%s:%d: check failed: %s\n%s\n", file, line, condition, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(condition, detail)                                         \
  do {                                                                        \
    if (!(condition)) ::fuzz::Fail(__FILE__, __LINE__, #condition, (detail)); \
  } while (0)

inline void (*g_body)() = nullptr;

inline void BodyProcess() {
  ResetFailureReports();
  SetUnhandledExceptionFilter(ProcessorFaultFilter);
  CompleteStartUp();
  g_body();
  ShutDown(0);
}

// Runs body in a new simulated process, on the machine as it is now, the way
// the tool's main procedure would run after the start-up; checks that the
// process ended normally without showing anything and without misusing or
// leaving open any handle.
inline void RunBody(void (*body)(), const std::string& commandLine = "FUZZ.EXE",
                    const std::string& module = "C:\\FUZZ.EXE") {
  g_body = body;
  sim::Exit exit = sim::RunProcess(BodyProcess, commandLine, module, "C:\\");
  g_body = nullptr;
  FUZZ_CHECK(exit.code == 0, "exit code " + std::to_string(exit.code));
  FUZZ_CHECK(sim::Boxes().empty(), "message box: " + Visible(sim::Boxes().front().text));
  sim::Leaks leaks = sim::LastProcessLeaks();
  FUZZ_CHECK(leaks.files == 0 && leaks.searches == 0 && leaks.keys == 0 && leaks.environment == 0,
             "left open: files " + std::to_string(leaks.files) + ", searches " + std::to_string(leaks.searches) +
                 ", keys " + std::to_string(leaks.keys) + ", environment blocks " + std::to_string(leaks.environment));
  FUZZ_CHECK(leaks.badHandles == 0, "bad handle uses: " + std::to_string(leaks.badHandles));
}

// The recorded calls of one function, whole lines.
inline std::vector<std::string> CallsOf(const std::string& function) {
  std::vector<std::string> lines;
  for (const std::string& line : sim::Calls()) {
    if (line.compare(0, function.size() + 1, function + "(") == 0) lines.push_back(line);
  }
  return lines;
}

// Reads the input front to back; past its end every read gives zeros.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return position_ >= size_; }
  size_t Remaining() const { return Empty() ? 0 : size_ - position_; }
  uint8_t Byte() { return Empty() ? 0 : data_[position_++]; }
  std::string Bytes(size_t count) {
    if (count > Remaining()) count = Remaining();
    std::string bytes(reinterpret_cast<const char*>(data_ + position_), count);
    position_ += count;
    return bytes;
  }
  std::string Rest() { return Bytes(Remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace fuzz
