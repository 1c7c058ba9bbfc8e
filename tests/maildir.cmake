# Tests of the maildir CMC provider.
if(TARGET velcmc)
  # The entry points, through the modules as a host loads them.
  vel_add_test(maildir_provider_test
    SOURCES maildir_session_test.cc maildir_mail_test.cc
    LIBS velcontract velplatform velcmc_store)
  add_dependencies(maildir_provider_test velcmc velcmc_mapi32 velcmc-passwd)

  # The store's parts on their own.
  vel_add_test(maildir_store_test SOURCES maildir_store_test.cc LIBS velcmc_store)
  foreach(test maildir_provider_test maildir_store_test)
    target_compile_definitions(${test} PRIVATE VELCMC_PASSWD_TOOL="$<TARGET_FILE:velcmc-passwd>"
      VEL_TEST_MAIL_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data/mail")
  endforeach()

  # The stored messages, checked by an independent parser, and the modules'
  # exports.
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME MaildirStoredMessages
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/maildir_stored_check.py
            ${CMAKE_BINARY_DIR}/lib $<TARGET_FILE:velcmc-passwd>)
  # Texts and attachment files that are hard to carry, checked the same way.
  add_test(NAME MaildirComposedMessages
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/maildir_compose_check.py
            ${CMAKE_BINARY_DIR}/lib $<TARGET_FILE:velcmc-passwd>)
  # A full disk under the mail root (a small file system the test mounts).
  add_test(NAME MaildirFullDisk
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/maildir_full_disk_check.py
            ${CMAKE_BINARY_DIR}/lib $<TARGET_FILE:velcmc-passwd>)
  set_tests_properties(MaildirFullDisk PROPERTIES SKIP_REGULAR_EXPRESSION "skipped '")
  # (libvelnet.so is checked with them.)
  add_test(NAME MaildirExports
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/maildir_exports_check.py
            ${CMAKE_BINARY_DIR}/lib)
endif()

# Python loads the provider into an interpreter built without the address
# sanitizer: its runtime has to be loaded first, and the interpreter's own
# allocations are not checked for leaks.
if(TARGET velcmc AND VEL_SANITIZE STREQUAL "address")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE VELCMC_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  set_tests_properties(MaildirStoredMessages MaildirComposedMessages MaildirFullDisk
    PROPERTIES ENVIRONMENT
    "LD_PRELOAD=${VELCMC_ASAN_RUNTIME};ASAN_OPTIONS=detect_leaks=0")
endif()

# The thread sanitizer's runtime cannot be brought into an interpreter that
# is already running; these checks of what is stored run in the other
# builds.
if(TARGET velcmc AND VEL_SANITIZE STREQUAL "thread")
  set_tests_properties(MaildirStoredMessages MaildirComposedMessages MaildirFullDisk
    MaildirExports PROPERTIES DISABLED TRUE)
endif()
