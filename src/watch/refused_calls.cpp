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

extern "C" {
void whotouchInstallRefusedCallHandler();
long whotouchSystemCall(long number, long a, long b, long c, long d);
}

#if defined(__thumb__)
#define WHOTOUCH_FUNCTION(name) ".globl " name "; .type " name ", %function; .thumb_func; " name ":"
#else
#define WHOTOUCH_FUNCTION(name) ".globl " name "; .type " name ", %function; " name ":"
#endif

// What differs between the ABIs, in assembly: whotouchStart keeps the
// register the kernel set for the C library's _start (the address of a
// function to run at exit, none for a static binary) across the call that
// installs the handler, then goes on to _start; whotouchSystemCall moves a C
// call's arguments to where the kernel takes a system call's. Also where the
// result of an interrupted call is returned, and, for x86_64 alone, the
// function that returns from a handler: its kernel has none of its own.
#if defined(__x86_64__)
asm(".pushsection .text\n" WHOTOUCH_FUNCTION("whotouchStart")
    "mov %rdx, %r12; call whotouchInstallRefusedCallHandler; mov %r12, %rdx; jmp _start\n"
    WHOTOUCH_FUNCTION("whotouchSystemCall")
    "mov %rdi, %rax; mov %rsi, %rdi; mov %rdx, %rsi; mov %rcx, %rdx; mov %r8, %r10; syscall; ret\n"
    WHOTOUCH_FUNCTION("whotouchReturnFromHandler") "mov $15, %eax; syscall\n.popsection");
extern "C" void whotouchReturnFromHandler();
#define WHOTOUCH_RESULT(context) (context)->uc_mcontext.gregs[REG_RAX]
#define WHOTOUCH_RESTORER_FLAG 0x04000000 /* SA_RESTORER */
#define WHOTOUCH_RESTORER whotouchReturnFromHandler
#elif defined(__i386__)
asm(".pushsection .text\n" WHOTOUCH_FUNCTION("whotouchStart")
    "mov %edx, %esi; call whotouchInstallRefusedCallHandler; mov %esi, %edx; jmp _start\n"
    WHOTOUCH_FUNCTION("whotouchSystemCall")
    "push %ebx; push %esi; mov 12(%esp), %eax; mov 16(%esp), %ebx; mov 20(%esp), %ecx\n"
    "mov 24(%esp), %edx; mov 28(%esp), %esi; int $0x80; pop %esi; pop %ebx; ret\n.popsection");
#define WHOTOUCH_RESULT(context) (context)->uc_mcontext.gregs[REG_EAX]
#elif defined(__aarch64__)
asm(".pushsection .text\n" WHOTOUCH_FUNCTION("whotouchStart")
    "mov x19, x0; bl whotouchInstallRefusedCallHandler; mov x0, x19; b _start\n"
    WHOTOUCH_FUNCTION("whotouchSystemCall")
    "mov x8, x0; mov x0, x1; mov x1, x2; mov x2, x3; mov x3, x4; svc 0; ret\n.popsection");
#define WHOTOUCH_RESULT(context) (context)->uc_mcontext.regs[0]
#elif defined(__arm__)
asm(".pushsection .text\n" WHOTOUCH_FUNCTION("whotouchStart")
    "mov r4, r0; bl whotouchInstallRefusedCallHandler; mov r0, r4; b _start\n"
    WHOTOUCH_FUNCTION("whotouchSystemCall")
    "push {r7}; mov r7, r0; mov r0, r1; mov r1, r2; mov r2, r3; ldr r3, [sp, #4]; svc 0\n"
    "pop {r7}; bx lr\n.popsection");
#define WHOTOUCH_RESULT(context) (context)->uc_mcontext.arm_r0
#else
#error "no entry for this architecture"
#endif
#ifndef WHOTOUCH_RESTORER
#define WHOTOUCH_RESTORER_FLAG 0
#define WHOTOUCH_RESTORER nullptr
#endif

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

void setAction(void (*handler)(int, siginfo_t *, void *), unsigned long flags) {
  const KernelSignalAction action{
      handler, flags | WHOTOUCH_RESTORER_FLAG, WHOTOUCH_RESTORER, {0, 0}};
  whotouchSystemCall(__NR_rt_sigaction, SIGSYS, reinterpret_cast<long>(&action), 0,
                     sizeof action.mask);
}

// A SIGSYS sent by another process (kill -SYS) still ends the tool as it
// would without the handler.
void failRefusedCall(int, siginfo_t *info, void *context) {
  if (info->si_code == kSentByTheFilter) {
    WHOTOUCH_RESULT(static_cast<ucontext_t *>(context)) = -ENOSYS;
    return;
  }
  setAction(nullptr, 0);  // SIG_DFL
  whotouchSystemCall(__NR_kill, whotouchSystemCall(__NR_getpid, 0, 0, 0, 0), SIGSYS, 0, 0);
}

}  // namespace

// A SIGSYS that arrives blocked would end the process whatever its handler,
// so one left blocked by whoever started the tool is unblocked.
void whotouchInstallRefusedCallHandler() {
  setAction(failRefusedCall, SA_SIGINFO);
  const uint32_t onlySigsys[2] = {1U << (SIGSYS - 1), 0};
  whotouchSystemCall(__NR_rt_sigprocmask, SIG_UNBLOCK, reinterpret_cast<long>(onlySigsys), 0,
                     sizeof onlySigsys);
}
