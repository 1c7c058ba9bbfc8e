if(TARGET velhost_core)
  add_executable(velhost_bench velhost_bench.cc)
  target_link_libraries(velhost_bench PRIVATE benchmark::benchmark velhost_core)
endif()
