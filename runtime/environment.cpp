#include "runtime/environment.h"

#include "runtime/win32.h"

namespace {

char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameName(const char* key, unsigned keyLength, const ShortText& name) {
  if (keyLength != name.length) return false;
  for (unsigned i = 0; i < keyLength; ++i) {
    if (UpperAscii(key[i]) != UpperAscii(name.chars[i])) return false;
  }
  return true;
}

}  // namespace

ShortText EnvironmentValue(const ShortText& name) {
  ShortText result = MakeShortText("", 0);
  char* block = GetEnvironmentStringsA();
  if (block == nullptr) return result;
  for (const char* entry = block; *entry != 0; entry += ZeroTerminatedLength(entry) + 1) {
    unsigned length = ZeroTerminatedLength(entry);
    if (length > kShortTextMax) length = kShortTextMax;
    unsigned equals = 0;
    while (equals < length && entry[equals] != '=') ++equals;
    const char* key = entry;
    unsigned keyLength = equals;
    const char* value = entry + equals + 1;
    unsigned valueLength = length - equals - 1;
    if (equals == length) {  // no "=": an empty name and the whole entry as value
      keyLength = 0;
      value = entry;
      valueLength = length;
    }
    if (SameName(key, keyLength, name)) {
      result = MakeShortText(value, valueLength);
      break;
    }
  }
  FreeEnvironmentStringsA(block);
  return result;
}
