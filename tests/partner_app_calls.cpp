// A 64-bit device puts one filter on its apps that holds the lists of both its
// ABIs and checks each call against its own architecture's: a 32-bit build's
// filter holds the 64-bit ABI's list too. That list is in the 64-bit ABI's
// numbers, which only this file sees: they clash with the 32-bit ones.
#if defined(__i386__)
#include <asm/unistd_64.h>
#elif defined(__arm__)
// What arm64's own header sets before the generic numbers it uses.
#define __BITS_PER_LONG 64
#define __ARCH_WANT_RENAMEAT
#define __ARCH_WANT_NEW_STAT
#define __ARCH_WANT_SET_GET_RLIMIT
#define __ARCH_WANT_TIME32_SYSCALLS
#define __ARCH_WANT_SYS_CLONE3
#include <asm-generic/unistd.h>
#endif
#include <linux/audit.h>

#include "tool_session.h"

CallList partnerAppCalls() {
  const std::vector<unsigned> calls = {
#if defined(__i386__)
#include "app-syscalls/x86_64.inc"
#elif defined(__arm__)
#include "app-syscalls/arm64-v8a.inc"
#endif
  };
#if defined(__i386__)
  return {AUDIT_ARCH_X86_64, calls};
#elif defined(__arm__)
  return {AUDIT_ARCH_AARCH64, calls};
#else
  return {};
#endif
}
