// The program's two string types.
//
// ShortText holds at most 255 characters; every operation that builds one
// cuts its result there without error. Text has no length limit. Both keep
// their characters zero-terminated so they can be handed to the system as
// they are; an empty text is passed as an empty string, never as null.
#pragma once

#include <stdint.h>

constexpr unsigned kShortTextMax = 255;

struct ShortText {
  unsigned char length;
  char chars[kShortTextMax + 1];
};

// Building and changing a ShortText.
ShortText MakeShortText(const char* chars, unsigned count, unsigned maximum = kShortTextMax);
ShortText MakeShortText(const char* zeroTerminated);
void Append(ShortText& text, const char* chars, unsigned count);
void Append(ShortText& text, const char* zeroTerminated);
void Append(ShortText& text, const ShortText& tail);
// The characters already in the buffer become the text; above 255 gives 255.
void SetLength(ShortText& text, uint32_t length);
// Start counts from 1; a start below 1 counts as 1, a negative count as 0.
ShortText Substring(const ShortText& text, int32_t start, int32_t count);
bool Equal(const ShortText& a, const ShortText& b);
bool Equal(const ShortText& a, const char* zeroTerminated);

// Text: the characters live inline while they fit and on the process heap
// beyond that.
constexpr unsigned kTextInline = 320;

struct Text {
  char* chars;  // always zero-terminated, never null
  unsigned length;
  unsigned capacity;  // characters that fit, without the terminating zero
  char local[kTextInline + 1];

  Text();
  Text(const char* zeroTerminated);  // a null pointer gives empty
  Text(const char* chars, unsigned count);
  Text(const ShortText& text);
  Text(const Text& other);
  Text& operator=(const Text& other);
  ~Text();

  Text& operator+=(const Text& tail);
  Text& operator+=(const char* tail);
};

Text operator+(const Text& a, const Text& b);
Text operator+(const Text& a, const char* b);
// Byte-wise and unsigned; the shorter text is smaller when one is a prefix of
// the other; 0 means equal.
int Compare(const Text& a, const Text& b);
inline bool operator==(const Text& a, const Text& b) {
  return Compare(a, b) == 0;
}
inline bool operator!=(const Text& a, const Text& b) {
  return Compare(a, b) != 0;
}
// The first 255 characters.
ShortText ToShortText(const Text& text);

unsigned ZeroTerminatedLength(const char* chars);
void CopyBytes(void* target, const void* source, unsigned count);
