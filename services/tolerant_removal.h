// Removal in which an entry that is already gone counts as removed.
#pragma once

bool DeleteFileIfPresent(const char* path);
bool RemoveDirIfPresent(const char* path);
