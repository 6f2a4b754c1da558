cmake_minimum_required(VERSION 3.25)
# Checks that a shipped module holds no test code: no symbol that a test
# object defines is defined in the module.
#
# A test object's own definitions are its strong global ones; what it shares
# with product code legitimately (inline functions and template instances, as
# weak or COMDAT copies) is left out. The module side is its whole symbol
# table, locals included (its hidden symbols are local once linked), and its
# export table. ELF: nm; PE: objdump (nm reports a COMDAT definition of a COFF
# object as a strong one).
#   cmake -DNM=... -DOBJDUMP=... -DMODULE=... -DTEST_OBJECTS=<file listing them> -P check_no_test_hooks.cmake
foreach(var NM OBJDUMP MODULE TEST_OBJECTS)
  if(NOT ${var})
    message(FATAL_ERROR "check_no_test_hooks: ${var} not given")
  endif()
endforeach()

function(dump out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${err}")
  endif()
  # One entry per line; a ';' in a symbol's name would split it.
  string(REPLACE ";" "\\;" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

if(MODULE MATCHES "\\.dll$")
  set(pe TRUE)
else()
  set(pe FALSE)
endif()

# COFF symbol table lines (objdump -t):
#   [  4](sec  4)(fl 0x00)(ty   20)(scl   2) (nx 1) 0x0000000000000000 name
# followed, for a section's symbol, by an AUX line that says whether the
# section is COMDAT ("comdat 2"; 0 when it is not).
set(coff_symbol "^\\[ *[0-9]+\\]\\(sec +(-?[0-9]+)\\)\\(fl [^)]*\\)\\(ty +[0-9a-f]+\\)\\(scl +([0-9]+)\\) \\(nx [0-9]+\\) 0x[0-9a-f]+ (.+)$")

# The names nm lists with one of the given type letters (a bracket
# expression's contents: "TDBR").
function(nm_names out types)
  dump(lines ${NM} ${ARGN})
  set(names)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]* +[${types}] +(.+)$")
      list(APPEND names "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# The names the module exports (out_exports) and every name it defines,
# exports included (out).
function(module_symbols out)
  set(exported)
  set(names)
  if(pe)
    dump(exports ${OBJDUMP} -p ${MODULE})
    set(export_table FALSE)
    foreach(line IN LISTS exports)
      if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
        set(export_table TRUE)
      elseif(export_table AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
        list(APPEND exported "${CMAKE_MATCH_1}")
      elseif(export_table AND line STREQUAL "")
        set(export_table FALSE)
      endif()
    endforeach()
    dump(table ${OBJDUMP} -t ${MODULE})
    foreach(line IN LISTS table)
      if(line MATCHES "${coff_symbol}" AND CMAKE_MATCH_1 GREATER 0)
        list(APPEND names "${CMAKE_MATCH_3}")
      endif()
    endforeach()
  else()
    nm_names(exported "A-Za-z" -D --defined-only ${MODULE})
    nm_names(names "A-Za-z" --defined-only ${MODULE})
  endif()
  list(APPEND names ${exported})
  set(${out} "${names}" PARENT_SCOPE)
  set(${out}_exports "${exported}" PARENT_SCOPE)
endfunction()

# The strong global definitions of one test object.
function(object_definitions object out)
  set(names)
  if(pe)
    dump(table ${OBJDUMP} -t ${object})
    set(external)
    set(comdat)
    set(section_symbol "")
    foreach(line IN LISTS table)
      if(line MATCHES "${coff_symbol}")
        set(section_symbol "")
        if(CMAKE_MATCH_1 GREATER 0 AND CMAKE_MATCH_2 EQUAL 2)
          list(APPEND external "${CMAKE_MATCH_1} ${CMAKE_MATCH_3}")
        elseif(CMAKE_MATCH_1 GREATER 0 AND CMAKE_MATCH_2 EQUAL 3)
          set(section_symbol ${CMAKE_MATCH_1})
        endif()
      elseif(section_symbol AND line MATCHES "^AUX .* comdat ([0-9]+)")
        if(NOT CMAKE_MATCH_1 EQUAL 0)
          list(APPEND comdat ${section_symbol})
        endif()
      endif()
    endforeach()
    foreach(entry IN LISTS external)
      string(REGEX MATCH "^([0-9]+) (.+)$" _ "${entry}")
      if(NOT CMAKE_MATCH_1 IN_LIST comdat)
        list(APPEND names "${CMAKE_MATCH_2}")
      endif()
    endforeach()
  else()
    # T, D, B, R: global code, data, zeroed data, read-only data; weak (W, V),
    # unique (u) and indirect (i) definitions may be shared with product code.
    nm_names(names "TDBR" -g --defined-only ${object})
  endif()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

module_symbols(module_names)

# The tables must be the ones read: the export table holds the two entry
# points and nothing else, and the full table a symbol of the module's own code.
list(SORT module_names_exports)
if(NOT module_names_exports STREQUAL "VirtualdubFilterModuleDeinit;VirtualdubFilterModuleInit2")
  message(FATAL_ERROR "${MODULE}: exports '${module_names_exports}', not exactly the two entry points")
endif()
# Every module defines the entry points, a test's own module too.
list(FILTER module_names EXCLUDE REGEX "^VirtualdubFilterModule")
list(LENGTH module_names module_count)
string(REGEX MATCH "[^;]*NRRunFilter[^;]*" own "${module_names}")
if(module_count LESS 100 OR NOT own)
  message(FATAL_ERROR "${MODULE}: no symbol table read (${module_count} symbols, none of its own code); "
                      "a stripped module cannot be checked")
endif()
foreach(name IN LISTS module_names)
  set("in_module:${name}" TRUE)
endforeach()

file(STRINGS ${TEST_OBJECTS} objects)
list(REMOVE_DUPLICATES objects)
list(LENGTH objects object_count)
if(object_count EQUAL 0)
  message(FATAL_ERROR "${TEST_OBJECTS} lists no test objects")
endif()
set(test_count 0)
set(found)
foreach(object IN LISTS objects)
  if(NOT EXISTS ${object})
    message(FATAL_ERROR "test object ${object} is not built (build everything before the tests)")
  endif()
  object_definitions(${object} names)
  list(LENGTH names n)
  math(EXPR test_count "${test_count} + ${n}")
  foreach(name IN LISTS names)
    if(DEFINED "in_module:${name}")
      list(APPEND found "${name} (from ${object})")
    endif()
  endforeach()
endforeach()
if(test_count EQUAL 0)
  message(FATAL_ERROR "no definitions read from the ${object_count} test objects of ${TEST_OBJECTS}")
endif()

if(found)
  list(JOIN found "\n  " found)
  message(FATAL_ERROR "${MODULE} holds test code, defining what test objects define:\n  ${found}")
endif()
message(STATUS "${MODULE}: ${module_count} symbols, none of the ${test_count} definitions "
               "of ${object_count} test objects")
