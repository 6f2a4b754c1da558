# Builds the kernels' device images: nvcc writes the PTX once, ptxas assembles
# it for each real architecture. Each image stays a file of its own (no
# fat-binary container); a list of them, with what each is, goes to OUTPUT for
# EmbedDeviceImages.cmake.
#
# Script mode:
#   cmake -DNVCC=... -DPTXAS=... -DTOOLKIT=12080 -DSOURCE=kernels.cu -DINCLUDE=<dir>
#         -DWORK=<dir> -DOUTPUT=<list.cmake> -DARCHS="60;70;..."
#         [-DPTX_ISA=8.7 -DPTX_TARGET=60] [-DDEFINES="QNR_HARDWARE_EXP2=1;..."]
#         -P DeviceBinary.cmake
#
# TOOLKIT is the CUDA release of the tools whose output the images are, as
# 1000 * major + 10 * minor. PTX_ISA and PTX_TARGET restate the PTX for an
# older ptxas and lower architectures than nvcc itself offers; that ptxas then
# checks that the PTX uses nothing beyond them, so a kernel that needs more
# fails the build here.

foreach(var NVCC PTXAS TOOLKIT SOURCE INCLUDE WORK OUTPUT ARCHS)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "DeviceBinary: ${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    list(JOIN ARGV " " command)
    message(FATAL_ERROR "DeviceBinary: failed (${rc}): ${command}\n${out}")
  endif()
endfunction()

# Replaces the one "<directive> <value>" line of the PTX; exactly one must exist.
function(restate ptx_var directive value)
  set(text "${${ptx_var}}")
  string(REGEX MATCHALL "\n\\${directive} [^\n]+\n" found "${text}")
  list(LENGTH found count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "DeviceBinary: expected one ${directive} line in the PTX, found ${count}")
  endif()
  string(REPLACE "${found}" "\n${directive} ${value}\n" text "${text}")
  set(${ptx_var} "${text}" PARENT_SCOPE)
endfunction()

# GPU and CPU must agree: no contraction, IEEE division and square root, no
# flush to zero, never fast math.
set(fp -fmad=false -prec-div=true -prec-sqrt=true -ftz=false)
set(defines)
foreach(d IN LISTS DEFINES)
  list(APPEND defines -D${d})
endforeach()
file(MAKE_DIRECTORY "${WORK}")
set(nvccPtx "${WORK}/kernels.nvcc.ptx")
run(${NVCC} -std=c++17 -O3 ${fp} ${defines} -ptx -arch=compute_75 -I${INCLUDE} -o ${nvccPtx} ${SOURCE})

file(READ "${nvccPtx}" ptx)
string(REGEX MATCH "\n\\.target sm_([0-9]+)" _ "${ptx}")
set(ptxTarget "${CMAKE_MATCH_1}")
if(DEFINED PTX_ISA AND NOT PTX_ISA STREQUAL "")
  restate(ptx ".version" "${PTX_ISA}")
endif()
if(DEFINED PTX_TARGET AND NOT PTX_TARGET STREQUAL "")
  restate(ptx ".target" "sm_${PTX_TARGET}")
  set(ptxTarget "${PTX_TARGET}")
endif()
if(NOT ptx MATCHES "\n\\.version ([0-9]+)\\.([0-9])\n" OR ptxTarget STREQUAL "")
  message(FATAL_ERROR "DeviceBinary: the PTX names no .version or .target")
endif()
math(EXPR ptxIsa "10 * ${CMAKE_MATCH_1} + ${CMAKE_MATCH_2}")
set(finalPtx "${WORK}/kernels.ptx")
file(WRITE "${finalPtx}" "${ptx}")

# One "kind|arch|toolkit|isa|file" entry per image, machine code first.
set(images "")
foreach(arch IN LISTS ARCHS)
  set(cubin "${WORK}/kernels.sm_${arch}.cubin")
  run(${PTXAS} -O3 --fmad=false -arch=sm_${arch} -o ${cubin} ${finalPtx})
  list(APPEND images "cubin|${arch}|${TOOLKIT}|0|${cubin}")
endforeach()
list(APPEND images "ptx|${ptxTarget}|${TOOLKIT}|${ptxIsa}|${finalPtx}")

file(WRITE "${OUTPUT}.tmp" "set(QUELMAR_IMAGES \"${images}\")\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
