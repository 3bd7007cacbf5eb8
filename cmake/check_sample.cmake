# Regenerates the sample input with the generator and checks that it is the
# file the project ships.  Used as a test: cmake -DGENERATOR=... -DSHIPPED=...
# -DSCRATCH=... -P check_sample.cmake
execute_process(COMMAND ${GENERATOR} ${SCRATCH} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the generator failed: ${status}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SCRATCH} ${SHIPPED}
                RESULT_VARIABLE differs)
if(NOT differs EQUAL 0)
  message(FATAL_ERROR "${SHIPPED} is not what the generator writes")
endif()
