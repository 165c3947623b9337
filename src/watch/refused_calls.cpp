// Android runs an app's processes, and every program they start (a terminal
// app's shell and what is typed there), under a system-call filter: a call off
// the app list sends SIGSYS, whose default action ends the process. The C
// library's start-up makes two such calls (set_robust_list, rseq) and copes
// with their failure, but the signal ends the process first. So the device
// builds enter here, before that start-up, and install a handler under which
// a refused call fails with ENOSYS, as a call the kernel does not know. The
// tool's own calls are all on the list; were one refused, it would fail and
// be reported like any failing call.
//
// Nothing of the C library may run before its start-up (errno and the thread
// pointer are not set up, a static-pie binary is not yet relocated), so this
// file makes its system calls itself.

#include <errno.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>

#include <cstdint>

namespace {

// si_code of a SIGSYS sent by a system-call filter (the kernel's SYS_SECCOMP;
// the C library's headers lack it).
constexpr int kSentByTheFilter = 1;

// The kernel's own layout of a signal action, as rt_sigaction takes it.
struct KernelSignalAction {
  void (*handler)(int, siginfo_t *, void *);
  unsigned long flags;
  void (*restorer)();
  uint32_t mask[2];
};

}  // namespace

extern "C" void whotouchInstallRefusedCallHandler();

// What differs between the four ABIs: the entry, which keeps for the C
// library's _start the register the kernel set (the address of a function to
// run at exit, none for a static binary) across the call that installs the
// handler; how a system call is made; and where a call's result is returned.
// x86_64 alone needs a function that returns from a handler: its kernel has
// none of its own.
#if defined(__x86_64__)
asm(R"(
  .pushsection .text
  .globl whotouchStart
  .type whotouchStart, @function
whotouchStart:
  mov %rdx, %r12
  call whotouchInstallRefusedCallHandler
  mov %r12, %rdx
  jmp _start
  .type whotouchReturnFromHandler, @function
whotouchReturnFromHandler:
  mov $15, %eax
  syscall
  .popsection
)");
extern "C" void whotouchReturnFromHandler();
namespace {
constexpr unsigned long kRestorerFlag = 0x04000000;  // SA_RESTORER
void (*restorer())() { return whotouchReturnFromHandler; }
long systemCall(long number, long a, long b, long c, long d) {
  register long r10 asm("r10") = d;
  long result;
  asm volatile("syscall"
               : "=a"(result)
               : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
               : "rcx", "r11", "memory");
  return result;
}
void setResult(ucontext_t *context, long value) { context->uc_mcontext.gregs[REG_RAX] = value; }
}  // namespace
#elif defined(__i386__)
asm(R"(
  .pushsection .text
  .globl whotouchStart
  .type whotouchStart, @function
whotouchStart:
  mov %edx, %esi
  call whotouchInstallRefusedCallHandler
  mov %esi, %edx
  jmp _start
  .popsection
)");
namespace {
constexpr unsigned long kRestorerFlag = 0;
void (*restorer())() { return nullptr; }
long systemCall(long number, long a, long b, long c, long d) {
  long result;
  asm volatile("int $0x80" : "=a"(result) : "a"(number), "b"(a), "c"(b), "d"(c), "S"(d) : "memory");
  return result;
}
void setResult(ucontext_t *context, long value) { context->uc_mcontext.gregs[REG_EAX] = value; }
}  // namespace
#elif defined(__aarch64__)
asm(R"(
  .pushsection .text
  .globl whotouchStart
  .type whotouchStart, %function
whotouchStart:
  mov x19, x0
  bl whotouchInstallRefusedCallHandler
  mov x0, x19
  b _start
  .popsection
)");
namespace {
constexpr unsigned long kRestorerFlag = 0;
void (*restorer())() { return nullptr; }
long systemCall(long number, long a, long b, long c, long d) {
  register long x8 asm("x8") = number;
  register long x0 asm("x0") = a;
  register long x1 asm("x1") = b;
  register long x2 asm("x2") = c;
  register long x3 asm("x3") = d;
  asm volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
  return x0;
}
void setResult(ucontext_t *context, long value) {
  context->uc_mcontext.regs[0] = static_cast<unsigned long long>(value);
}
}  // namespace
#elif defined(__arm__)
// In the instruction set the rest of the file is compiled to (Thumb, as a rule).
#if defined(__thumb__)
#define WHOTOUCH_THUMB_FUNCTION ".thumb_func\n"
#else
#define WHOTOUCH_THUMB_FUNCTION ""
#endif
asm(R"(
  .pushsection .text
  .globl whotouchStart
  .type whotouchStart, %function
)" WHOTOUCH_THUMB_FUNCTION R"(
whotouchStart:
  mov r4, r0
  bl whotouchInstallRefusedCallHandler
  mov r0, r4
  b _start
  .popsection
)");
namespace {
constexpr unsigned long kRestorerFlag = 0;
void (*restorer())() { return nullptr; }
long systemCall(long number, long a, long b, long c, long d) {
  register long r7 asm("r7") = number;
  register long r0 asm("r0") = a;
  register long r1 asm("r1") = b;
  register long r2 asm("r2") = c;
  register long r3 asm("r3") = d;
  asm volatile("svc 0" : "+r"(r0) : "r"(r7), "r"(r1), "r"(r2), "r"(r3) : "memory");
  return r0;
}
void setResult(ucontext_t *context, long value) {
  context->uc_mcontext.arm_r0 = static_cast<unsigned long>(value);
}
}  // namespace
#else
#error "no entry for this architecture"
#endif

namespace {

void setAction(void (*handler)(int, siginfo_t *, void *), unsigned long flags) {
  const KernelSignalAction action{handler, flags | kRestorerFlag, restorer(), {0, 0}};
  systemCall(__NR_rt_sigaction, SIGSYS, reinterpret_cast<long>(&action), 0, sizeof action.mask);
}

// A SIGSYS sent by another process (kill -SYS) still ends the tool as it
// would without the handler.
void failRefusedCall(int, siginfo_t *info, void *context) {
  if (info->si_code == kSentByTheFilter) {
    setResult(static_cast<ucontext_t *>(context), -ENOSYS);
    return;
  }
  setAction(nullptr, 0);  // SIG_DFL
  systemCall(__NR_kill, systemCall(__NR_getpid, 0, 0, 0, 0), SIGSYS, 0, 0);
}

}  // namespace

// A SIGSYS that arrives blocked would end the process whatever its handler,
// so one left blocked by whoever started the tool is unblocked.
void whotouchInstallRefusedCallHandler() {
  setAction(failRefusedCall, SA_SIGINFO);
  const uint32_t onlySigsys[2] = {1U << (SIGSYS - 1), 0};
  systemCall(__NR_rt_sigprocmask, SIG_UNBLOCK, reinterpret_cast<long>(onlySigsys), 0,
             sizeof onlySigsys);
}
