# Embeds the device images DeviceBinary.cmake listed in a C++ source file: one
# array per image and the table quelmarDeviceImages (kernels/device_images.h).
#
# Script mode:  cmake -DINPUT=<list.cmake or empty> -DOUTPUT=<file.cpp> -P EmbedDeviceImages.cmake
# An empty INPUT writes the table of a build without device code (count 0).

set(_head "// Generated from the device images; do not edit.\n#include \"kernels/device_images.h\"\n\n")

if(NOT INPUT)
  # C++ has no empty arrays: one zeroed entry that the count leaves out.
  file(WRITE "${OUTPUT}.tmp"
       "${_head}extern \"C\" const QuelmarDeviceImage quelmarDeviceImages[1] = {};\n"
       "extern \"C\" const std::size_t quelmarDeviceImageCount = 0;\n")
else()
  include("${INPUT}")
  if(NOT QUELMAR_IMAGES)
    message(FATAL_ERROR "EmbedDeviceImages: ${INPUT} lists no image")
  endif()
  string(REPEAT "0x..," 16 _line)
  set(_arrays "")
  set(_rows "")
  set(_index 0)
  foreach(_entry IN LISTS QUELMAR_IMAGES)
    string(REPLACE "|" ";" _fields "${_entry}")
    list(GET _fields 0 _kind)
    list(GET _fields 1 _arch)
    list(GET _fields 2 _toolkit)
    list(GET _fields 3 _isa)
    list(GET _fields 4 _file)
    file(READ "${_file}" _hex HEX)
    string(LENGTH "${_hex}" _len)
    if(_len EQUAL 0)
      message(FATAL_ERROR "EmbedDeviceImages: ${_file} is empty")
    endif()
    math(EXPR _size "${_len} / 2")
    if(_kind STREQUAL "ptx")
      # The driver reads PTX up to its NUL, which the size leaves out.
      string(APPEND _hex "00")
      set(_kindName kQuelmarPtx)
    else()
      set(_kindName kQuelmarCubin)
    endif()
    # Sixteen bytes per line (CMake's regular expressions have no {n}).
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
    string(REGEX REPLACE "(${_line})" "\\1\n" _bytes "${_bytes}")
    # The driver reads an ELF image's headers in place: aligned, as ptxas
    # would have it in memory; 64 bytes is more than any of them needs.
    string(APPEND _arrays "alignas(64) const unsigned char kImage${_index}[] = {\n${_bytes}\n};\n")
    string(APPEND _rows "    {${_kindName}, ${_arch}, ${_toolkit}, ${_isa}, kImage${_index}, ${_size}},\n")
    math(EXPR _index "${_index} + 1")
  endforeach()
  file(WRITE "${OUTPUT}.tmp"
       "${_head}namespace {\n${_arrays}}  // namespace\n\n"
       "extern \"C\" const QuelmarDeviceImage quelmarDeviceImages[] = {\n${_rows}};\n"
       "extern \"C\" const std::size_t quelmarDeviceImageCount = ${_index};\n")
endif()

# Rewrite only on change, so that dependants are not rebuilt needlessly.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
