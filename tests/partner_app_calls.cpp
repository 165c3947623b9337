// A 64-bit device's app filter holds its 64-bit ABI's list beside its 32-bit
// ABI's, each for the calls of its architecture. The 64-bit numbers clash with
// the 32-bit ones that the rest of a 32-bit build sees: only this file has them.
#if defined(__i386__)
#include <asm/unistd_64.h>
#define WHOTOUCH_PARTNER_ARCHITECTURE AUDIT_ARCH_X86_64
#define WHOTOUCH_PARTNER_LIST "app-syscalls/x86_64.inc"
#elif defined(__arm__)
// What arm64's own header sets before the generic numbers it takes, before
// anything else reads them.
#define __BITS_PER_LONG 64
#define __ARCH_WANT_RENAMEAT
#define __ARCH_WANT_NEW_STAT
#define __ARCH_WANT_SET_GET_RLIMIT
#include <asm-generic/unistd.h>
#define WHOTOUCH_PARTNER_ARCHITECTURE AUDIT_ARCH_AARCH64
#define WHOTOUCH_PARTNER_LIST "app-syscalls/arm64-v8a.inc"
#endif
#include <linux/audit.h>

#include "tool_session.h"

CallList partnerAppCalls() {
#ifdef WHOTOUCH_PARTNER_LIST
  std::vector<unsigned> calls = {
#include WHOTOUCH_PARTNER_LIST
  };
  return {WHOTOUCH_PARTNER_ARCHITECTURE, calls};
#else
  return {};
#endif
}
