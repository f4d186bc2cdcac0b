// The Programs shell folder read from an arbitrary registry value. Input:
// the value's type (four bytes, little-endian; an empty input puts no value
// at all), then its data, at most 300 bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "services/shell_folders.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr size_t kMaxData = 300;
constexpr size_t kBuffer = 255;

std::string g_folder;
std::string g_subfolderPath;

std::string Bytes(const Text& text) {
  FUZZ_CHECK(text.chars[text.length] == 0, "text not zero-terminated");
  return std::string(text.chars, text.length);
}

void ReadFolder() {
  g_folder = Bytes(GetShellFolder(Text("programs")));
  g_subfolderPath = Bytes(GetShellSubfolderPath(Text("programs"), Text("Kalmaris")));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader reader(data, size);
  bool present = !reader.Empty();
  DWORD type = 0;
  for (int i = 0; i < 4; ++i) type |= static_cast<DWORD>(reader.Byte()) << (8 * i);
  std::string value = reader.Bytes(kMaxData);

  sim::Reset();
  if (present) sim::PutValue(HKEY_CURRENT_USER, kShellFolders, "programs", type, value);
  g_folder = "(not read)";
  g_subfolderPath = "(not read)";
  fuzz::RunBody(ReadFolder);

  std::string expected;
  if (present && value.size() <= kBuffer) expected = value.substr(0, value.empty() ? 0 : value.size() - 1) + "\\";
  std::string expectedPath = expected.empty() ? std::string() : expected + "Kalmaris\\";
  const std::string where = "type " + std::to_string(type) + ", data " + fuzz::Visible(value);
  FUZZ_CHECK(g_folder == expected,
             "folder " + fuzz::Visible(g_folder) + ", expected " + fuzz::Visible(expected) + "; " + where);
  FUZZ_CHECK(g_subfolderPath == expectedPath, "subfolder path " + fuzz::Visible(g_subfolderPath) + ", expected " +
                                                  fuzz::Visible(expectedPath) + "; " + where);
  size_t opens = 0;
  for (const std::string& line : fuzz::CallsOf("RegOpenKeyExA")) {
    if (line.find(") = 0, ") != std::string::npos) ++opens;
  }
  size_t closes = fuzz::CallsOf("RegCloseKey").size();
  FUZZ_CHECK(opens == closes, std::to_string(opens) + " keys opened, " + std::to_string(closes) + " closed");
  return 0;
}
