#include "watch/confinement.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// The filter sees every call with the numbering of the architecture it was
// made in: an x86_64 process can still make i386 calls (int $0x80) or x32
// ones (numbers with bit 30 set), whose numbers mean other calls. Only this
// build's own numbering is judged; any other ends the process.
#if defined(__x86_64__)
constexpr uint32_t kArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
constexpr uint32_t kArchitecture = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
constexpr uint32_t kArchitecture = AUDIT_ARCH_AARCH64;
#elif defined(__arm__)
constexpr uint32_t kArchitecture = AUDIT_ARCH_ARM;
#else
#error "no system-call architecture for this build"
#endif

// 32-bit ABIs map memory with mmap2; their mmap takes its arguments in
// memory, where the filter cannot see them.
#ifdef __NR_mmap2
constexpr unsigned kMapMemory = __NR_mmap2;
#else
constexpr unsigned kMapMemory = __NR_mmap;
#endif

// Allowed whatever their arguments, the walk's calls first: the filter runs
// on every call, in order. The rest: the line writer's wait on a full output,
// the C library's allocator, the SIGPIPE default action once the reader has
// gone, the return from a signal handler (the device builds' own, for calls
// Android's app filter refuses), a call restarted after a stop, and the end.
constexpr unsigned kAllowedCalls[] = {
    __NR_readlinkat,
    __NR_getdents64,
    __NR_close,
    __NR_read,
    __NR_write,
    __NR_statfs,
#ifdef __NR_statfs64
    __NR_statfs64,
#endif
    __NR_geteuid,
#ifdef __NR_geteuid32
    __NR_geteuid32,
#endif
    __NR_ppoll,
#ifdef __NR_ppoll_time64
    __NR_ppoll_time64,
#endif
    __NR_brk,
    __NR_munmap,
    __NR_mremap,
    __NR_madvise,
    __NR_rt_sigaction,
    __NR_rt_sigprocmask,
    __NR_getpid,
    __NR_gettid,
    __NR_rt_sigreturn,
#ifdef __NR_sigreturn
    __NR_sigreturn,
#endif
    __NR_restart_syscall,
    __NR_exit,
    __NR_exit_group,
};

constexpr uint32_t kEndTheProcess = SECCOMP_RET_KILL_PROCESS;

// The low half of a call's argument, which is all of it on 32-bit ABIs. On
// 64-bit ones the calls below take these arguments as int (the kernel drops
// the high half) or test PROT_EXEC in the low half.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the low half comes first");
constexpr uint32_t lowHalfOfArgument(int index) {
  return static_cast<uint32_t>(offsetof(seccomp_data, args) + index * sizeof(uint64_t));
}

sock_filter loadWord(uint32_t offset) { return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset); }
sock_filter returnWith(uint32_t action) { return BPF_STMT(BPF_RET | BPF_K, action); }
// A test that skips the next statement when the loaded argument passes.
sock_filter hasNoneOf(uint32_t bits) { return BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, bits, 0, 1); }
sock_filter isEqualTo(uint32_t value) { return BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 1, 0); }

// Other calls jump past the block with the call's number still loaded.
void allowWhen(std::vector<sock_filter> *program, unsigned call, int argument, sock_filter test) {
  program->insert(program->end(), {BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 4),
                                   loadWord(lowHalfOfArgument(argument)), test,
                                   returnWith(kEndTheProcess), returnWith(SECCOMP_RET_ALLOW)});
}

std::vector<sock_filter> readLoopFilter(pid_t self) {
  std::vector<sock_filter> program = {
      loadWord(offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArchitecture, 1, 0),
      returnWith(kEndTheProcess),
      loadWord(offsetof(seccomp_data, nr)),
  };
  // A read-only open that creates or truncates does both.
  allowWhen(&program, __NR_openat, 2, hasNoneOf(O_ACCMODE | O_CREAT | O_TRUNC));
  for (const unsigned call : kAllowedCalls) {
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1));
    program.push_back(returnWith(SECCOMP_RET_ALLOW));
  }
  allowWhen(&program, kMapMemory, 2, hasNoneOf(PROT_EXEC));
  allowWhen(&program, __NR_mprotect, 2, hasNoneOf(PROT_EXEC));
  allowWhen(&program, __NR_kill, 0, isEqualTo(static_cast<uint32_t>(self)));
  allowWhen(&program, __NR_tgkill, 0, isEqualTo(static_cast<uint32_t>(self)));
  program.push_back(returnWith(kEndTheProcess));
  return program;
}

}  // namespace

bool confineToTheReadLoop() {
  std::vector<sock_filter> program = readLoopFilter(getpid());
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}
