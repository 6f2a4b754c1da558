# Embeds a device binary in a C source file as the array quelmarFatbin and its
# length quelmarFatbinSize (see kernels/fatbin.h).
#
# Script mode:  cmake -DINPUT=<file or empty> -DOUTPUT=<file.c> -P EmbedFatbin.cmake
# An empty INPUT writes the stand-in of a build without device code (size 0).

set(_head "/* Generated from the device binary; do not edit. */\n#include <stddef.h>\n\n")

if(NOT INPUT)
  file(WRITE "${OUTPUT}.tmp"
       "${_head}const unsigned char quelmarFatbin[1] = {0};\nconst size_t quelmarFatbinSize = 0;\n")
else()
  file(READ "${INPUT}" _hex HEX)
  string(LENGTH "${_hex}" _len)
  if(_len EQUAL 0)
    message(FATAL_ERROR "EmbedFatbin: ${INPUT} is empty")
  endif()
  # Sixteen bytes per line (CMake's regular expressions have no {n}).
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  string(REPEAT "0x..," 16 _line)
  string(REGEX REPLACE "(${_line})" "\\1\n" _bytes "${_bytes}")
  # The driver wants the image aligned; 64 bytes is more than enough.
  file(WRITE "${OUTPUT}.tmp"
       "${_head}_Alignas(64) const unsigned char quelmarFatbin[] = {\n${_bytes}\n};\n"
       "const size_t quelmarFatbinSize = sizeof quelmarFatbin;\n")
endif()

# Rewrite only on change, so that dependants are not rebuilt needlessly.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
