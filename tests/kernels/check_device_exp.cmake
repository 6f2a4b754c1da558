# Fails unless the device code computes the fast exponential as the CPU does:
# no hardware ex2 anywhere in the PTX, and each coefficient of exp2Approx's
# polynomial an operand of a round-to-nearest fused multiply-add, directly or
# through the register a move gave it.
#   cmake -DPTX=<build>/kernels/device-code/kernels.ptx -P check_device_exp.cmake
if(NOT EXISTS "${PTX}")
  message(FATAL_ERROR "no PTX at '${PTX}': build the device images first")
endif()
file(READ "${PTX}" ptx)
if(ptx MATCHES "[ \t]ex2\\.")
  message(SEND_ERROR "the PTX uses the hardware exponential (ex2)")
endif()
# 0x1.446c7ep-13f, 0x1.5f88fep-10f, 0x1.3b29e4p-7f, 0x1.c6ae2cp-5f, 0x1.ebfbe0p-3f, 0x1.62e432p-1f
foreach(c 0f3922363F 0f3AAFC47F 0f3C1D94F2 0f3D635716 0f3E75FDF0 0f3F317219)
  set(found FALSE)
  if(ptx MATCHES "fma\\.rn\\.f32[^;\n]*${c}")
    set(found TRUE)
  else()
    string(REGEX MATCHALL "mov\\.f32[ \t]+%f[0-9]+, ${c};" moves "${ptx}")
    foreach(move IN LISTS moves)
      string(REGEX MATCH "%f[0-9]+" reg "${move}")
      if(ptx MATCHES "fma\\.rn\\.f32[^;\n]*, ${reg}[,;]")
        set(found TRUE)
        break()
      endif()
    endforeach()
  endif()
  if(NOT found)
    message(SEND_ERROR "no fma.rn.f32 takes the polynomial's coefficient ${c}")
  endif()
endforeach()
# Nothing fused but what the source writes, and no flush to zero.
if(ptx MATCHES "(mad|fma)\\.(rz|rm|rp)[^ \t]*\\.f32|\\.ftz\\.f32|mad\\.f32")
  message(SEND_ERROR "the PTX has a fused or flushing float instruction the source did not write: ${CMAKE_MATCH_0}")
endif()
