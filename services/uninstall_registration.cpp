#include "services/uninstall_registration.h"

#include "core/constants.h"
#include "runtime/win32.h"

namespace {

// A string value's data: the characters and one zero byte, within 255 bytes.
ShortText WithZero(ShortText text) {
  Append(text, "\0", 1);
  return text;
}

bool SetString(HKEY key, const char* name, const ShortText& data) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.chars), data.length) == ERROR_SUCCESS;
}

}  // namespace

bool RegisterUninstallEntry(const Text& key, const ShortText& displayName, const ShortText& command) {
  ShortText name = WithZero(displayName);
  ShortText quoted = MakeShortText("\"");
  Append(quoted, command);
  Append(quoted, "\"");
  ShortText commandLine = WithZero(quoted);

  Text path = Text(UninstallKeyPrefix) + key;
  HKEY entry;
  DWORD disposition;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.chars, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &entry,
                      &disposition) != ERROR_SUCCESS) {
    return false;
  }
  bool written = SetString(entry, DisplayNameValue, name) && SetString(entry, CommandValue, commandLine);
  RegCloseKey(entry);
  return written;
}

bool DeleteUninstallEntry(const Text& key) {
  Text path = Text(UninstallKeyPrefix) + key;
  return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.chars) == ERROR_SUCCESS;
}
