# Hardening of the tool's own code: the targets whotouch and whotouch_core,
# wherever they are linked. Every build gets what Debian's own packages get
# (dpkg-buildflags): the stack protector, FORTIFY (in the optimised
# configurations alone: glibc warns without optimisation), format checks and
# RELRO; PIE is GCC's default on Debian. The device builds get more, and
# record it in the binary for scripts/check-hardening to read:
# - stack-clash probes, and automatic variables zeroed (the walk's large
#   buffers opt out, marked uninitialized where they are declared);
# - return addresses signed on arm64 (BTI would need a C library built for
#   it: the presets' displayName says which ABI lacks what, and why);
# - the binding done at start and the relocated data made read-only
#   (BIND_NOW, RELRO), and a stack that cannot be executed;
# - the compiler's switches in .GCC.command.line, plus the level the C
#   library's headers fortify at, which that record leaves out with every -D
#   (cmake/fortify-record.h). Neither names a path: the same bytes are built
#   at any path (scripts/same-bytes).
set(hardening_compile -fstack-protector-strong -Wformat -Werror=format-security)
set(hardening_definitions $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
set(hardening_link -Wl,-z,relro)
if(WHOTOUCH_DEVICE)
  list(APPEND hardening_compile -fstack-clash-protection -ftrivial-auto-var-init=zero
       -frecord-gcc-switches -include ${CMAKE_CURRENT_LIST_DIR}/fortify-record.h)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    list(APPEND hardening_compile -mbranch-protection=pac-ret)
  endif()
  list(APPEND hardening_link -Wl,-z,now -Wl,-z,noexecstack)
  # The device entry runs before the C library has set up the protector's
  # guard (read through the thread pointer on x86) or may be called (memset,
  # for zeroing): nothing of it there. Its switches differ, so are not
  # recorded.
  set_source_files_properties(src/watch/refused_calls.cpp PROPERTIES COMPILE_OPTIONS
    "-fno-stack-protector;-ftrivial-auto-var-init=uninitialized;-fno-record-gcc-switches")
endif()
foreach(target whotouch whotouch_core)
  target_compile_options(${target} PRIVATE ${hardening_compile})
  target_compile_definitions(${target} PRIVATE ${hardening_definitions})
endforeach()
target_link_options(whotouch PRIVATE ${hardening_link})
