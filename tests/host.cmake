# Tests of the host stand-ins: the server library (libvelsrv.so) and the
# message library (libvelmsgs.so).

# Modules the tests load in place of the mail library.
add_library(host_fakelib MODULE fakelib_procs.cc)
target_link_libraries(host_fakelib PRIVATE velsrv velplatform)
add_library(host_fakelib_noattach MODULE fakelib_noattach.cc)
target_link_libraries(host_fakelib_noattach PRIVATE velsrv)
# The tests check that unloading really unmaps a module, which GCC's unique
# symbols (inline statics of the standard library) would prevent.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(host_fakelib PRIVATE -fno-gnu-unique)
endif()

set(HOST_TEST_PATHS
  HOST_FAKELIB_PATH="$<TARGET_FILE:host_fakelib>"
  HOST_NOATTACH_PATH="$<TARGET_FILE:host_fakelib_noattach>"
  HOST_VELMSGS_PATH="$<TARGET_FILE:velmsgs>"
  HOST_VELMSGS_NOROUTE_PATH="$<TARGET_FILE:velmsgs_noroute>")

# The message library is loaded by path, as a host does, so this binary
# does not link it.
vel_add_test(host_api_test
  SOURCES host_loading_test.cc host_params_test.cc host_replies_test.cc
          host_services_test.cc host_calls_test.cc
  LIBS velsrv velplatform)
target_compile_definitions(host_api_test PRIVATE ${HOST_TEST_PATHS})
add_dependencies(host_api_test host_fakelib host_fakelib_noattach velmsgs velmsgs_noroute)

vel_add_test(host_messages_test
  SOURCES host_messages_test.cc
  LIBS velsrv velmsgs)
target_compile_definitions(host_messages_test PRIVATE ${HOST_TEST_PATHS})
