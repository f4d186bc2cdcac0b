#include "runtime/arguments.h"

#include "runtime/memory.h"
#include "runtime/win32.h"

namespace {

int32_t g_count;
const char* g_slots[kArgumentSlots];
char g_modulePath[kModulePathBuffer + 1];

bool IsSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

void BuildArgumentTable() {
  // Slots at and beyond the count are never read; the end marker is set last.
  g_count = 0;

  // Older systems fill the whole buffer without a terminating zero when the
  // path does not fit; the path is then cut at the buffer's end.
  DWORD length = GetModuleFileNameA(nullptr, g_modulePath, kModulePathBuffer);
  if (length > kModulePathBuffer) length = kModulePathBuffer;
  g_modulePath[length] = 0;
  g_slots[0] = g_modulePath;

  const char* line = GetCommandLineA();
  if (line == nullptr) line = "";
  // Every stored token takes at most the characters it consumed from the
  // line, its terminating zero included, so one block of the line's length
  // plus one holds them all.
  char* store = static_cast<char*>(AllocateMemory(ZeroTerminatedLength(line) + 1));

  const char* p = line;
  for (;;) {
    while (IsSeparator(*p)) ++p;
    if (*p == 0) break;
    const char* start;
    const char* end;
    if (*p == '"' || *p == '\'') {
      char quote = *p++;
      start = p;
      while (*p != 0 && *p != quote) ++p;
      end = p;
    } else {
      start = p;
      while (*p != 0 && !IsSeparator(*p)) ++p;
      end = p;
    }
    if (*p != 0) ++p;  // the closing quote or the separator

    // The last slot holds the end marker; tokens that no longer fit are dropped.
    if (g_count >= static_cast<int32_t>(kArgumentSlots) - 1) continue;
    if (g_count > 0) {
      unsigned size = static_cast<unsigned>(end - start);
      CopyBytes(store, start, size);
      store[size] = 0;
      g_slots[g_count] = store;
      store += size + 1;
    }
    ++g_count;
  }
  g_slots[g_count] = nullptr;
}

int32_t ArgumentCount() {
  return g_count;
}

ShortText ProgramArgument(int32_t index) {
  if (index < 0 || index >= g_count) return MakeShortText("", 0);
  const char* slot = g_slots[index];
  return MakeShortText(slot, ZeroTerminatedLength(slot), kArgumentMax);
}
