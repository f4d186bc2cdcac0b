#include "runtime/text.h"

#include "runtime/memory.h"

unsigned ZeroTerminatedLength(const char* chars) {
  unsigned length = 0;
  if (chars != nullptr) {
    while (chars[length] != 0) ++length;
  }
  return length;
}

void CopyBytes(void* target, const void* source, unsigned count) {
  char* t = static_cast<char*>(target);
  const char* s = static_cast<const char*>(source);
  for (unsigned i = 0; i < count; ++i) t[i] = s[i];
}

// ---- ShortText ----

ShortText MakeShortText(const char* chars, unsigned count, unsigned maximum) {
  if (maximum > kShortTextMax) maximum = kShortTextMax;
  if (count > maximum) count = maximum;
  ShortText text;
  CopyBytes(text.chars, chars, count);
  text.chars[count] = 0;
  text.length = static_cast<unsigned char>(count);
  return text;
}

ShortText MakeShortText(const char* zeroTerminated) {
  return MakeShortText(zeroTerminated, ZeroTerminatedLength(zeroTerminated));
}

void Append(ShortText& text, const char* chars, unsigned count) {
  unsigned room = kShortTextMax - text.length;
  if (count > room) count = room;
  CopyBytes(text.chars + text.length, chars, count);
  text.length = static_cast<unsigned char>(text.length + count);
  text.chars[text.length] = 0;
}

void Append(ShortText& text, const char* zeroTerminated) {
  Append(text, zeroTerminated, ZeroTerminatedLength(zeroTerminated));
}

void Append(ShortText& text, const ShortText& tail) {
  Append(text, tail.chars, tail.length);
}

void SetLength(ShortText& text, uint32_t length) {
  if (length > kShortTextMax) length = kShortTextMax;
  text.length = static_cast<unsigned char>(length);
  text.chars[length] = 0;
}

ShortText Substring(const ShortText& text, int32_t start, int32_t count) {
  if (start < 1) start = 1;
  if (count < 0) count = 0;
  if (start > text.length) return MakeShortText("", 0);
  int32_t remaining = text.length - start + 1;
  if (count > remaining) count = remaining;
  return MakeShortText(text.chars + start - 1, static_cast<unsigned>(count));
}

bool Equal(const ShortText& a, const ShortText& b) {
  if (a.length != b.length) return false;
  for (unsigned i = 0; i < a.length; ++i) {
    if (a.chars[i] != b.chars[i]) return false;
  }
  return true;
}

bool Equal(const ShortText& a, const char* zeroTerminated) {
  unsigned length = ZeroTerminatedLength(zeroTerminated);
  if (a.length != length) return false;
  for (unsigned i = 0; i < length; ++i) {
    if (a.chars[i] != zeroTerminated[i]) return false;
  }
  return true;
}

// ---- Text ----

namespace {

void Reserve(Text& text, unsigned length) {
  if (length <= text.capacity) return;
  // Twice the length asked for, so that a text growing bit by bit is copied
  // only a few times.
  unsigned capacity = length * 2;
  char* chars = static_cast<char*>(AllocateMemory(capacity + 1));
  CopyBytes(chars, text.chars, text.length + 1);
  if (text.chars != text.local) ReleaseMemory(text.chars);
  text.chars = chars;
  text.capacity = capacity;
}

void AppendChars(Text& text, const char* chars, unsigned count) {
  Reserve(text, text.length + count);
  CopyBytes(text.chars + text.length, chars, count);
  text.length += count;
  text.chars[text.length] = 0;
}

// A new text: empty, inline, then the characters.
void Assign(Text& text, const char* chars, unsigned count) {
  text.chars = text.local;
  text.capacity = kTextInline;
  text.length = 0;
  AppendChars(text, chars, count);
}

}  // namespace

Text::Text() {
  Assign(*this, "", 0);
}
Text::Text(const char* zeroTerminated) {
  Assign(*this, zeroTerminated != nullptr ? zeroTerminated : "", ZeroTerminatedLength(zeroTerminated));
}
Text::Text(const char* source, unsigned count) {
  Assign(*this, source, count);
}
Text::Text(const ShortText& text) {
  Assign(*this, text.chars, text.length);
}
Text::Text(const Text& other) {
  Assign(*this, other.chars, other.length);
}

Text& Text::operator=(const Text& other) {
  if (this != &other) {
    length = 0;
    Reserve(*this, other.length);
    CopyBytes(chars, other.chars, other.length + 1);
    length = other.length;
  }
  return *this;
}

Text::~Text() {
  if (chars != local) ReleaseMemory(chars);
}

Text& Text::operator+=(const Text& tail) {
  AppendChars(*this, tail.chars, tail.length);
  return *this;
}

Text& Text::operator+=(const char* tail) {
  AppendChars(*this, tail, ZeroTerminatedLength(tail));
  return *this;
}

Text operator+(const Text& a, const Text& b) {
  Text result(a);
  result += b;
  return result;
}

Text operator+(const Text& a, const char* b) {
  Text result(a);
  result += b;
  return result;
}

int Compare(const Text& a, const Text& b) {
  unsigned common = a.length < b.length ? a.length : b.length;
  for (unsigned i = 0; i < common; ++i) {
    unsigned char x = static_cast<unsigned char>(a.chars[i]);
    unsigned char y = static_cast<unsigned char>(b.chars[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.length == b.length) return 0;
  return a.length < b.length ? -1 : 1;
}

ShortText ToShortText(const Text& text) {
  return MakeShortText(text.chars, text.length);
}
