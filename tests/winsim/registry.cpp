// The simulated registry: the HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER trees,
// key handles with their access masks, roots that refuse writes, and the
// advapi32 functions over them.
#include <cstring>
#include <stdexcept>

#include "tests/winsim/internal.h"

namespace sim {
namespace detail {

namespace {

constexpr DWORD kCreatedNewKey = 1;
constexpr DWORD kOpenedExistingKey = 2;
constexpr REGSAM kAllAccess = 0xF003Fu;
// Rights that change a key or what is under it.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x20u /* create link */ | 0x10000u /* delete */ |
                                0x40000u /* write DAC */ | 0x80000u /* write owner */ |
                                0x40000000u /* generic write */ | 0x10000000u /* generic all */;

// The key a handle stands for, with the access it was opened with.
struct Base {
  std::shared_ptr<RegKey> key;
  HKEY root = nullptr;
  REGSAM mask = 0;
  DWORD error = ERROR_SUCCESS;
};

Base Resolve(HKEY key) {
  Machine& m = M();
  Base base;
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) {
    base.key = key == HKEY_LOCAL_MACHINE ? m.localMachine : m.currentUser;
    base.root = key;
    base.mask = kAllAccess;
    return base;
  }
  Handle* handle = Lookup(key, Kind::Key);
  if (handle == nullptr) {
    base.error = ERROR_INVALID_HANDLE;
  } else if (handle->key->deleted) {
    base.error = kErrorKeyDeleted;
  } else {
    base.key = handle->key;
    base.root = handle->root;
    base.mask = handle->mask;
  }
  return base;
}

bool Denied(HKEY root) {
  const Machine& m = M();
  return root == HKEY_LOCAL_MACHINE ? m.denyLocalMachine : m.denyCurrentUser;
}

// Splits a subkey path into its names; a leading separator is refused.
bool SplitKey(const char* text, std::vector<std::string>* parts) {
  std::string path = text == nullptr ? "" : text;
  if (!path.empty() && path[0] == '\\') return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts->push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

std::shared_ptr<RegKey> Subkey(const std::shared_ptr<RegKey>& key, const std::string& name) {
  auto found = key->subkeys.find(Fold(name));
  return found == key->subkeys.end() ? nullptr : found->second;
}

// The deepest existing key along the path, and how many names it took.
std::shared_ptr<RegKey> Walk(std::shared_ptr<RegKey> key, const std::vector<std::string>& parts, size_t* matched) {
  *matched = 0;
  for (const std::string& part : parts) {
    std::shared_ptr<RegKey> next = Subkey(key, part);
    if (next == nullptr) break;
    key = next;
    ++*matched;
  }
  return key;
}

std::shared_ptr<RegKey> Create(std::shared_ptr<RegKey> key, const std::vector<std::string>& parts, size_t from) {
  for (size_t i = from; i < parts.size(); ++i) {
    auto next = std::make_shared<RegKey>();
    next->name = parts[i];
    key->subkeys[Fold(parts[i])] = next;
    key = next;
  }
  return key;
}

RegValue* FindValue(RegKey& key, const char* name) {
  std::string wanted = name == nullptr ? "" : name;
  for (auto& [valueName, value] : key.values) {
    if (SameName(valueName, wanted)) return &value;
  }
  return nullptr;
}

HKEY NewKeyHandle(const Base& base, const std::shared_ptr<RegKey>& key, REGSAM desired) {
  Handle handle;
  handle.kind = Kind::Key;
  handle.owner = M().process.number;
  handle.key = key;
  handle.root = base.root;
  handle.mask = desired;
  return static_cast<HKEY>(NewHandle(handle));
}

// ---- control side helpers ----

std::shared_ptr<RegKey> RootOrThrow(HKEY root) {
  if (root == HKEY_LOCAL_MACHINE) return M().localMachine;
  if (root == HKEY_CURRENT_USER) return M().currentUser;
  throw std::invalid_argument("the registry has HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER");
}

std::shared_ptr<RegKey> KeyAt(HKEY root, const std::string& path) {
  std::vector<std::string> parts;
  SplitKey(path.c_str(), &parts);
  size_t matched = 0;
  std::shared_ptr<RegKey> key = Walk(RootOrThrow(root), parts, &matched);
  return matched == parts.size() ? key : nullptr;
}

std::shared_ptr<RegKey> KeyOrThrow(HKEY root, const std::string& path) {
  std::shared_ptr<RegKey> key = KeyAt(root, path);
  if (key == nullptr) throw std::runtime_error("no registry key \"" + path + "\"");
  return key;
}

}  // namespace

void ResetRegistry() {
  Machine& m = M();
  m.localMachine = std::make_shared<RegKey>();
  m.localMachine->name = "HKEY_LOCAL_MACHINE";
  m.currentUser = std::make_shared<RegKey>();
  m.currentUser->name = "HKEY_CURRENT_USER";
  m.denyLocalMachine = false;
  m.denyCurrentUser = false;
}

}  // namespace detail

using namespace detail;

// ---- control side ----------------------------------------------------------------------------

void PutKey(HKEY root, const std::string& key) {
  std::vector<std::string> parts;
  SplitKey(key.c_str(), &parts);
  size_t matched = 0;
  std::shared_ptr<RegKey> found = Walk(RootOrThrow(root), parts, &matched);
  Create(found, parts, matched);
}

void PutValue(HKEY root, const std::string& key, const std::string& name, DWORD type, const std::string& data) {
  PutKey(root, key);
  std::shared_ptr<RegKey> target = KeyOrThrow(root, key);
  RegValue* value = FindValue(*target, name.c_str());
  if (value == nullptr) {
    target->values.emplace_back(name, RegValue());
    value = &target->values.back().second;
  }
  value->type = type;
  value->data = data;
}

void PutString(HKEY root, const std::string& key, const std::string& name, const std::string& text) {
  PutValue(root, key, name, REG_SZ, text + std::string(1, '\0'));
}

bool KeyExists(HKEY root, const std::string& key) {
  return KeyAt(root, key) != nullptr;
}

bool ValueExists(HKEY root, const std::string& key, const std::string& name) {
  std::shared_ptr<RegKey> found = KeyAt(root, key);
  return found != nullptr && FindValue(*found, name.c_str()) != nullptr;
}

RegValue GetValue(HKEY root, const std::string& key, const std::string& name) {
  RegValue* value = FindValue(*KeyOrThrow(root, key), name.c_str());
  if (value == nullptr) throw std::runtime_error("no value \"" + name + "\" under \"" + key + "\"");
  return *value;
}

std::vector<std::string> ValueNames(HKEY root, const std::string& key) {
  std::vector<std::string> names;
  for (const auto& [name, value] : KeyOrThrow(root, key)->values) names.push_back(name);
  return names;
}

std::vector<std::string> SubkeyNames(HKEY root, const std::string& key) {
  std::vector<std::string> names;
  for (const auto& [folded, subkey] : KeyOrThrow(root, key)->subkeys) names.push_back(subkey->name);
  return names;
}

void DenyWrites(HKEY root, bool deny) {
  RootOrThrow(root);
  (root == HKEY_LOCAL_MACHINE ? M().denyLocalMachine : M().denyCurrentUser) = deny;
}

}  // namespace sim

using namespace sim::detail;
using sim::RegValue;

// ---- advapi32 ------------------------------------------------------------------------------------

namespace {

// What creating and opening a key share: the injected failure, the base
// key, the path's components and how far the path already exists.
struct KeyLookup {
  LSTATUS status = ERROR_SUCCESS;
  Base base;
  std::vector<std::string> parts;
  size_t matched = 0;
  std::shared_ptr<RegKey> found;
};

KeyLookup LookUp(Gate& gate, HKEY key, LPCSTR subKey, PHKEY result) {
  KeyLookup lookup;
  if (result != nullptr) *result = nullptr;
  if (gate.Injected()) {
    lookup.status = gate.InjectedError(ERROR_ACCESS_DENIED);
    return lookup;
  }
  lookup.base = Resolve(key);
  if (lookup.base.error != ERROR_SUCCESS) {
    lookup.status = lookup.base.error;
  } else if (result == nullptr) {
    lookup.status = ERROR_INVALID_PARAMETER;
  } else if (!SplitKey(subKey, &lookup.parts)) {
    lookup.status = kErrorBadPathname;
  } else {
    lookup.found = Walk(lookup.base.key, lookup.parts, &lookup.matched);
  }
  return lookup;
}

}  // namespace

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM desired,
                               LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
  (void)reserved;
  (void)keyClass;
  (void)options;
  (void)security;
  Gate gate("RegCreateKeyExA", KeyText(key) + ", " + Quote(subKey) + ", " + Hex(desired));
  KeyLookup lookup = LookUp(gate, key, subKey, result);
  if (lookup.status != ERROR_SUCCESS) return gate.Status(lookup.status);
  const Base& base = lookup.base;
  const std::vector<std::string>& parts = lookup.parts;
  size_t matched = lookup.matched;
  const std::shared_ptr<RegKey>& found = lookup.found;
  bool exists = matched == parts.size();
  if (Denied(base.root) && (!exists || (desired & kWriteRights) != 0)) return gate.Status(ERROR_ACCESS_DENIED);
  std::shared_ptr<RegKey> target = exists ? found : Create(found, parts, matched);
  if (disposition != nullptr) *disposition = exists ? kOpenedExistingKey : kCreatedNewKey;
  *result = NewKeyHandle(base, target, desired);
  gate.Result("0, " + HandleText(*result) + (exists ? " opened" : " created"));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
  (void)options;
  Gate gate("RegOpenKeyExA", KeyText(key) + ", " + Quote(subKey) + ", " + Hex(desired));
  KeyLookup lookup = LookUp(gate, key, subKey, result);
  if (lookup.status != ERROR_SUCCESS) return gate.Status(lookup.status);
  if (lookup.matched != lookup.parts.size()) return gate.Status(ERROR_FILE_NOT_FOUND);
  if (Denied(lookup.base.root) && (desired & kWriteRights) != 0) return gate.Status(ERROR_ACCESS_DENIED);
  *result = NewKeyHandle(lookup.base, lookup.found, desired);
  gate.Result("0, " + HandleText(*result));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                              DWORD dataSize) {
  (void)reserved;
  Gate gate("RegSetValueExA",
            KeyText(key) + ", " + Quote(valueName) + ", " + std::to_string(type) + ", " + std::to_string(dataSize));
  if (gate.Injected()) return gate.Status(gate.InjectedError(ERROR_ACCESS_DENIED));
  Base base = Resolve(key);
  if (base.error != ERROR_SUCCESS) return gate.Status(base.error);
  if ((base.mask & KEY_SET_VALUE) == 0 || Denied(base.root)) return gate.Status(ERROR_ACCESS_DENIED);
  if (data == nullptr && dataSize > 0) return gate.Status(kErrorNoAccess);
  RegValue* value = FindValue(*base.key, valueName);
  if (value == nullptr) {
    base.key->values.emplace_back(valueName == nullptr ? "" : valueName, RegValue());
    value = &base.key->values.back().second;
  }
  value->type = type;
  value->data.assign(reinterpret_cast<const char*>(data), dataSize);
  return gate.Status(ERROR_SUCCESS);
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
  std::string room = data == nullptr || dataSize == nullptr ? "NULL" : std::to_string(*dataSize);
  Gate gate("RegQueryValueExA", KeyText(key) + ", " + Quote(valueName) + ", " + room);
  if (gate.Injected()) return gate.Status(gate.InjectedError(ERROR_ACCESS_DENIED));
  Base base = Resolve(key);
  if (base.error != ERROR_SUCCESS) return gate.Status(base.error);
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return gate.Status(ERROR_INVALID_PARAMETER);
  if ((base.mask & KEY_QUERY_VALUE) == 0) return gate.Status(ERROR_ACCESS_DENIED);
  const RegValue* value = FindValue(*base.key, valueName);
  if (value == nullptr) return gate.Status(ERROR_FILE_NOT_FOUND);
  if (type != nullptr) *type = value->type;
  DWORD stored = static_cast<DWORD>(value->data.size());
  if (data != nullptr) {
    if (*dataSize < stored) {
      *dataSize = stored;
      return gate.Status(ERROR_MORE_DATA);
    }
    std::memcpy(data, value->data.data(), stored);
  }
  if (dataSize != nullptr) *dataSize = stored;
  gate.Result("0, type " + std::to_string(value->type) + ", " + std::to_string(stored) + " bytes");
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  Gate gate("RegDeleteKeyA", KeyText(key) + ", " + Quote(subKey));
  if (gate.Injected()) return gate.Status(gate.InjectedError(ERROR_ACCESS_DENIED));
  Base base = Resolve(key);
  if (base.error != ERROR_SUCCESS) return gate.Status(base.error);
  std::vector<std::string> parts;
  if (subKey == nullptr) return gate.Status(ERROR_INVALID_PARAMETER);
  if (!SplitKey(subKey, &parts)) return gate.Status(kErrorBadPathname);
  if (parts.empty()) return gate.Status(ERROR_ACCESS_DENIED);
  size_t matched = 0;
  std::shared_ptr<RegKey> found = Walk(base.key, parts, &matched);
  if (matched != parts.size()) return gate.Status(ERROR_FILE_NOT_FOUND);
  if (Denied(base.root) || !found->subkeys.empty()) return gate.Status(ERROR_ACCESS_DENIED);
  parts.pop_back();
  std::shared_ptr<RegKey> parent = Walk(base.key, parts, &matched);
  found->deleted = true;
  parent->subkeys.erase(Fold(found->name));
  return gate.Status(ERROR_SUCCESS);
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  Gate gate("RegCloseKey", KeyText(key));
  if (key != HKEY_LOCAL_MACHINE && key != HKEY_CURRENT_USER) {
    if (Lookup(key, Kind::Key) == nullptr) return gate.Status(ERROR_INVALID_HANDLE);
    M().handles.erase(reinterpret_cast<uintptr_t>(key));
  }
  // An injected failure still closes the key, as a failing close does.
  if (gate.Injected()) return gate.Status(gate.InjectedError(ERROR_INVALID_HANDLE));
  return gate.Status(ERROR_SUCCESS);
}
