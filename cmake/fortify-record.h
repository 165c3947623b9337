// Included first into each of the tool's device sources: records in the
// binary, beside the compiler's switches (which leave out every -D), the
// level at which the C library's headers fortify its calls. That level is 0
// when the definition is missing or the code is not optimised.
#include <features.h>

#define WHOTOUCH_RECORD_FORTIFY_LEVEL(level)                   \
  asm(".pushsection .GCC.command.line, \"MS\", %progbits, 1\n" \
      ".asciz \"C library headers fortified at level " #level "\"\n.popsection");
#define WHOTOUCH_RECORD_FORTIFY(level) WHOTOUCH_RECORD_FORTIFY_LEVEL(level)
#ifdef __USE_FORTIFY_LEVEL
WHOTOUCH_RECORD_FORTIFY(__USE_FORTIFY_LEVEL)
#endif
