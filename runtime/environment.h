// Looking up environment variables.
#pragma once

#include "runtime/text.h"

// The value of the first entry whose name equals the nameLength characters
// of name, with the letters a to z compared without regard to case; empty
// when there is none. Each entry is cut to 255 characters before it is split
// at its first "=".
ShortText EnvironmentValue(const char* name, unsigned nameLength);

inline ShortText EnvironmentValue(const ShortText& name) {
  return EnvironmentValue(name.chars, name.length);
}
