# Builds the layering probe and succeeds only when it fails on its wrong-way include.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target layering_probe
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 0)
  message(FATAL_ERROR "the formula layer compiled an include of the function library")
endif()
if(NOT "${out}${err}" MATCHES "functions/function_library.h")
  message(FATAL_ERROR "the probe failed for another reason:\n${out}${err}")
endif()
message(STATUS "the wrong-way include fails to compile, as it must")
