// The product's entry in the machine's list of installed programs.
#pragma once

#include "runtime/text.h"

// Creates or opens HKLM\<uninstall prefix><key> and writes "DisplayName" and
// "UninstallString" (the command, in double quotes, so the system never
// splits a path with blanks). True only if both values were written.
bool RegisterUninstallEntry(const Text& key, const ShortText& displayName, const ShortText& command);

// Deletes the key; a missing key is a failure.
bool DeleteUninstallEntry(const Text& key);
