# Tests of the stand-ins: the client library and the test CMC providers.
vel_add_test(stubs_velct SOURCES stubs_velct_test.cc LIBS velct)

vel_add_test(stubs_testcmc
  SOURCES stubs_testcmc_store_test.cc stubs_testcmc_program_test.cc
  LIBS veltestcmc_control velplatform)
# The providers are loaded by path at run time.
add_dependencies(stubs_testcmc ${VEL_TESTCMC_MODULES})
