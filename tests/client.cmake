# Tests of the client-library stand-in's connections: SQLite and scripted
# servers, through the C entry points.
find_package(SQLite3 REQUIRED)
vel_add_test(client_test
  SOURCES client_test_support.cc client_sqlite_test.cc client_script_test.cc
          client_messages_test.cc client_connection_test.cc
  LIBS velct SQLite::SQLite3)

# The PostgreSQL backend against a server of each test's own.
find_package(PostgreSQL REQUIRED)
vel_add_test(client_postgres_test
  SOURCES client_test_support.cc pg_server.cc client_postgres_test.cc
  LIBS velct SQLite::SQLite3 PostgreSQL::PostgreSQL)
