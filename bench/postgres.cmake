# The client stand-in's PostgreSQL backend against libpq and psql, on a
# server the benchmark starts itself.
find_package(PostgreSQL REQUIRED)
add_executable(postgres_bench postgres_bench.cc ${CMAKE_SOURCE_DIR}/tests/support/pg_server.cc)
target_include_directories(postgres_bench
  PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/lib ${CMAKE_SOURCE_DIR}/platform ${CMAKE_SOURCE_DIR}/tests/support)
target_compile_definitions(postgres_bench PRIVATE VEL_BUILD_LIB_DIR="${CMAKE_BINARY_DIR}/lib")
target_link_libraries(postgres_bench
  PRIVATE benchmark::benchmark velct velsrv velplatform PostgreSQL::PostgreSQL)
add_dependencies(postgres_bench velmail velmsgs velbenchcmc)
