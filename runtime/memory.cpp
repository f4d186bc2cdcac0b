#include "runtime/memory.h"

#include "runtime/fatal_error.h"
#include "runtime/win32.h"

void* AllocateMemory(unsigned size) {
  void* block = HeapAlloc(GetProcessHeap(), 0, size);
  if (block == nullptr) {
    ReportOutOfMemory(CallerAddress(), CallerFrame());
  }
  return block;
}

void ReleaseMemory(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

#ifdef _WIN32
// Without a C runtime the compiler still expects these four to exist: it
// calls them for structure copies and clears.
extern "C" {
void* memcpy(void* target, const void* source, unsigned count) {
  unsigned char* t = static_cast<unsigned char*>(target);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  while (count--) *t++ = *s++;
  return target;
}

void* memmove(void* target, const void* source, unsigned count) {
  unsigned char* t = static_cast<unsigned char*>(target);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  if (t < s) {
    while (count--) *t++ = *s++;
  } else {
    while (count--) t[count] = s[count];
  }
  return target;
}

void* memset(void* target, int value, unsigned count) {
  unsigned char* t = static_cast<unsigned char*>(target);
  while (count--) *t++ = static_cast<unsigned char>(value);
  return target;
}

int memcmp(const void* a, const void* b, unsigned count) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  for (; count; --count, ++x, ++y) {
    if (*x != *y) return *x < *y ? -1 : 1;
  }
  return 0;
}
}
#endif
