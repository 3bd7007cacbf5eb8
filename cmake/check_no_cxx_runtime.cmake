# Fails when the library has an undefined symbol from the C++ runtime
# (exception handling, guards, operator new/delete, typeinfo, vtables).
# Used as a test: cmake -DNM=... -DLIBRARY=... -P check_no_cxx_runtime.cmake
execute_process(COMMAND ${NM} -u ${LIBRARY} OUTPUT_VARIABLE undefined RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${status}")
endif()
string(REGEX MATCHALL "[^\n]*(__cxa_|__gxx_|_Znw|_Zna|_Zdl|_Zda|_ZTI|_ZTS|_ZTV|_Unwind_)[^\n]*"
       runtime "${undefined}")
if(runtime)
  message(FATAL_ERROR "the library needs the C++ runtime:\n${runtime}")
endif()
message(STATUS "undefined symbols of ${LIBRARY}:\n${undefined}")
