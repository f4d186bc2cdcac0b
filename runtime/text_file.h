// A text file opened for appending lines, with a 256-byte output buffer.
//
// Use: Open; only when its status is 0, lines of Write calls each ended by
// EndLine; then Close. The file receives data only when the buffer cannot
// take the next byte, and at Close. A failed write ends the process with the
// "Disk Full" report, at the end of the line in which it happened or at Close.
#pragma once

#include <stdint.h>

#include "runtime/text.h"
#include "runtime/win32.h"

constexpr unsigned kTextFileBuffer = 256;

struct AppendTextFile {
  ShortText name;  // set by Open
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool open = false;
  bool failed = false;
  unsigned count = 0;
  char buffer[kTextFileBuffer];  // the first count bytes are waiting

  // Opens or creates the file, unshared, positioned at its end. 0 on success.
  uint16_t Open(const ShortText& fileName);
  void Write(const char* chars, unsigned length);
  void Write(const ShortText& text) { Write(text.chars, text.length); }
  void Write(const Text& text) { Write(text.chars, text.length); }
  void EndLine();
  void Close();
};
