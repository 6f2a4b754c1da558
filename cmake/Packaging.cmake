# The Windows package, <project>-<version>-win64.zip: both modules, the GPU
# check program once the build has it, and the user guide, in one folder and
# nothing else (no import libraries, no test programs).
#   cmake --build build-windows --target package
# Included once every product folder is added, so that a quelmar-info target
# defined there is seen.
if(NOT WIN32)
  return()
endif()

set(QUELMAR_PACKAGE_TARGETS Quelmar_CUDA Quelmar_CPU)
if(TARGET quelmar-info)
  list(APPEND QUELMAR_PACKAGE_TARGETS quelmar-info)
endif()
set(QUELMAR_PACKAGE_GUIDE README.txt)
set(QUELMAR_PACKAGE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)

install(TARGETS ${QUELMAR_PACKAGE_TARGETS} RUNTIME DESTINATION .)
# Windows line endings, so that every Notepad shows the guide as written.
configure_file(${PROJECT_SOURCE_DIR}/packaging/README.txt
               ${CMAKE_BINARY_DIR}/packaging/${QUELMAR_PACKAGE_GUIDE} @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/packaging/${QUELMAR_PACKAGE_GUIDE} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR ${QUELMAR_MAKER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${QUELMAR_PACKAGE_NAME})
include(CPack)
