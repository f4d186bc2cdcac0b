// The command-line arguments, split once at start-up.
#pragma once

#include <stdint.h>

#include "runtime/text.h"

constexpr unsigned kArgumentSlots = 128;
constexpr unsigned kArgumentMax = 254;
constexpr unsigned kModulePathBuffer = 255;

// Fills the argument table: slot 0 the program's own file, then the tokens of
// the command line after the first.
void BuildArgumentTable();

// Number of tokens on the command line, the program name included; tokens
// beyond what the table holds are dropped.
int32_t ArgumentCount();

// Argument index cut to 254 characters; index 0 is the program's own path.
// An index below 0 or not below the count gives an empty text.
ShortText ProgramArgument(int32_t index);
