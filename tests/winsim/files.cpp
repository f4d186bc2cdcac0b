// The simulated file system: drives, directories and files, path resolution,
// sharing between opens, the running-image lock, free space, and the kernel32
// file functions over it.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "tests/winsim/internal.h"

namespace sim {
namespace detail {

namespace {

constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

bool HasBadCharacter(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 32 || std::strchr("<>:\"|", c) != nullptr) return true;
  }
  return false;
}

// The ANSI functions convert a name into a buffer of MAX_PATH characters and
// refuse longer ones; CreateDirectoryA leaves room for an 8.3 name inside.
constexpr size_t kDirectoryPathLimit = MAX_PATH - 12;
bool TooLong(const char* text, size_t limit = MAX_PATH) {
  return text != nullptr && std::strlen(text) >= limit;
}

// A name the file functions (all but FindFirstFileA) refuse.
bool BadName(const Path& path) {
  return path.badCharacters || path.wildcards || HasWildcard(path.lastRaw);
}

Node* Child(Node* directory, std::string_view name) {
  auto found = directory->children.find(Fold(name));
  return found == directory->children.end() ? nullptr : found->second.get();
}

Node* AddChild(Node* directory, const std::string& name, bool isDirectory, DWORD attributes) {
  auto node = std::make_unique<Node>();
  node->name = name;
  node->directory = isDirectory;
  node->attributes = isDirectory ? (attributes | FILE_ATTRIBUTE_DIRECTORY) : (attributes & ~FILE_ATTRIBUTE_DIRECTORY);
  node->parent = directory;
  node->drive = directory->drive;
  Node* raw = node.get();
  directory->children[Fold(name)] = std::move(node);
  return raw;
}

// The attributes FindFirstFileA reports: a file with none shows as NORMAL.
DWORD Reported(const Node& node) {
  if (node.directory) return node.attributes | FILE_ATTRIBUTE_DIRECTORY;
  return node.attributes == 0 ? FILE_ATTRIBUTE_NORMAL : node.attributes;
}

// A new file gets the attributes asked for, and ARCHIVE as Windows adds it.
DWORD NewFileAttributes(DWORD flags) {
  return (flags & kKeptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
}

Drive& DriveOf(const Node* node) {
  return M().drives.at(node->drive);
}

bool Fits(const Node* node, uint64_t growth) {
  const Drive& drive = DriveOf(node);
  return !drive.limited || growth <= drive.free;
}

// Sets the file's size, charging growth against the drive's free space and
// returning what shrinking frees.
void Resize(Node* node, uint64_t size) {
  Drive& drive = DriveOf(node);
  uint64_t old = node->bytes.size();
  if (drive.limited) {
    if (size > old) drive.free -= size - old;
    if (size < old) drive.free += old - size;
  }
  node->bytes.resize(size, '\0');
}

void RemoveNode(Node* node) {
  if (!node->directory) Resize(node, 0);
  node->parent->children.erase(Fold(node->name));
}

bool Reads(DWORD access) {
  return (access & (GENERIC_READ | kGenericAll)) != 0;
}
bool Writes(DWORD access) {
  return (access & (GENERIC_WRITE | kGenericAll)) != 0;
}
bool Deletes(DWORD access) {
  return (access & (kDeleteAccess | kGenericAll)) != 0;
}

// Whether an open with this access and share mode meets an existing one
// that refuses it, or refuses the existing one's access itself.
bool Clash(DWORD access, DWORD share, DWORD otherAccess, DWORD otherShare) {
  // Opens without data access (attributes only) take no part in sharing.
  auto none = [](DWORD a) { return !Reads(a) && !Writes(a) && !Deletes(a); };
  if (none(access) || none(otherAccess)) return false;
  auto refused = [](DWORD wanted, DWORD allowed) {
    return (Reads(wanted) && (allowed & FILE_SHARE_READ) == 0) ||
           (Writes(wanted) && (allowed & FILE_SHARE_WRITE) == 0) ||
           (Deletes(wanted) && (allowed & FILE_SHARE_DELETE) == 0);
  };
  return refused(access, otherShare) || refused(otherAccess, share);
}

bool SharingRefuses(const Node* node, DWORD access, DWORD share) {
  const Machine& m = M();
  for (const auto& [value, handle] : m.handles) {
    if (handle.kind == Kind::File && handle.node == node && Clash(access, share, handle.access, handle.share)) {
      return true;
    }
  }
  for (const Hold& hold : m.holds) {
    if (hold.node == node && Clash(access, share, hold.access, hold.share)) return true;
  }
  return false;
}

bool IsOpen(const Node* node) {
  const Machine& m = M();
  for (const auto& [value, handle] : m.handles) {
    if (handle.kind == Kind::File && handle.node == node) return true;
  }
  for (const Hold& hold : m.holds) {
    if (hold.node == node) return true;
  }
  return false;
}

bool IsRunningImage(const Node* node) {
  return M().running && M().process.image == node;
}

bool IsCurrentDirectory(const Node* node) {
  const Process& process = M().process;
  Path path;
  path.valid = true;
  path.drive = process.directoryDrive;
  path.parts = process.directoryParts;
  return Locate(path).node == node;
}

// Windows-style wildcard match on folded names: '*' any run, '?' one character.
bool Glob(std::string_view pattern, std::string_view name) {
  size_t p = 0;
  size_t n = 0;
  size_t star = std::string_view::npos;
  size_t mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool Matches(std::string_view rawPattern, std::string_view rawName) {
  std::string pattern = Fold(rawPattern);
  std::string name = Fold(rawName);
  if (Glob(pattern, name)) return true;
  // As in DOS, "name.*" also matches a name without an extension, and a
  // pattern ending in '.' matches names that have none.
  bool dotted = name.find('.') != std::string::npos;
  if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0 && !dotted) {
    return Glob(std::string_view(pattern).substr(0, pattern.size() - 2), name);
  }
  if (!pattern.empty() && pattern.back() == '.' && !dotted) {
    return Glob(std::string_view(pattern).substr(0, pattern.size() - 1), name);
  }
  return false;
}

void FillFindData(LPWIN32_FIND_DATAA data, const std::string& name, DWORD attributes, uint64_t size) {
  if (data == nullptr) return;
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = attributes;
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  std::strncpy(data->cFileName, name.c_str(), MAX_PATH - 1);
}

// Sim-side lookups throw on a path that cannot name an entry.
Path ParseOrThrow(const std::string& text) {
  Path path = ParsePath(text);
  if (!path.valid) throw std::invalid_argument("not a usable path: \"" + text + "\"");
  return path;
}

Node* FindOrThrow(const std::string& text) {
  Where where = Locate(ParseOrThrow(text));
  if (where.node == nullptr) throw std::runtime_error("no such file or directory: \"" + text + "\"");
  return where.node;
}

}  // namespace

// ---- paths ---------------------------------------------------------------------------------

Path ParsePath(std::string_view text) {
  Path path;
  std::string s(text);
  std::replace(s.begin(), s.end(), '/', '\\');
  if (s.empty()) return path;
  const Process& process = M().process;
  std::string rest;
  if (s.size() >= 2 && s[1] == ':') {
    char letter = s[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z') return path;
    path.drive = letter;
    rest = s.substr(2);
    // "C:name" is relative to the current directory when that is on C:.
    if ((rest.empty() || rest[0] != '\\') && letter == process.directoryDrive) path.parts = process.directoryParts;
  } else if (s.size() >= 2 && s[0] == '\\' && s[1] == '\\') {
    return path;  // network paths are not part of this machine
  } else {
    path.drive = process.directoryDrive;
    rest = s;
    if (rest[0] != '\\') path.parts = process.directoryParts;
  }
  path.valid = true;
  path.trailingSeparator = !rest.empty() && rest.back() == '\\';
  size_t start = 0;
  std::vector<std::string> components;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    if (end > start) components.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  for (size_t i = 0; i < components.size(); ++i) {
    const std::string& component = components[i];
    bool last = i + 1 == components.size();
    if (last) path.lastRaw = component;
    if (component == ".") continue;
    if (component == "..") {
      if (!path.parts.empty()) path.parts.pop_back();
      continue;
    }
    if (HasBadCharacter(component)) path.badCharacters = true;
    if (!last && HasWildcard(component)) path.wildcards = true;
    path.parts.push_back(component);
  }
  return path;
}

std::string Text(const Path& path) {
  std::string text = std::string(1, path.drive) + ":\\";
  for (size_t i = 0; i < path.parts.size(); ++i) {
    if (i > 0) text += '\\';
    text += path.parts[i];
  }
  return text;
}

Where Locate(const Path& path) {
  Where where;
  auto drive = M().drives.find(path.drive);
  if (!path.valid || drive == M().drives.end()) {
    where.missing = ERROR_PATH_NOT_FOUND;
    return where;
  }
  where.drive = &drive->second;
  Node* directory = drive->second.root.get();
  if (path.parts.empty()) {
    where.node = directory;
    return where;
  }
  for (size_t i = 0; i + 1 < path.parts.size(); ++i) {
    Node* next = Child(directory, path.parts[i]);
    if (next == nullptr || !next->directory) {
      where.missing = ERROR_PATH_NOT_FOUND;
      return where;
    }
    directory = next;
  }
  where.parent = directory;
  where.node = Child(directory, path.parts.back());
  if (where.node == nullptr) where.missing = ERROR_FILE_NOT_FOUND;
  return where;
}

void FinishDeleteIfUnused(Node* node) {
  if (node != nullptr && node->deletePending && !IsOpen(node)) RemoveNode(node);
}

void ResetFileSystem() {
  M().drives.clear();
  AddDrive('C');
}

}  // namespace detail

using namespace detail;

// ---- control side ----------------------------------------------------------------------------

void AddDrive(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') throw std::invalid_argument("a drive is a letter");
  Drive& drive = M().drives[letter];
  if (drive.root) return;
  drive.root = std::make_unique<Node>();
  drive.root->name = std::string(1, letter) + ":";
  drive.root->directory = true;
  drive.root->attributes = FILE_ATTRIBUTE_DIRECTORY;
  drive.root->drive = letter;
}

void MakeDirs(const std::string& text) {
  Path path = ParseOrThrow(text);
  auto drive = M().drives.find(path.drive);
  if (drive == M().drives.end()) throw std::runtime_error("no drive for \"" + text + "\"");
  Node* directory = drive->second.root.get();
  for (const std::string& part : path.parts) {
    Node* next = Child(directory, part);
    if (next == nullptr) next = AddChild(directory, part, true, 0);
    if (!next->directory) throw std::runtime_error("a file stands in the way of \"" + text + "\"");
    directory = next;
  }
}

void PutFile(const std::string& text, const std::string& bytes, DWORD attributes) {
  Path path = ParseOrThrow(text);
  if (path.parts.empty()) throw std::invalid_argument("a file needs a name: \"" + text + "\"");
  Path parent = path;
  parent.parts.pop_back();
  MakeDirs(Text(parent));
  Where where = Locate(path);
  if (where.node != nullptr && where.node->directory) throw std::runtime_error("a directory is there: " + text);
  Node* node = where.node != nullptr ? where.node : AddChild(where.parent, path.parts.back(), false, 0);
  node->bytes = bytes;
  node->attributes = attributes & ~FILE_ATTRIBUTE_DIRECTORY;
}

bool Exists(const std::string& text) {
  return Locate(ParsePath(text)).node != nullptr;
}

bool IsDirectory(const std::string& text) {
  Node* node = Locate(ParsePath(text)).node;
  return node != nullptr && node->directory;
}

std::string FileBytes(const std::string& text) {
  Node* node = FindOrThrow(text);
  if (node->directory) throw std::runtime_error("a directory, not a file: \"" + text + "\"");
  return node->bytes;
}

std::vector<std::string> List(const std::string& text) {
  Node* node = FindOrThrow(text);
  if (!node->directory) throw std::runtime_error("not a directory: \"" + text + "\"");
  std::vector<std::string> names;
  for (const auto& [key, child] : node->children) names.push_back(child->name);
  std::sort(names.begin(), names.end());
  return names;
}

void SetAttributes(const std::string& text, DWORD attributes) {
  Node* node = FindOrThrow(text);
  node->attributes =
      node->directory ? (attributes | FILE_ATTRIBUTE_DIRECTORY) : (attributes & ~FILE_ATTRIBUTE_DIRECTORY);
}

DWORD Attributes(const std::string& text) {
  return FindOrThrow(text)->attributes;
}

void SetFreeSpace(char letter, uint64_t bytes) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  auto drive = M().drives.find(letter);
  if (drive == M().drives.end()) throw std::runtime_error("no such drive");
  drive->second.limited = true;
  drive->second.free = bytes;
}

void MakeWritesComeUpShort(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  auto drive = M().drives.find(letter);
  if (drive == M().drives.end()) throw std::runtime_error("no such drive");
  drive->second.shortWrites = true;
}

uint64_t FreeSpace(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  auto drive = M().drives.find(letter);
  if (drive == M().drives.end()) throw std::runtime_error("no such drive");
  return drive->second.limited ? drive->second.free : UINT64_MAX;
}

void HoldOpen(const std::string& text, DWORD access, DWORD shareMode) {
  Hold hold;
  hold.node = FindOrThrow(text);
  hold.access = access;
  hold.share = shareMode;
  M().holds.push_back(hold);
}

void Release(const std::string& text) {
  Node* node = FindOrThrow(text);
  auto& holds = M().holds;
  holds.erase(std::remove_if(holds.begin(), holds.end(), [node](const Hold& hold) { return hold.node == node; }),
              holds.end());
  FinishDeleteIfUnused(node);
}

}  // namespace sim

using namespace sim::detail;

namespace {

// What every file function checks of a name before it looks the name up:
// 0 when it can be looked up, else the error Windows reports for it.
DWORD CheckName(const char* name, Path* path, size_t limit = MAX_PATH) {
  if (TooLong(name, limit)) return kErrorFilenameTooLong;
  *path = ParsePath(name == nullptr ? "" : name);
  if (!path->valid) return ERROR_PATH_NOT_FOUND;
  if (BadName(*path)) return kErrorInvalidName;
  return 0;
}

}  // namespace

// ---- kernel32: files -----------------------------------------------------------------------------

HANDLE WINAPI FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findData) {
  Gate gate("FindFirstFileA", Quote(fileName));
  // Searches that fail on an existing entry do so for want of access to its folder.
  if (gate.Injected()) return gate.InvalidHandle(gate.InjectedError(ERROR_ACCESS_DENIED));
  if (fileName == nullptr || *fileName == '\0') return gate.InvalidHandle(ERROR_PATH_NOT_FOUND);
  if (TooLong(fileName)) return gate.InvalidHandle(kErrorFilenameTooLong);
  Path path = ParsePath(fileName);
  if (!path.valid) return gate.InvalidHandle(ERROR_PATH_NOT_FOUND);
  // A directory named with a trailing separator, a drive root or a bare
  // "C:" is not something a search lists.
  if (path.trailingSeparator || path.lastRaw.empty() || path.parts.empty()) {
    return gate.InvalidHandle(ERROR_FILE_NOT_FOUND);
  }
  if (path.badCharacters || path.wildcards) return gate.InvalidHandle(kErrorInvalidName);

  Where where = Locate(path);
  if (path.lastRaw == "." || path.lastRaw == "..") {
    if (where.node == nullptr) return gate.InvalidHandle(where.missing);
    FillFindData(findData, path.lastRaw, Reported(*where.node), 0);
  } else {
    if (where.parent == nullptr) return gate.InvalidHandle(where.missing);
    const std::string& pattern = path.parts.back();
    bool found = false;
    bool isRoot = where.parent->parent == nullptr;
    for (const char* dots : {".", ".."}) {
      if (!found && !isRoot && Matches(pattern, dots)) {
        FillFindData(findData, dots, FILE_ATTRIBUTE_DIRECTORY, 0);
        found = true;
      }
    }
    for (const auto& [key, child] : where.parent->children) {
      if (found) break;
      if (Matches(pattern, child->name)) {
        FillFindData(findData, child->name, Reported(*child), child->directory ? 0 : child->bytes.size());
        found = true;
      }
    }
    if (!found) return gate.InvalidHandle(ERROR_FILE_NOT_FOUND);
  }
  Handle handle;
  handle.kind = Kind::Search;
  handle.owner = M().process.number;
  return gate.Handle(NewHandle(handle));
}

BOOL WINAPI FindClose(HANDLE findFile) {
  Gate gate("FindClose", HandleText(findFile));
  if (Lookup(findFile, Kind::Search) == nullptr) return gate.False(ERROR_INVALID_HANDLE);
  M().handles.erase(reinterpret_cast<uintptr_t>(findFile));
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_INVALID_HANDLE));
  return gate.True();
}

BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES security) {
  (void)security;
  Gate gate("CreateDirectoryA", Quote(pathName));
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_ACCESS_DENIED));
  Path path;
  if (DWORD error = CheckName(pathName, &path, kDirectoryPathLimit)) return gate.False(error);
  if (path.parts.empty()) {
    return gate.False(Locate(path).node != nullptr ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
  }
  Where where = Locate(path);
  if (where.node != nullptr) return gate.False(ERROR_ALREADY_EXISTS);
  if (where.parent == nullptr) return gate.False(where.missing);
  AddChild(where.parent, path.parts.back(), true, 0);
  return gate.True();
}

BOOL WINAPI RemoveDirectoryA(LPCSTR pathName) {
  Gate gate("RemoveDirectoryA", Quote(pathName));
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_ACCESS_DENIED));
  Path path;
  if (DWORD error = CheckName(pathName, &path)) return gate.False(error);
  Where where = Locate(path);
  if (where.node == nullptr) return gate.False(where.missing);
  Node* node = where.node;
  if (node->parent == nullptr) return gate.False(ERROR_ACCESS_DENIED);  // a drive root
  if (!node->directory) return gate.False(ERROR_DIRECTORY);
  if (!node->children.empty()) return gate.False(ERROR_DIR_NOT_EMPTY);
  if ((node->attributes & FILE_ATTRIBUTE_READONLY) != 0) return gate.False(ERROR_ACCESS_DENIED);
  if (IsCurrentDirectory(node)) return gate.False(ERROR_SHARING_VIOLATION);
  RemoveNode(node);
  return gate.True();
}

BOOL WINAPI DeleteFileA(LPCSTR fileName) {
  Gate gate("DeleteFileA", Quote(fileName));
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_ACCESS_DENIED));
  Path path;
  if (DWORD error = CheckName(fileName, &path)) return gate.False(error);
  Where where = Locate(path);
  if (where.node == nullptr) return gate.False(where.missing);
  Node* node = where.node;
  if (node->directory) return gate.False(ERROR_ACCESS_DENIED);
  if (path.trailingSeparator) return gate.False(kErrorInvalidName);
  if (node->deletePending) return gate.False(ERROR_ACCESS_DENIED);
  if ((node->attributes & FILE_ATTRIBUTE_READONLY) != 0) return gate.False(ERROR_ACCESS_DENIED);
  if (IsRunningImage(node)) return gate.False(ERROR_ACCESS_DENIED);
  if (SharingRefuses(node, kDeleteAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    return gate.False(ERROR_SHARING_VIOLATION);
  }
  // Opens that allow deletion keep the name until they are all closed.
  if (IsOpen(node)) {
    node->deletePending = true;
  } else {
    RemoveNode(node);
  }
  return gate.True();
}

BOOL WINAPI CopyFileA(LPCSTR existingFileName, LPCSTR newFileName, BOOL failIfExists) {
  Gate gate("CopyFileA",
            Quote(existingFileName) + ", " + Quote(newFileName) + ", " + (failIfExists ? "TRUE" : "FALSE"));
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_ACCESS_DENIED));

  Path from;
  if (DWORD error = CheckName(existingFileName, &from)) return gate.False(error);
  Where source = Locate(from);
  if (source.node == nullptr) return gate.False(source.missing);
  if (source.node->directory || source.node->deletePending) return gate.False(ERROR_ACCESS_DENIED);
  if (SharingRefuses(source.node, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE)) {
    return gate.False(ERROR_SHARING_VIOLATION);
  }

  Path to;
  if (DWORD error = CheckName(newFileName, &to)) return gate.False(error);
  Where target = Locate(to);
  if (target.node == nullptr && target.parent == nullptr) return gate.False(target.missing);
  Node* node = target.node;
  if (node != nullptr) {
    if (node->directory) return gate.False(ERROR_ACCESS_DENIED);
    if (to.trailingSeparator) return gate.False(kErrorInvalidName);
    if (node == source.node) return gate.False(ERROR_SHARING_VIOLATION);
    if (failIfExists) return gate.False(ERROR_FILE_EXISTS);
    if ((node->attributes & FILE_ATTRIBUTE_READONLY) != 0 || node->deletePending) {
      return gate.False(ERROR_ACCESS_DENIED);
    }
    // Like CreateFileA with CREATE_ALWAYS: a hidden or system file is only
    // replaced by one that has the same attribute.
    DWORD guarded = node->attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if ((source.node->attributes & guarded) != guarded) return gate.False(ERROR_ACCESS_DENIED);
    if (IsRunningImage(node) || SharingRefuses(node, GENERIC_WRITE, 0)) return gate.False(ERROR_SHARING_VIOLATION);
  } else if (to.trailingSeparator) {
    return gate.False(kErrorInvalidName);
  }

  uint64_t size = source.node->bytes.size();
  uint64_t old = 0;
  if (node != nullptr) old = node->bytes.size();
  Node* destinationDirectory = node != nullptr ? node->parent : target.parent;
  const Drive& drive = M().drives.at(destinationDirectory->drive);
  if (drive.limited && size > old && size - old > drive.free) return gate.False(ERROR_DISK_FULL);

  std::string bytes = source.node->bytes;
  DWORD attributes = source.node->attributes;
  if (node == nullptr) node = AddChild(target.parent, to.parts.back(), false, 0);
  Resize(node, size);
  node->bytes = bytes;
  node->attributes = attributes;
  return gate.True();
}

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                          DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
  (void)security;
  (void)templateFile;
  Gate gate("CreateFileA", Quote(fileName) + ", " + Hex(access) + ", " + Hex(shareMode) + ", " +
                               std::to_string(creationDisposition) + ", " + Hex(flagsAndAttributes));
  if (gate.Injected()) return gate.InvalidHandle(gate.InjectedError(ERROR_SHARING_VIOLATION));
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
    return gate.InvalidHandle(ERROR_INVALID_PARAMETER);
  }
  Path path;
  if (DWORD error = CheckName(fileName, &path)) return gate.InvalidHandle(error);
  Where where = Locate(path);
  Machine& m = M();
  Node* node = where.node;
  bool truncating = creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
  if (creationDisposition == TRUNCATE_EXISTING && !Writes(access)) return gate.InvalidHandle(ERROR_INVALID_PARAMETER);

  if (node != nullptr) {
    if (node->directory) {
      return gate.InvalidHandle(creationDisposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    }
    if (path.trailingSeparator) return gate.InvalidHandle(kErrorInvalidName);
    if (creationDisposition == CREATE_NEW) return gate.InvalidHandle(ERROR_FILE_EXISTS);
    if (node->deletePending) return gate.InvalidHandle(ERROR_ACCESS_DENIED);
    bool writing = Writes(access) || truncating;
    if (writing && (node->attributes & FILE_ATTRIBUTE_READONLY) != 0) return gate.InvalidHandle(ERROR_ACCESS_DENIED);
    if (creationDisposition == CREATE_ALWAYS) {
      DWORD guarded = node->attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
      if ((flagsAndAttributes & guarded) != guarded) return gate.InvalidHandle(ERROR_ACCESS_DENIED);
    }
    if (writing && IsRunningImage(node)) return gate.InvalidHandle(ERROR_SHARING_VIOLATION);
    if (SharingRefuses(node, access | (truncating ? GENERIC_WRITE : 0), shareMode)) {
      return gate.InvalidHandle(ERROR_SHARING_VIOLATION);
    }
    if (truncating) Resize(node, 0);
    if (creationDisposition == CREATE_ALWAYS) node->attributes = NewFileAttributes(flagsAndAttributes);
    bool reportsExisting = creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
    m.lastError = reportsExisting ? ERROR_ALREADY_EXISTS : 0;
  } else {
    if (where.parent == nullptr) return gate.InvalidHandle(ERROR_PATH_NOT_FOUND);
    if (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING) {
      return gate.InvalidHandle(ERROR_FILE_NOT_FOUND);
    }
    if (path.trailingSeparator) return gate.InvalidHandle(kErrorInvalidName);
    node = AddChild(where.parent, path.parts.back(), false, NewFileAttributes(flagsAndAttributes));
    m.lastError = 0;
  }
  Handle handle;
  handle.kind = Kind::File;
  handle.owner = m.process.number;
  handle.node = node;
  handle.access = access;
  handle.share = shareMode;
  return gate.Handle(NewHandle(handle));
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD moveMethod) {
  Gate gate("SetFilePointer", HandleText(file) + ", " + std::to_string(distance) + ", " +
                                  (distanceHigh == nullptr ? std::string("NULL") : std::to_string(*distanceHigh)) +
                                  ", " + std::to_string(moveMethod));
  auto fail = [&gate](DWORD error) {
    gate.Failure("INVALID_SET_FILE_POINTER", error);
    return INVALID_SET_FILE_POINTER;
  };
  if (gate.Injected()) return fail(gate.InjectedError(ERROR_INVALID_PARAMETER));
  Handle* handle = Lookup(file, Kind::File);
  if (handle == nullptr) return fail(ERROR_INVALID_HANDLE);
  int64_t move = distance;
  if (distanceHigh != nullptr) {
    move = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                static_cast<uint32_t>(distance));
  }
  int64_t base = 0;
  if (moveMethod == FILE_CURRENT) {
    base = static_cast<int64_t>(handle->position);
  } else if (moveMethod == FILE_END) {
    base = static_cast<int64_t>(handle->node->bytes.size());
  } else if (moveMethod != FILE_BEGIN) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  int64_t target = base + move;
  if (target < 0) return fail(ERROR_NEGATIVE_SEEK);
  handle->position = static_cast<uint64_t>(target);
  if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
  M().lastError = 0;
  DWORD low = static_cast<DWORD>(static_cast<uint64_t>(target));
  gate.Result(std::to_string(low));
  return low;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
  (void)overlapped;
  Gate gate("WriteFile",
            HandleText(file) + ", " + (buffer == nullptr ? "NULL" : "set") + ", " + std::to_string(bytesToWrite));
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_DISK_FULL));
  Handle* handle = Lookup(file, Kind::File);
  if (handle == nullptr) return gate.False(ERROR_INVALID_HANDLE);
  if (!Writes(handle->access)) return gate.False(ERROR_ACCESS_DENIED);
  if (bytesToWrite == 0) return gate.True();
  if (buffer == nullptr) return gate.False(kErrorNoAccess);
  Node* node = handle->node;
  uint64_t end = handle->position + bytesToWrite;
  uint64_t size = node->bytes.size();
  if (end > size && !Fits(node, end - size)) {
    if (!DriveOf(node).shortWrites) return gate.False(ERROR_DISK_FULL);
    uint64_t limit = size + DriveOf(node).free;  // the end of what fits
    end = std::max(handle->position, limit);     // nothing fits when the write starts beyond it
  }
  if (end > size && end > handle->position) Resize(node, end);
  DWORD count = static_cast<DWORD>(end - handle->position);
  std::memcpy(&node->bytes[handle->position], buffer, count);
  handle->position = end;
  if (bytesWritten != nullptr) *bytesWritten = count;
  if (count != bytesToWrite) {
    M().lastError = 0;
    gate.Result("TRUE, wrote " + std::to_string(count));
    return TRUE;
  }
  return gate.True();
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  (void)overlapped;
  Gate gate("ReadFile",
            HandleText(file) + ", " + (buffer == nullptr ? "NULL" : "set") + ", " + std::to_string(bytesToRead));
  if (bytesRead != nullptr) *bytesRead = 0;
  if (gate.Injected()) return gate.False(gate.InjectedError(kErrorReadFault));
  Handle* handle = Lookup(file, Kind::File);
  if (handle == nullptr) return gate.False(ERROR_INVALID_HANDLE);
  if (!Reads(handle->access)) return gate.False(ERROR_ACCESS_DENIED);
  uint64_t size = handle->node->bytes.size();
  uint64_t available = handle->position < size ? size - handle->position : 0;
  DWORD count = static_cast<DWORD>(std::min<uint64_t>(available, bytesToRead));
  if (count > 0 && buffer == nullptr) return gate.False(kErrorNoAccess);
  if (count > 0) std::memcpy(buffer, handle->node->bytes.data() + handle->position, count);
  handle->position += count;
  if (bytesRead != nullptr) *bytesRead = count;
  gate.Result("TRUE, read " + std::to_string(count));
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  Gate gate("CloseHandle", HandleText(object));
  Machine& m = M();
  auto found = m.handles.find(reinterpret_cast<uintptr_t>(object));
  if (found == m.handles.end() || found->second.owner != m.process.number ||
      (found->second.kind != Kind::File && found->second.kind != Kind::Process && found->second.kind != Kind::Thread)) {
    CountBadHandle();
    return gate.False(ERROR_INVALID_HANDLE);
  }
  Node* node = found->second.kind == Kind::File ? found->second.node : nullptr;
  m.handles.erase(found);
  FinishDeleteIfUnused(node);
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_INVALID_HANDLE));
  return gate.True();
}
