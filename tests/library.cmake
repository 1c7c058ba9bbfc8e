# The library driven as a host drives it, through its exports.
vel_add_test(library_test
  SOURCES velmail_fixture.cc library_startup_test.cc library_errors_test.cc
          library_session_test.cc library_params_test.cc
  LIBS velsrv velct veltestcmc_control velplatform)
add_dependencies(library_test velmail velmsgs ${VEL_TESTCMC_MODULES})

# The worker on its own, linked from the library's objects.
vel_add_test(worker_test
  SOURCES worker_test.cc $<TARGET_OBJECTS:velmail_objs>
  LIBS velsrv velct veltestcmc_control velplatform)
add_dependencies(worker_test veltestcmc)

# The error reporter and parameter readers on their own.
vel_add_test(frame_test
  SOURCES frame_test.cc $<TARGET_OBJECTS:velmail_objs>
  LIBS velsrv velct velplatform)

# What the library exports and imports.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
if(WIN32)
  add_test(NAME LibraryExports
    # The interpreter of the build machine, not a program run under wine.
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/library_pe_exports_check.py
            ${CMAKE_OBJDUMP} $<TARGET_FILE:velmail>)
else()
  add_test(NAME LibraryExports
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/library_exports_check.py
            $<TARGET_FILE:velmail>)
endif()

# The library's layers point one way: no folder includes from one above it.
add_test(NAME LibraryLayers
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/include_layers_check.py
          ${CMAKE_SOURCE_DIR})

# Across the whole tree, a module includes only what its row of the table
# in module_edges_check.py allows (providers never each other, the library
# no host, client or provider).
add_test(NAME ModuleEdges
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/module_edges_check.py
          ${CMAKE_SOURCE_DIR})

# Every C++ file is laid out as .clang-format says.
add_test(NAME FormatCheck
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/format_check.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(FormatCheck PROPERTIES SKIP_RETURN_CODE 77)
