# Reading mail, through the library's exports.
vel_add_test(read_test
  SOURCES velmail_fixture.cc read_test.cc
  LIBS velsrv velct veltestcmc_control velplatform)
add_dependencies(read_test velmail velmsgs ${VEL_TESTCMC_MODULES})

# End to end on the maildir provider and the SQLite backend.
if(NOT WIN32)
  vel_add_test(read_maildir_test
    SOURCES velmail_fixture.cc read_maildir_test.cc
    LIBS velsrv velct veltestcmc_control velplatform)
  add_dependencies(read_maildir_test velmail velmsgs velcmc velcmc-passwd)
  target_compile_definitions(read_maildir_test PRIVATE
    VEL_TEST_MAIL_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data/mail")
endif()
