# The options of the CPU executor's builds, shared by the executor itself
# (kernels/) and the tests' per-build twins of its code (tests/kernels/testing/).
#
# The executor runs full frames in tests: optimise it in every build. errno is
# never read, so the maths calls may be treated as pure; values are unchanged.
set(QUELMAR_EXECUTOR_OPTIONS -O2 -fno-math-errno)
# One build per instruction set, chosen at run time. GCC's generic tuning would
# split each unaligned 256-bit access in two, which every processor with AVX2
# does better whole (clang has no such tuning, nor the options).
set(QUELMAR_ISA_OPTIONS_generic)
set(QUELMAR_ISA_OPTIONS_avx2 -mavx2 -mfma)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND QUELMAR_ISA_OPTIONS_avx2 -mno-avx256-split-unaligned-load -mno-avx256-split-unaligned-store)
endif()
set(QUELMAR_ISA_OPTIONS_avx512 ${QUELMAR_ISA_OPTIONS_avx2} -mavx512f -mavx512bw -mavx512dq -mavx512vl)
if(WIN32)
  # Windows x64 stacks are 16-byte aligned and GCC does not realign them for
  # wider vectors; unaligned moves make its spills safe.
  list(APPEND QUELMAR_ISA_OPTIONS_avx2 -Wa,-muse-unaligned-vector-move)
  list(APPEND QUELMAR_ISA_OPTIONS_avx512 -Wa,-muse-unaligned-vector-move)
endif()
