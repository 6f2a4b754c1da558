# The package as a user gets it: built by CPack, checked to hold exactly the
# shipped files, installed into the 64-bit plug-in folder of a fresh Wine
# prefix of its own, and the modules run from there.
set(package_zip ${CMAKE_BINARY_DIR}/${QUELMAR_PACKAGE_NAME}.zip)
set(package_prefix ${CMAKE_BINARY_DIR}/wineprefix-package)
set(plugin_folder "Program Files/Video Host/plugins64")
set(installed_host ${package_prefix}/drive_c/quelmar-tests/$<TARGET_FILE_NAME:quelmar_wintests>)

set(binaries "")
foreach(target IN LISTS QUELMAR_PACKAGE_TARGETS)
  list(APPEND binaries $<TARGET_FILE_NAME:${target}>)
endforeach()
list(JOIN binaries "," binary_list)
set(version_options --files=${binary_list} --version=${PROJECT_VERSION})

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

add_test(NAME windows_package_builds
         COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target package)
set_tests_properties(windows_package_builds PROPERTIES FIXTURES_SETUP windows_package)

add_test(NAME windows_package_installs_into_a_fresh_prefix
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install_package.sh ${CMAKE_COMMAND} ${package_zip}
                 ${package_prefix} ${plugin_folder} $<TARGET_FILE:quelmar_wintests> ${binaries} ${QUELMAR_PACKAGE_GUIDE})
set_tests_properties(windows_package_installs_into_a_fresh_prefix PROPERTIES
  FIXTURES_REQUIRED windows_package
  FIXTURES_SETUP windows_package_installed)

# The installed files through the test host, one case per test as above.
set(installed_tests "")
foreach(case cpu_module_registers cuda_module_registers
             cpu_module_carries_the_dialog_template cuda_module_carries_the_dialog_template
             cuda_module_without_driver_passes_frames_through files_carry_version_information
             quelmar_info_and_module_say_there_is_no_driver)
  add_test(NAME wine_installed_${case}
           COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${installed_host} ${case}
                   --modules=C:/${plugin_folder} ${version_options})
  list(APPEND installed_tests wine_installed_${case})
endforeach()
add_test(NAME wine_installed_cpu_module_output_matches_linux_module
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/compare_with_linux.sh
                 ${QUELMAR_LINUX_BUILD_DIR} ${CMAKE_CROSSCOMPILING_EMULATOR} ${installed_host}
                 ${CMAKE_CURRENT_BINARY_DIR}/linux-frames-installed.bin --modules=C:/${plugin_folder})
list(APPEND installed_tests wine_installed_cpu_module_output_matches_linux_module)
set_tests_properties(${installed_tests} PROPERTIES
  FIXTURES_REQUIRED windows_package_installed
  SKIP_RETURN_CODE 77
  PASS_REGULAR_EXPRESSION "(^|\n)1 passed, 0 failed")
set_tests_properties(windows_package_installs_into_a_fresh_prefix ${installed_tests} PROPERTIES
  ENVIRONMENT "WINEPREFIX=${package_prefix}"
  RESOURCE_LOCK wineprefix-package
  TIMEOUT 180)
