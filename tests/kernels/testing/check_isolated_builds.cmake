# Fails when an instruction-set build of the executor defines global code
# outside its own namespace: such a function (an inline function or template
# the linker merges across files) could be taken from the AVX-512 build and run
# on a processor without AVX-512. Data is the same for every instruction set.
#   cmake -DNM=nm -DOBJECTS="a.o;b.o" -P check_isolated_builds.cmake
foreach(object IN LISTS OBJECTS)
  get_filename_component(name ${object} NAME)
  if(NOT name MATCHES "executor_(avx2|avx512)")
    continue()
  endif()
  set(isa ${CMAKE_MATCH_1})
  execute_process(COMMAND ${NM} -C --defined-only ${object} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REPLACE "\n" ";" symbols "${symbols}")
  foreach(line IN LISTS symbols)
    # Global code: T defined here alone, W shared with other files.
    if(NOT line MATCHES "^[0-9a-f]+ [TW] (.*)$")
      continue()
    endif()
    set(symbol "${CMAKE_MATCH_1}")
    # A function's name may follow its return type.
    if(NOT symbol MATCHES "^([^ ]+ )?(qnr|cpuexec::detail)::${isa}::")
      message(SEND_ERROR "${name}: ${symbol} lies outside the ${isa} namespace")
    endif()
  endforeach()
endforeach()
