# Fails unless the plug-in's dynamic symbol table defines FMExternCallProc and nothing else.
# Usage: cmake -DPLUGIN=<path> -P CheckExports.cmake
execute_process(COMMAND nm -D --defined-only ${PLUGIN} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
string(REGEX REPLACE "[0-9a-fA-F]* *[A-Za-z] ([^\n]+)\n" "\\1;" exported "${symbols}")
if(NOT status EQUAL 0 OR NOT exported STREQUAL "FMExternCallProc;")
  message(FATAL_ERROR "nm ${PLUGIN} (status ${status}): the plug-in exports: ${exported}")
endif()
