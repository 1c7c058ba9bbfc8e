# The library itself: libvelmail.so. It exports DllMain, the six procedures
# and xp_srv_set_mailprofile, nothing else, and imports the srv_, ct_, cs_
# and com_ functions from the host's libraries.
# The library's code as objects, so that white-box tests of its inner parts
# (the worker) can link it too.
add_library(velmail_objs OBJECT
  library.cc
  frame/errors.cc
  frame/params.cc
  frame/startup.cc
  mapi/cmcbind.cc
  mapi/requestcopy.cc
  mapi/session.cc
  mapi/worker.cc
  send/sendmail.cc
  send/text.cc
  send/query.cc
  send/layout.cc
  send/postprocess.cc
  read/readparams.cc
  read/readcommon.cc
  read/findnextmsg.cc
  read/readmail.cc
  read/deletemail.cc)
target_include_directories(velmail_objs PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform)
target_link_libraries(velmail_objs PUBLIC velcontract)

add_library(velmail SHARED $<TARGET_OBJECTS:velmail_objs>)
target_link_libraries(velmail PRIVATE velplatform velsrv velct)
if(WIN32)
  # velmail.dll: the exports of velmail.def under their plain names (no
  # stdcall decoration), nothing from the statically linked runtimes, and
  # no import library (nobody links against it; hosts load it).
  target_sources(velmail PRIVATE ${CMAKE_SOURCE_DIR}/cmake/velmail.def)
  target_link_options(velmail PRIVATE
    -Wl,--kill-at -Wl,--exclude-libs,ALL -Wl,--no-undefined)
  set_target_properties(velmail PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/velmail.def)
else()
  target_link_options(velmail PRIVATE
    -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/velmail.map -Wl,--no-undefined)
  set_target_properties(velmail PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/velmail.map)
endif()
# Without this, inline statics of the standard library become "unique"
# symbols and the module can never be unloaded.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(velmail_objs PRIVATE -fno-gnu-unique)
endif()
