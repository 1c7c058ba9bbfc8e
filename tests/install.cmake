# What is installed: the installed tree run from another place than where
# it was installed (install_check.py), and each program's --help and
# --version against its manual page (man_options_check.py).
if(TARGET velhost AND TARGET velnet-flush)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME InstalledTreeRunsAnywhere
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/install_check.py
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${PROJECT_VERSION} ${VEL_INSTALL_MODULEDIR})
  set_tests_properties(InstalledTreeRunsAnywhere PROPERTIES TIMEOUT 300)
  add_test(NAME ManualPagesMatchHelp
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/man_options_check.py
                   ${PROJECT_VERSION} ${CMAKE_SOURCE_DIR}/docs/man
                   $<TARGET_FILE:velhost>:velhost.1
                   $<TARGET_FILE:velcmc-passwd>:velcmc-passwd.8
                   $<TARGET_FILE:velnet-flush>:velnet-flush.8
                   $<TARGET_FILE:velnet-status>:velnet-status.8)
endif()
