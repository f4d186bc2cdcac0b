// Internal state of the simulated Windows, shared by its source files.
//
// One machine exists per test program (Reset empties it). The tree of files,
// the registry, the handle table and the records live here; the Win32
// functions in files.cpp, registry.cpp, processes.cpp and machine.cpp work on
// it through M().
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/winsim/sim.h"

namespace sim::detail {

// Errors the program's header does not name but Windows reports.
constexpr DWORD kErrorReadFault = 30;
constexpr DWORD kErrorInvalidName = 123;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorBadPathname = 161;
constexpr DWORD kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr DWORD kErrorNoAccess = 998;
constexpr DWORD kErrorKeyDeleted = 1018;

// Access bits beyond GENERIC_READ/GENERIC_WRITE that a hold may name.
constexpr DWORD kDeleteAccess = 0x00010000u;
constexpr DWORD kGenericAll = 0x10000000u;

// ---- names ------------------------------------------------------------------

// Windows folds only ASCII letters when it compares names; bytes above 127
// (Windows-1250 letters) compare exactly.
std::string Fold(std::string_view text);
bool SameName(std::string_view a, std::string_view b);

// ---- file system --------------------------------------------------------------

struct Node {
  std::string name;  // as created
  bool directory = false;
  DWORD attributes = 0;  // FILE_ATTRIBUTE_DIRECTORY is kept in step with `directory`
  std::string bytes;
  Node* parent = nullptr;
  char drive = 'C';
  // Deleted while some open allowed it: the name stays until the last
  // handle or hold on it goes, and nothing new may open it.
  bool deletePending = false;
  std::map<std::string, std::unique_ptr<Node>> children;  // by folded name
};

struct Drive {
  std::unique_ptr<Node> root;
  bool limited = false;
  uint64_t free = 0;
  bool shortWrites = false;  // a write that does not fit writes what fits and reports success
};

// A path after resolution against the current directory.
struct Path {
  bool valid = false;  // false: empty, a network path or no drive letter
  char drive = 0;
  std::vector<std::string> parts;  // components, "." and ".." resolved
  bool trailingSeparator = false;
  bool badCharacters = false;  // < > : " | or a control character in a component
  bool wildcards = false;      // * or ? in a component
  std::string lastRaw;         // the last component as written ("." and ".." kept)
};
Path ParsePath(std::string_view text);
std::string Text(const Path& path);  // "C:\a\b"

struct Where {
  Drive* drive = nullptr;
  Node* parent = nullptr;  // the directory that holds (or would hold) the entry
  Node* node = nullptr;    // the entry, null when missing
  DWORD missing = 0;       // ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when node is null
};
Where Locate(const Path& path);

// Completes a pending deletion once nothing holds the file open.
void FinishDeleteIfUnused(Node* node);

// ---- registry -------------------------------------------------------------------

struct RegKey {
  std::string name;
  bool deleted = false;
  std::map<std::string, std::shared_ptr<RegKey>> subkeys;  // by folded name
  std::vector<std::pair<std::string, RegValue>> values;    // in order of creation
};

// ---- handles --------------------------------------------------------------------

enum class Kind { File, Search, Key, Process, Thread };

struct Handle {
  Kind kind = Kind::File;
  int owner = 0;  // process number
  // files
  Node* node = nullptr;
  DWORD access = 0;
  DWORD share = 0;
  uint64_t position = 0;
  // registry keys
  std::shared_ptr<RegKey> key;
  HKEY root = nullptr;
  REGSAM mask = 0;
};

struct Hold {
  Node* node = nullptr;
  DWORD access = 0;
  DWORD share = 0;
};

// ---- processes ----------------------------------------------------------------------

struct Process {
  int number = 0;  // 0: no process runs (a test calling Win32 directly)
  std::string commandLine;
  std::string modulePath;
  char directoryDrive = 'C';
  std::vector<std::string> directoryParts;
  Node* image = nullptr;  // the module file, locked while the process runs
  NT_TIB tib{};
  int badHandles = 0;
};

struct Block {
  size_t size = 0;
  int owner = 0;
  uint64_t number = 0;
  bool environment = false;
};

struct Rule {
  std::string function;  // "" for a rule counting every call
  uint64_t nth = 0;
  uint64_t seen = 0;
  DWORD error = 0;
  bool always = false;
  uint64_t id = 0;
};

// An action that runs once the nth call of a function has done its work.
struct AfterRule {
  std::string function;
  uint64_t nth = 0;
  uint64_t seen = 0;
  std::function<void()> action;
};

struct Machine {
  bool initialized = false;
  std::map<char, Drive> drives;
  std::vector<Hold> holds;

  std::shared_ptr<RegKey> localMachine;
  std::shared_ptr<RegKey> currentUser;
  bool denyLocalMachine = false;
  bool denyCurrentUser = false;

  std::map<uintptr_t, Handle> handles;
  uintptr_t nextHandle = 0x100;
  DWORD nextId = 0x400;

  std::map<void*, Block> blocks;
  uint64_t nextBlock = 1;

  std::string environment;
  std::deque<int> answers;
  std::vector<Box> boxes;
  std::vector<Started> started;
  std::vector<std::string> calls;

  std::vector<Rule> rules;
  std::vector<AfterRule> afterRules;
  uint64_t nextRuleId = 1;
  uint64_t lastArmedRule = 0;
  std::string failedCall;
  size_t failedLine = SIZE_MAX;

  uint64_t now = 0;
  std::multimap<uint64_t, std::function<void()>> timers;

  Process process;
  bool running = false;
  int processCount = 0;
  Leaks lastLeaks;
  LPTOP_LEVEL_EXCEPTION_FILTER filter = nullptr;
  DWORD lastError = 0;
  bool stackCommittedAsItGrows = false;
};

Machine& M();
void ResetFileSystem();
void ResetRegistry();

// The handle behind a value when it is of this kind and belongs to the running
// process; otherwise null and the misuse is counted.
Handle* Lookup(const void* value, Kind kind);
HANDLE NewHandle(const Handle& handle);
void CountBadHandle();
Leaks CountOpen(int owner);
// Closes everything the process owns, completing pending deletions and
// freeing its memory.
void CloseEverything(int owner);

// ---- the gate every Win32 call passes ---------------------------------------------

std::string Quote(const char* text);
std::string Hex(uint64_t value);
std::string HandleText(const void* handle);
std::string KeyText(HKEY key);
std::string MemoryText(const void* memory);

// Logs the call, counts it and applies armed failures. The result is added
// to the logged line when the function returns through one of the helpers.
class Gate {
 public:
  Gate(const char* function, const std::string& arguments, bool canFail = true);
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;
  // Runs the action armed with AfterCall for this call, if any.
  ~Gate();

  bool Injected() const { return injected_; }
  // The error an injected failure reports: the armed one, else the usual one.
  DWORD InjectedError(DWORD usual) const { return error_ != 0 ? error_ : usual; }

  void Result(const std::string& text);
  // Kernel and user calls: sets the last error and notes it on the line.
  void Failure(const std::string& text, DWORD error);
  BOOL True();
  BOOL False(DWORD error);
  HANDLE Handle(HANDLE value);
  HANDLE InvalidHandle(DWORD error);
  // Registry calls return their error instead of setting the last one.
  LSTATUS Status(DWORD status);

 private:
  size_t line_;
  bool injected_ = false;
  DWORD error_ = 0;
  std::function<void()> after_;
};

}  // namespace sim::detail
