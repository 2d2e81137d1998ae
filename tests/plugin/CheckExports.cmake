# Fails unless the plug-in's dynamic symbol table defines FMExternCallProc and nothing else.
# Usage: cmake -DPLUGIN=<path> -P CheckExports.cmake
execute_process(COMMAND nm -D --defined-only ${PLUGIN}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${PLUGIN}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND exported "${name}")
endforeach()
if(NOT exported STREQUAL "FMExternCallProc")
  message(FATAL_ERROR "the plug-in exports: ${exported}")
endif()
message(STATUS "exports: ${exported}")
