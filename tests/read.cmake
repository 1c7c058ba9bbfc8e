# Reading mail, through the library's exports.
vel_add_test(read_test
  SOURCES velmail_fixture.cc read_test.cc
  LIBS velsrv velct veltestcmc_control velplatform)
add_dependencies(read_test velmail velmsgs ${VEL_TESTCMC_MODULES})
