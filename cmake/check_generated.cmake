# Runs a generator script and fails unless its output equals the committed
# file: the committed integers are what every platform computes with, and the
# script is how they were made.
execute_process(COMMAND ${PYTHON} ${SCRIPT} ${SCRATCH} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} failed (${status})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SHIPPED} ${SCRATCH} RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "${SHIPPED} differs from what ${SCRIPT} writes (${SCRATCH})")
endif()
