# Tests of the network provider against real servers started for the run
# (Postfix and Dovecot on loopback ports) and programmed aiosmtpd servers.
# They use the system's Python, which has aiosmtpd from its package; in CI
# (CI set) a missing server or package fails them rather than skipping.
if(TARGET velnet)
  find_program(VELNET_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT VELNET_PYTHON)
    find_package(Python3 COMPONENTS Interpreter REQUIRED)
    set(VELNET_PYTHON ${Python3_EXECUTABLE})
  endif()
  if(VEL_SANITIZE STREQUAL "address")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE VELNET_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  # name: script. NetSendEndToEnd: what is sent (the files never attached,
  # the SMTP stream, the delivered mail); NetProviderDelivery: delivery when
  # things go wrong; NetImapReading: reading against an IMAP fault server of
  # the tests' own and imap4d.
  foreach(check NetProviderEndToEnd:net_provider_check NetSendEndToEnd:net_send_check
                NetProviderDelivery:net_delivery_check NetImapReading:imap_read_check)
    string(REPLACE ":" ";" check "${check}")
    list(GET check 0 name)
    list(GET check 1 script)
    add_test(NAME ${name}
      COMMAND ${VELNET_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/net/${script}.py
              ${CMAKE_BINARY_DIR}/lib ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(${name} PROPERTIES TIMEOUT 300 SKIP_REGULAR_EXPRESSION "skipped '")
    if(VEL_SANITIZE STREQUAL "address")
      set_tests_properties(${name} PROPERTIES ENVIRONMENT
        "LD_PRELOAD=${VELNET_ASAN_RUNTIME};ASAN_OPTIONS=detect_leaks=0")
    elseif(VEL_SANITIZE STREQUAL "thread")
      # The thread sanitizer's runtime cannot be brought into a running
      # interpreter.
      set_tests_properties(${name} PROPERTIES DISABLED TRUE)
    endif()
  endforeach()
endif()

# The library over the network provider, through the host as it loads it.
if(TARGET velnet)
  vel_add_test(net_library_test
    SOURCES velmail_fixture.cc net_library_test.cc
    LIBS velsrv velct veltestcmc_control velplatform)
  target_compile_definitions(net_library_test PRIVATE
    VELNET_TEST_SCRIPTS="${CMAKE_CURRENT_SOURCE_DIR}/net" VELNET_PYTHON="${VELNET_PYTHON}")
  add_dependencies(net_library_test velmail velmsgs velnet)
endif()

# The provider's own IMAP response reader, its configuration check and its
# spool's states, without servers or root.
if(TARGET velnet_core)
  vel_add_test(net_imap_test SOURCES net_imap_test.cc LIBS velnet_core)
  vel_add_test(net_spool_test SOURCES net_spool_test.cc LIBS velnet_core)
endif()
