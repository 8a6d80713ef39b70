# Writes the manual page and the completion scripts the program makes from its own
# command line: cmake -DPROGRAM=... -DOUT=DIR -P generate-docs.cmake
foreach(kind man bash zsh)
  if(kind STREQUAL "man")
    set(file ${OUT}/stowbright.1)
  elseif(kind STREQUAL "bash")
    set(file ${OUT}/stowbright.bash)
  else()
    set(file ${OUT}/_stowbright)
  endif()
  execute_process(COMMAND ${PROGRAM} --generate ${kind} OUTPUT_FILE ${file}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --generate ${kind} failed: ${status}")
  endif()
endforeach()
