# Sending mail, through the library's exports, against scripted servers.
vel_add_test(send_test
  SOURCES velmail_fixture.cc send_test.cc
  LIBS velsrv velct veltestcmc_control velplatform)
add_dependencies(send_test velmail velmsgs ${VEL_TESTCMC_MODULES})
