// The product's entry in the machine's list of installed programs.
#pragma once

// Creates or opens HKLM\<UninstallKey> and writes "DisplayName" and
// "UninstallString" (the quoted command line of the installed tool). True
// only if both values were written.
bool RegisterUninstallEntry();

// Deletes the key; a missing key is a failure.
bool DeleteUninstallEntry();
