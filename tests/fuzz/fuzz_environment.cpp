// Environment lookups against a reading of the block written here. Input:
// the name up to the first zero byte, then the block's entries, zero
// separated; the block is closed with two zero bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/environment.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr size_t kEntryCut = 255;

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string ReferenceValue(const std::string& block, const std::string& name) {
  size_t position = 0;
  while (block[position] != '\0') {
    size_t zero = block.find('\0', position);
    std::string entry = block.substr(position, zero - position);
    position = zero + 1;
    entry = entry.substr(0, kEntryCut);
    size_t equals = entry.find('=');
    std::string key = equals == std::string::npos ? std::string() : entry.substr(0, equals);
    std::string value = equals == std::string::npos ? entry : entry.substr(equals + 1);
    if (Upper(key) == Upper(name)) return value;
  }
  return std::string();
}

std::string g_name;
std::string g_value;

void LookUp() {
  ShortText name = MakeShortText(g_name.data(), static_cast<unsigned>(g_name.size()));
  ShortText value = EnvironmentValue(name);
  FUZZ_CHECK(value.chars[value.length] == 0, "value not zero-terminated");
  g_value.assign(value.chars, value.length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t zero = input.find('\0');
  std::string name = input.substr(0, zero).substr(0, kShortTextMax);
  std::string block = zero == std::string::npos ? std::string() : input.substr(zero + 1);
  block += std::string(2, '\0');

  sim::Reset();
  sim::SetEnvironmentBlock(block);
  g_name = name;
  g_value.clear();
  fuzz::RunBody(LookUp);

  std::string expected = ReferenceValue(block, name);
  FUZZ_CHECK(g_value == expected, "value " + fuzz::Visible(g_value) + ", expected " + fuzz::Visible(expected) +
                                      "; name " + fuzz::Visible(name) + ", block " + fuzz::Visible(block));
  size_t gets = fuzz::CallsOf("GetEnvironmentStringsA").size();
  size_t frees = fuzz::CallsOf("FreeEnvironmentStringsA").size();
  FUZZ_CHECK(gets == frees, std::to_string(gets) + " blocks taken, " + std::to_string(frees) + " freed");
  FUZZ_CHECK(sim::LastProcessLeaks().environment == 0, "environment block left");
  return 0;
}
