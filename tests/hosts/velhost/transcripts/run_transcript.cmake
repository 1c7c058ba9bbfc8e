# Runs velhost on a fresh data directory and compares what it writes with
# an expected transcript.
#
#   cmake -DVELHOST=... -DWORK=... -DEXPECTED=... [-DSCRIPT=...] [-DSTDIN=...]
#         [-DARGS=a;b] -P run_transcript.cmake
#
# SCRIPT is passed as a file argument, STDIN is fed on standard input. The
# output is standard output, then standard error after a marker line. What
# changes from run to run is masked: the work directory, message ids, the
# time a message was sent and results-file names. With
# VELHOST_UPDATE_TRANSCRIPTS set in the environment the expected file is
# rewritten instead.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${VELHOST}" --init --data "${WORK}/data"
                RESULT_VARIABLE init_rc OUTPUT_QUIET ERROR_VARIABLE init_err)
if(NOT init_rc EQUAL 0)
  message(FATAL_ERROR "velhost --init failed (${init_rc}): ${init_err}")
endif()

set(command "${VELHOST}" --data "${WORK}/data" ${ARGS})
if(DEFINED SCRIPT)
  list(APPEND command "${SCRIPT}")
endif()
if(DEFINED STDIN)
  set(input INPUT_FILE "${STDIN}")
else()
  set(input INPUT_FILE /dev/null)
endif()
execute_process(COMMAND ${command} ${input} WORKING_DIRECTORY "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)

set(actual "${out}")
if(NOT err STREQUAL "")
  string(APPEND actual "--- standard error ---\n${err}")
endif()
string(APPEND actual "--- exit ${rc} ---\n")
string(REPLACE "${WORK}" "<work>" actual "${actual}")
# Only in what came back, not in the echoed statements ("> ...").
string(REGEX REPLACE "\n(@msg_id|@id) = 0x[0-9A-F]+" "\n\\1 = 0x<id>" actual "${actual}")
string(REGEX REPLACE "\n(@date_received|@date) = [0-9]+:[0-9]+:[0-9]+ [0-9]+/[0-9]+/[0-9]+"
       "\n\\1 = <time>" actual "${actual}")
# Read attachments land in a directory per session and message.
string(REGEX REPLACE "/\\.attachments/[^/\n]+/[^/\n]+/" "/.attachments/<session>/<message>/"
       actual "${actual}")
string(REGEX REPLACE "vel[0-9][0-9][0-9][0-9][0-9]\\.txt" "velNNNNN.txt" actual "${actual}")

if(DEFINED ENV{VELHOST_UPDATE_TRANSCRIPTS})
  file(WRITE "${EXPECTED}" "${actual}")
  return()
endif()
file(READ "${EXPECTED}" expected)
if(NOT actual STREQUAL expected)
  file(WRITE "${WORK}/actual.txt" "${actual}")
  execute_process(COMMAND diff -u "${EXPECTED}" "${WORK}/actual.txt" OUTPUT_VARIABLE difference)
  message(FATAL_ERROR "the transcript differs from ${EXPECTED}:\n${difference}")
endif()
