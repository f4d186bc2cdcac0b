/* Preloaded into Wine's i386 processes when they run under QEMU's user-mode
 * emulator (see enable_i386.sh); never used on a machine that runs i386 code
 * itself.
 *
 * QEMU delivers a guest page fault as SIGSEGV but leaves the trap number in
 * the signal context at -1. Wine decides the Windows exception code from that
 * number, so a write through a null pointer would reach the program as
 * EXCEPTION_ILLEGAL_INSTRUCTION instead of EXCEPTION_ACCESS_VIOLATION. This
 * library wraps the SIGSEGV handler Wine installs and puts in the number a
 * processor gives for a page fault (14) before Wine looks at it.
 *
 * Built without system headers (gcc -m32 -ffreestanding, linked with
 * ld -m elf_i386 against the i386 libc), so no 32-bit development packages
 * are needed.
 */

#define SIGSEGV 11
#define SA_SIGINFO 4
#define RTLD_NEXT ((void*)-1l)
#define REG_TRAPNO 12
#define TRAP_PAGE_FAULT 14

typedef void (*Action)(int, void*, void*);

/* glibc's struct sigaction on i386. */
struct Sigaction {
  Action handler;
  unsigned long mask[32];
  int flags;
  void (*restorer)(void);
};

/* The start of glibc's ucontext_t on i386. */
struct Context {
  unsigned long flags;
  void* link;
  void* stack[3];
  long gregs[19];
};

void* dlsym(void* handle, const char* name);

static Action wine_handler;
static struct Sigaction wine_action;
static int wrapped;

static void Wrapper(int signal, void* info, void* context) {
  struct Context* c = (struct Context*)context;
  if (c != 0 && c->gregs[REG_TRAPNO] == -1) c->gregs[REG_TRAPNO] = TRAP_PAGE_FAULT;
  wine_handler(signal, info, context);
}

int sigaction(int signal, const struct Sigaction* action, struct Sigaction* old) {
  static int (*real)(int, const struct Sigaction*, struct Sigaction*);
  if (real == 0) real = (int (*)(int, const struct Sigaction*, struct Sigaction*))dlsym(RTLD_NEXT, "sigaction");
  if (signal != SIGSEGV) return real(signal, action, old);
  struct Sigaction replacement;
  const struct Sigaction* passed = action;
  if (action != 0 && (action->flags & SA_SIGINFO) && action->handler != 0) {
    replacement = *action;
    replacement.handler = Wrapper;
    passed = &replacement;
  }
  int result = real(signal, passed, old);
  if (result == 0 && old != 0 && wrapped) *old = wine_action;
  if (result == 0 && passed == &replacement) {
    wine_handler = action->handler;
    wine_action = *action;
    wrapped = 1;
  } else if (result == 0 && action != 0) {
    wrapped = 0;
  }
  return result;
}
