# Benchmarks of the maildir CMC provider.
if(TARGET velcmc)
  add_executable(maildir_bench maildir_bench.cc)
  target_include_directories(maildir_bench PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/lib)
  target_link_libraries(maildir_bench PRIVATE benchmark::benchmark velsrv velplatform)
  target_compile_definitions(maildir_bench PRIVATE VEL_BUILD_LIB_DIR="${CMAKE_BINARY_DIR}/lib"
    VELCMC_PASSWD_TOOL="$<TARGET_FILE:velcmc-passwd>")
  add_dependencies(maildir_bench velcmc velcmc-passwd velmail velmsgs velct)
endif()
