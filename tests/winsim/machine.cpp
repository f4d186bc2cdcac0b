// The machine as a whole: reset, the call log and failure injection, handles,
// the process heap, the environment block, message boxes and time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tests/winsim/internal.h"

namespace sim {
namespace detail {

namespace {

// The value GetProcessHeap hands out; HeapAlloc and HeapFree accept only it.
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x150000));

// Bytes fresh heap blocks get without HEAP_ZERO_MEMORY, so that code relying
// on zeroed memory shows up in tests.
constexpr int kFreshByte = 0xAB;

}  // namespace

Machine& M() {
  // Never destroyed: the heap blocks it tracks stay reachable to the leak
  // checker until the program ends.
  static Machine* machine = new Machine;
  // The machine is in its reset state before anything touches it.
  if (!machine->initialized) {
    machine->initialized = true;
    Reset();
  }
  return *machine;
}

std::string Fold(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Fold(a) == Fold(b);
}

// ---- call log formatting -------------------------------------------------------

std::string Quote(const char* text) {
  return text == nullptr ? "NULL" : "\"" + std::string(text) + "\"";
}

std::string Hex(uint64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

std::string HandleText(const void* handle) {
  if (handle == nullptr) return "NULL";
  if (handle == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
  return Hex(reinterpret_cast<uintptr_t>(handle));
}

std::string KeyText(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return "HKLM";
  if (key == HKEY_CURRENT_USER) return "HKCU";
  return HandleText(key);
}

std::string MemoryText(const void* memory) {
  if (memory == nullptr) return "NULL";
  auto found = M().blocks.find(const_cast<void*>(memory));
  if (found == M().blocks.end()) return Hex(reinterpret_cast<uintptr_t>(memory));
  return "#" + std::to_string(found->second.number);
}

// ---- the gate ---------------------------------------------------------------------

Gate::Gate(const char* function, const std::string& arguments, bool canFail) {
  Machine& m = M();
  line_ = m.calls.size();
  m.calls.push_back(std::string(function) + "(" + arguments + ")");
  for (Rule& rule : m.rules) {
    if (!rule.function.empty() && rule.function != function) continue;
    ++rule.seen;
    bool fires = rule.always || rule.seen == rule.nth;
    if (!fires || injected_ || !canFail) continue;
    injected_ = true;
    error_ = rule.error;
    if (rule.id == m.lastArmedRule) {
      m.failedCall = function;
      m.failedLine = line_;
    }
  }
  std::vector<Rule> live;
  for (const Rule& rule : m.rules) {
    if (rule.always || rule.seen < rule.nth) live.push_back(rule);
  }
  m.rules.swap(live);
  for (size_t i = 0; i < m.afterRules.size(); ++i) {
    AfterRule& rule = m.afterRules[i];
    if (rule.function != function || ++rule.seen != rule.nth) continue;
    after_ = std::move(rule.action);
    m.afterRules.erase(m.afterRules.begin() + static_cast<std::ptrdiff_t>(i));
    break;
  }
}

Gate::~Gate() {
  if (after_) after_();
}

void Gate::Result(const std::string& text) {
  std::string& line = M().calls[line_];
  line += " = " + text;
  if (injected_) line += " (injected)";
}

void Gate::Failure(const std::string& text, DWORD error) {
  M().lastError = error;
  Result(text + ", error " + std::to_string(error));
}

BOOL Gate::True() {
  Result("TRUE");
  return TRUE;
}

BOOL Gate::False(DWORD error) {
  Failure("FALSE", error);
  return FALSE;
}

HANDLE Gate::Handle(HANDLE value) {
  Result(HandleText(value));
  return value;
}

HANDLE Gate::InvalidHandle(DWORD error) {
  Failure("INVALID_HANDLE_VALUE", error);
  return INVALID_HANDLE_VALUE;
}

LSTATUS Gate::Status(DWORD status) {
  Result(std::to_string(status));
  return static_cast<LSTATUS>(status);
}

// ---- handles ---------------------------------------------------------------------------

HANDLE NewHandle(const Handle& handle) {
  Machine& m = M();
  uintptr_t value = m.nextHandle;
  m.nextHandle += 4;
  m.handles[value] = handle;
  return reinterpret_cast<HANDLE>(value);
}

void CountBadHandle() {
  ++M().process.badHandles;
}

Handle* Lookup(const void* value, Kind kind) {
  Machine& m = M();
  auto found = m.handles.find(reinterpret_cast<uintptr_t>(value));
  if (found == m.handles.end() || found->second.kind != kind || found->second.owner != m.process.number) {
    CountBadHandle();
    return nullptr;
  }
  return &found->second;
}

Leaks CountOpen(int owner) {
  Machine& m = M();
  Leaks leaks;
  for (const auto& [value, handle] : m.handles) {
    if (handle.owner != owner) continue;
    if (handle.kind == Kind::File) ++leaks.files;
    if (handle.kind == Kind::Search) ++leaks.searches;
    if (handle.kind == Kind::Key) ++leaks.keys;
  }
  for (const auto& [memory, block] : m.blocks) {
    if (block.owner != owner) continue;
    if (block.environment) ++leaks.environment;
    if (!block.environment) ++leaks.heapBlocks;
  }
  if (owner == m.process.number) leaks.badHandles = m.process.badHandles;
  return leaks;
}

void CloseEverything(int owner) {
  Machine& m = M();
  std::vector<Node*> files;
  for (auto it = m.handles.begin(); it != m.handles.end();) {
    if (it->second.owner != owner) {
      ++it;
      continue;
    }
    if (it->second.kind == Kind::File) files.push_back(it->second.node);
    it = m.handles.erase(it);
  }
  for (Node* node : files) FinishDeleteIfUnused(node);
  for (auto it = m.blocks.begin(); it != m.blocks.end();) {
    if (it->second.owner != owner) {
      ++it;
      continue;
    }
    std::free(it->first);
    it = m.blocks.erase(it);
  }
}

namespace {

void* NewBlock(size_t size, bool zero, bool environment) {
  Machine& m = M();
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) return nullptr;
  std::memset(memory, zero ? 0 : kFreshByte, size == 0 ? 1 : size);
  Block block;
  block.size = size;
  block.owner = m.process.number;
  block.number = m.nextBlock++;
  block.environment = environment;
  m.blocks[memory] = block;
  return memory;
}

// The block when it is outstanding, of the wanted sort and the running process's.
Block* OwnBlock(void* memory, bool environment) {
  Machine& m = M();
  auto found = m.blocks.find(memory);
  if (found == m.blocks.end() || found->second.environment != environment || found->second.owner != m.process.number) {
    return nullptr;
  }
  return &found->second;
}

void DropBlock(void* memory) {
  M().blocks.erase(memory);
  std::free(memory);
}

void AddRule(const std::string& function, uint64_t nth, DWORD error, bool always) {
  Machine& m = M();
  Rule rule;
  rule.function = function;
  rule.nth = nth;
  rule.error = error;
  rule.always = always;
  rule.id = m.nextRuleId++;
  m.rules.push_back(rule);
  m.lastArmedRule = rule.id;
  m.failedCall.clear();
  m.failedLine = SIZE_MAX;
}

}  // namespace
}  // namespace detail

using namespace detail;

// ---- control side ------------------------------------------------------------------------

void Reset() {
  Machine& m = M();
  if (m.running) throw std::logic_error("sim::Reset while a process runs");
  for (auto& [memory, block] : m.blocks) std::free(memory);
  m.blocks.clear();
  m.nextBlock = 1;
  m.handles.clear();
  m.nextHandle = 0x100;
  m.nextId = 0x400;
  m.holds.clear();
  ResetFileSystem();
  ResetRegistry();
  m.environment = std::string("\0\0", 2);
  m.answers.clear();
  m.boxes.clear();
  m.started.clear();
  m.calls.clear();
  m.rules.clear();
  m.afterRules.clear();
  m.lastArmedRule = 0;
  m.failedCall.clear();
  m.failedLine = SIZE_MAX;
  m.now = 0;
  m.timers.clear();
  m.process = Process();
  m.processCount = 0;
  m.lastLeaks = Leaks();
  m.filter = nullptr;
  m.lastError = 0;
  m.stackCommittedAsItGrows = false;
}

void SetEnvironment(const std::vector<std::string>& entries) {
  std::string block;
  for (const std::string& entry : entries) {
    block += entry;
    block += '\0';
  }
  if (entries.empty()) block += '\0';
  block += '\0';
  M().environment = block;
}

void SetEnvironmentBlock(const std::string& block) {
  if (block.size() < 2 || block[block.size() - 1] != '\0' || block[block.size() - 2] != '\0') {
    throw std::invalid_argument("an environment block ends with two zero bytes");
  }
  M().environment = block;
}

void QueueAnswers(const std::vector<int>& answers) {
  for (int answer : answers) M().answers.push_back(answer);
}

const std::vector<Box>& Boxes() {
  return M().boxes;
}

const std::vector<std::string>& Calls() {
  return M().calls;
}
size_t CallCount() {
  return M().calls.size();
}

void FailCall(const std::string& function, int nth, DWORD error) {
  AddRule(function, nth < 1 ? 1 : static_cast<uint64_t>(nth), error, false);
}

void FailAlways(const std::string& function, DWORD error) {
  AddRule(function, 0, error, true);
}

void FailNthCall(size_t k) {
  AddRule("", k, 0, false);
}

std::string FailedCall() {
  return M().failedCall;
}

std::string FailedCallLine() {
  Machine& m = M();
  return m.failedLine < m.calls.size() ? m.calls[m.failedLine] : "";
}

void AfterCall(const std::string& function, int nth, std::function<void()> action) {
  AfterRule rule;
  rule.function = function;
  rule.nth = static_cast<uint64_t>(nth);
  rule.action = std::move(action);
  M().afterRules.push_back(std::move(rule));
}

void ClearFailures() {
  Machine& m = M();
  m.rules.clear();
}

uint64_t Now() {
  return M().now;
}

void At(uint64_t milliseconds, std::function<void()> action) {
  M().timers.emplace(milliseconds, std::move(action));
}

Leaks LastProcessLeaks() {
  return M().lastLeaks;
}

Leaks CurrentLeaks() {
  return CountOpen(M().process.number);
}

}  // namespace sim

using namespace sim::detail;

// ---- kernel32: memory, environment, time, errors ------------------------------------------

HANDLE WINAPI GetProcessHeap(void) {
  Gate gate("GetProcessHeap", "", false);
  return gate.Handle(kProcessHeap);
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  Gate gate("HeapAlloc", HandleText(heap) + ", " + Hex(flags) + ", " + std::to_string(bytes));
  if (gate.Injected()) {
    gate.Failure("NULL", gate.InjectedError(ERROR_NOT_ENOUGH_MEMORY));
    return nullptr;
  }
  if (heap != kProcessHeap) {
    CountBadHandle();
    gate.Failure("NULL", ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* memory = NewBlock(bytes, (flags & HEAP_ZERO_MEMORY) != 0, false);
  if (memory == nullptr) {
    gate.Failure("NULL", ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  gate.Result(MemoryText(memory));
  return memory;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory) {
  Gate gate("HeapFree", HandleText(heap) + ", " + Hex(flags) + ", " + MemoryText(memory));
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_INVALID_PARAMETER));
  if (heap != kProcessHeap) {
    CountBadHandle();
    return gate.False(ERROR_INVALID_HANDLE);
  }
  if (memory == nullptr) return gate.True();
  if (OwnBlock(memory, false) == nullptr) {
    CountBadHandle();
    return gate.False(ERROR_INVALID_PARAMETER);
  }
  DropBlock(memory);
  return gate.True();
}

LPCH WINAPI GetEnvironmentStringsA(void) {
  Gate gate("GetEnvironmentStringsA", "");
  if (gate.Injected()) {
    gate.Failure("NULL", gate.InjectedError(ERROR_NOT_ENOUGH_MEMORY));
    return nullptr;
  }
  const std::string& environment = M().environment;
  void* block = NewBlock(environment.size(), false, true);
  if (block == nullptr) {
    gate.Failure("NULL", ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memcpy(block, environment.data(), environment.size());
  gate.Result(MemoryText(block));
  return static_cast<LPCH>(block);
}

BOOL WINAPI FreeEnvironmentStringsA(LPCH block) {
  Gate gate("FreeEnvironmentStringsA", MemoryText(block));
  if (OwnBlock(block, true) == nullptr) {
    CountBadHandle();
    return gate.False(gate.InjectedError(ERROR_INVALID_PARAMETER));
  }
  DropBlock(block);
  // An injected failure still frees the block, as a failing release does.
  if (gate.Injected()) return gate.False(gate.InjectedError(ERROR_INVALID_PARAMETER));
  return gate.True();
}

void WINAPI Sleep(DWORD milliseconds) {
  Gate gate("Sleep", std::to_string(milliseconds), false);
  Machine& m = M();
  m.now += milliseconds;
  while (!m.timers.empty() && m.timers.begin()->first <= m.now) {
    std::function<void()> action = std::move(m.timers.begin()->second);
    m.timers.erase(m.timers.begin());
    action();
  }
}

// Not logged: the program reads it after most failing calls, and logging it
// would only repeat the error already noted on the failing call's line.
DWORD WINAPI GetLastError(void) {
  return M().lastError;
}

// ---- user32 --------------------------------------------------------------------------------------

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  Gate gate("MessageBoxA", HandleText(owner) + ", " + Quote(text) + ", " + Quote(caption) + ", " + Hex(type));
  if (gate.Injected()) {
    gate.Failure("0", gate.InjectedError(ERROR_NOT_ENOUGH_MEMORY));
    return 0;
  }
  Machine& m = M();
  sim::Box box;
  box.caption = caption == nullptr ? "Error" : caption;
  box.text = text == nullptr ? "" : text;
  box.style = type;
  box.hasOwner = owner != nullptr;
  box.process = m.process.number;
  if (!m.answers.empty()) {
    box.answer = m.answers.front();
    m.answers.pop_front();
  } else {
    box.answer = (type & 0xFu) == MB_OK ? IDOK : IDNO;
  }
  m.boxes.push_back(box);
  gate.Result(std::to_string(box.answer));
  return box.answer;
}
