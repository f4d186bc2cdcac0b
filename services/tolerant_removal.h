// Removal in which an entry that is already gone counts as removed.
#pragma once

#include "runtime/text.h"

bool DeleteFileIfPresent(const char* path);
bool RemoveDirIfPresent(const Text& path);
