# stb's single-file image writer and reader (Debian libstb-dev): headers only,
# compiled into the programs that use them, so nothing is added at run time.
# They are portable C, so the Windows cross build takes them from this machine too.
find_path(QUELMAR_STB_INCLUDE_DIR stb_image_write.h PATH_SUFFIXES stb NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(quelmar_stb INTERFACE)
target_include_directories(quelmar_stb SYSTEM INTERFACE ${QUELMAR_STB_INCLUDE_DIR})
