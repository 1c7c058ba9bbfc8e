# velmail.dll carries the project's version as a version resource
# (cmake/velmail.rc.in, compiled by mingw-w64's windres).
configure_file(${CMAKE_SOURCE_DIR}/cmake/velmail.rc.in ${CMAKE_BINARY_DIR}/generated/velmail.rc @ONLY)
target_sources(velmail PRIVATE ${CMAKE_BINARY_DIR}/generated/velmail.rc)
