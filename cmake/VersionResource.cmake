# Version information for the Windows modules and programs: what Explorer's
# Properties dialog shows (product, version, description, maker, copyright).
# One line per target, anywhere after the target is created:
#   quelmar_add_version_resource(<target> DESCRIPTION "<what the file is>")
# The numbers come from project(VERSION). Outside Windows builds it does nothing.
set(QUELMAR_MAKER "Quelmar")
set(QUELMAR_COPYRIGHT "Copyright (C) 2026 ${QUELMAR_MAKER}")
set(_quelmar_version_template ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

function(quelmar_add_version_resource target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION" "")
  if(NOT WIN32)
    return()
  endif()
  if(NOT arg_DESCRIPTION OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "quelmar_add_version_resource(${target} DESCRIPTION \"...\")")
  endif()

  # Four numbers for the binary version fields; missing parts count as 0.
  set(numbers "")
  foreach(part MAJOR MINOR PATCH TWEAK)
    if("${PROJECT_VERSION_${part}}" STREQUAL "")
      list(APPEND numbers 0)
    else()
      list(APPEND numbers ${PROJECT_VERSION_${part}})
    endif()
  endforeach()
  list(JOIN numbers "," version_numbers)

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(file_type VFT_APP)
  else()
    set(file_type VFT_DLL)
  endif()
  # A quote inside a resource string is written twice.
  string(REPLACE "\"" "\"\"" description "${arg_DESCRIPTION}")

  # @...@ now; the file name ($<TARGET_FILE_NAME:...>) once the target is generated.
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${_quelmar_version_template} ${rc}.in @ONLY)
  file(GENERATE OUTPUT ${rc} INPUT ${rc}.in TARGET ${target})
  target_sources(${target} PRIVATE ${rc})
endfunction()
