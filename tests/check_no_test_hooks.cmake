cmake_minimum_required(VERSION 3.25)
# Checks that a shipped module holds no test code: none of the test controls'
# names (fault injection, counters, the executor's test controls) in its
# symbol tables. ELF: the symbol table and the dynamic one (nm); PE: the
# export table and the COFF symbol table where the DLL keeps one (objdump).
#   cmake -DNM=... -DOBJDUMP=... -DMODULE=... -P check_no_test_hooks.cmake
set(hooks cputest memtest testing failnth failcalls inject setdevicecount fastexps useinstructionset
          setworkerlimit)

function(dump out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${err}")
  endif()
  string(TOLOWER "${text}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(MODULE MATCHES "\\.dll$")
  dump(exports ${OBJDUMP} -p ${MODULE})
  dump(symbols ${OBJDUMP} -t ${MODULE})
else()
  dump(exports ${NM} -D --defined-only ${MODULE})
  dump(symbols ${NM} -a ${MODULE})
endif()

# The tables must be the ones read: the exported entry point, and a symbol of
# the module's own code in the full table (unless the module was stripped).
if(NOT exports MATCHES "virtualdubfiltermoduleinit2")
  message(FATAL_ERROR "${MODULE}: no export table read")
endif()
if(NOT symbols MATCHES "no symbols" AND NOT symbols MATCHES "nrrunfilter")
  message(FATAL_ERROR "${MODULE}: no symbol table read")
endif()

foreach(hook IN LISTS hooks)
  foreach(table exports symbols)
    string(REGEX MATCH "[a-z0-9_]*${hook}[a-z0-9_]*" found "${${table}}")
    if(found)
      message(FATAL_ERROR "${MODULE} holds test code: ${found} in its ${table}")
    endif()
  endforeach()
endforeach()
message(STATUS "${MODULE}: no test hooks among its exports and symbols")
