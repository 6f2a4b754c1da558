# The version information of the shipped files, read back under Wine.
set(version_options --files=Quelmar_CUDA.dll,Quelmar_CPU.dll --version=${PROJECT_VERSION})

target_sources(quelmar_wintests PRIVATE version_info_tests.cpp)
target_link_libraries(quelmar_wintests PRIVATE version)

# The files as built, beside the test host.
add_test(NAME wine_files_carry_version_information
         COMMAND quelmar_wintests files_carry_version_information ${version_options})
set_tests_properties(wine_files_carry_version_information PROPERTIES
  ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
  RESOURCE_LOCK wineprefix
  TIMEOUT 180
  PASS_REGULAR_EXPRESSION "(^|\n)1 passed, 0 failed")
