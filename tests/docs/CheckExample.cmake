# Runs one example controller against the real host and checks what it
# printed: the file was opened, pictures and sound arrived until
# PlayComplete, and the host exited with status 0.
#   cmake -DPROGRAM=... [-DINTERPRETER=python3] -DHOST=... -DMEDIA=... -P CheckExample.cmake
if(DEFINED INTERPRETER AND INTERPRETER STREQUAL "")
  message(FATAL_ERROR "python3 not found: the Python example is not run")
endif()
execute_process(
  COMMAND ${INTERPRETER} ${PROGRAM} ${HOST} ${MEDIA}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  TIMEOUT 50)
message("${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the example ended with status ${status}")
endif()
foreach(pattern
    "file: video 1 320x240 25 fps, duration [0-9]+ ms"
    "first picture: #0 at 0\\.000 s \\(key picture\\)"
    "played: [1-9][0-9]* video frames, [1-9][0-9]* audio frames"
    "host exit status: 0")
  if(NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "the output lacks \"${pattern}\"")
  endif()
endforeach()
