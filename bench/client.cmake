# The client stand-in's fetch path against SQLite's own stepping.
find_package(SQLite3 REQUIRED)
add_executable(client_bench client_bench.cc)
target_include_directories(client_bench PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/lib)
target_link_libraries(client_bench PRIVATE benchmark::benchmark velct SQLite::SQLite3)
