# Sending mail, through the library's exports, against scripted servers.
vel_add_test(send_test
  SOURCES velmail_fixture.cc send_test.cc
  LIBS velsrv velct veltestcmc_control velplatform)
add_dependencies(send_test velmail velmsgs ${VEL_TESTCMC_MODULES})

# Sending mail with the query answered by a PostgreSQL server of the test's
# own, compared with the SQLite backend (neither has a Windows build).
if(NOT WIN32)
  find_package(PostgreSQL REQUIRED)
  find_package(SQLite3 REQUIRED)
  vel_add_test(send_postgres_test
    SOURCES velmail_fixture.cc pg_server.cc send_postgres_test.cc
    LIBS velsrv velct veltestcmc_control velplatform PostgreSQL::PostgreSQL SQLite::SQLite3)
  add_dependencies(send_postgres_test velmail velmsgs ${VEL_TESTCMC_MODULES})
endif()
