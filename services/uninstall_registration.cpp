#include "services/uninstall_registration.h"

#include "core/constants.h"
#include "runtime/win32.h"

namespace {

// A string value: size counts the characters and their terminating zero.
bool SetString(HKEY key, const char* name, const char* data, DWORD size) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

}  // namespace

bool RegisterUninstallEntry() {
  HKEY entry;
  DWORD disposition;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, UninstallKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &entry,
                      &disposition) != ERROR_SUCCESS) {
    return false;
  }
  bool written = SetString(entry, DisplayNameValue, DisplayName, sizeof DisplayName) &&
                 SetString(entry, CommandValue, UninstallCommandLine, sizeof UninstallCommandLine);
  RegCloseKey(entry);
  return written;
}

bool DeleteUninstallEntry() {
  return RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallKey) == ERROR_SUCCESS;
}
