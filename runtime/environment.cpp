#include "runtime/environment.h"

#include "runtime/win32.h"

namespace {

char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameName(const char* key, unsigned keyLength, const char* name, unsigned nameLength) {
  if (keyLength != nameLength) return false;
  for (unsigned i = 0; i < keyLength; ++i) {
    if (UpperAscii(key[i]) != UpperAscii(name[i])) return false;
  }
  return true;
}

}  // namespace

ShortText EnvironmentValue(const char* name, unsigned nameLength) {
  ShortText result;
  result.length = 0;
  result.chars[0] = 0;
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return result;
  for (const char* entry = block; *entry != 0; entry += ZeroTerminatedLength(entry) + 1) {
    unsigned length = ZeroTerminatedLength(entry);
    if (length > kShortTextMax) length = kShortTextMax;
    unsigned equals = 0;
    while (equals < length && entry[equals] != '=') ++equals;
    // An entry without "=" has an empty name and is all value.
    bool split = equals < length;
    const char* value = split ? entry + equals + 1 : entry;
    if (SameName(entry, split ? equals : 0, name, nameLength)) {
      Append(result, value, static_cast<unsigned>(entry + length - value));
      break;
    }
  }
  FreeEnvironmentStringsA(block);
  return result;
}
