# The network provider's benchmarks run against Postfix and Dovecot started
# for the run, so they are a script (bench/net_bench.py) rather than a
# Google Benchmark program; this target runs it on 1,000 messages.
if(TARGET velnet)
  find_program(VELNET_BENCH_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  add_custom_target(net_bench
    COMMAND ${VELNET_BENCH_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/net_bench.py
            ${CMAKE_BINARY_DIR}/lib ${CMAKE_BINARY_DIR}/bin 1000
    DEPENDS velnet velcmc velcmc-passwd
    USES_TERMINAL)
endif()
