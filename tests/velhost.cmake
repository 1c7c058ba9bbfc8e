# Tests of velhost, the host program: its call syntax and output on their
# own, and scripts run end to end against the real stand-ins, the maildir
# provider and the SQLite backend, compared with expected transcripts.
if(TARGET velhost)
  vel_add_test(velhost_syntax_test
    SOURCES velhost_syntax_test.cc velhost_binding_test.cc velhost_reader_test.cc
    LIBS velhost_syntax)

  # Each transcript: tests/velhost/NAME.sql (or NAME.stdin fed on standard
  # input) with NAME.args holding extra options, and NAME.expected.
  set(dir ${CMAKE_CURRENT_SOURCE_DIR}/velhost)
  file(GLOB transcripts CONFIGURE_DEPENDS ${dir}/*.expected)
  foreach(expected ${transcripts})
    get_filename_component(name ${expected} NAME_WE)
    set(defs -DVELHOST=$<TARGET_FILE:velhost> -DEXPECTED=${expected}
             -DWORK=${CMAKE_CURRENT_BINARY_DIR}/velhost-work/${name})
    if(EXISTS ${dir}/${name}.sql)
      list(APPEND defs -DSCRIPT=${dir}/${name}.sql)
    endif()
    if(EXISTS ${dir}/${name}.stdin)
      list(APPEND defs -DSTDIN=${dir}/${name}.stdin)
    endif()
    if(EXISTS ${dir}/${name}.args)
      file(READ ${dir}/${name}.args args)
      string(STRIP "${args}" args)
      separate_arguments(args UNIX_COMMAND "${args}")
      string(REPLACE ";" "\\;" args "${args}")
      list(APPEND defs "-DARGS=${args}")
    endif()
    add_test(NAME VelhostTranscript.${name}
             COMMAND ${CMAKE_COMMAND} ${defs} -P ${dir}/run_transcript.cmake)
    set_tests_properties(VelhostTranscript.${name} PROPERTIES TIMEOUT 180
      ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")
  endforeach()
endif()

# A mail time-out in the middle of the maildir provider's work fails that
# call only: velhost runs on, several times over.
if(TARGET velhost)
  find_package(Python3 COMPONENTS Interpreter REQUIRED)
  add_test(NAME VelhostTimeoutsEndNothingElse
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/velhost_timeout_check.py
                   $<TARGET_FILE:velhost>)
  set_tests_properties(VelhostTimeoutsEndNothingElse PROPERTIES TIMEOUT 300
    ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")
endif()
