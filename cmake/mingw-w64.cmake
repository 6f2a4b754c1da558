# Cross build of the Windows x64 modules with mingw-w64 (posix thread model, so
# std::mutex and std::thread work; the runtime is linked statically below).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUELMAR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUELMAR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUELMAR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUELMAR_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${QUELMAR_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump of the cross toolchain")

set(CMAKE_FIND_ROOT_PATH /usr/${QUELMAR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Nothing beside the DLL may be needed at run time: libgcc, libstdc++ and
# winpthread go into every module and program statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run under Wine, on a virtual X display.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
