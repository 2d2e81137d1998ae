# Embeds files of resources/ in the binary as std::string_view constants, generated at build
# time: editing a page and rebuilding is enough, and no page text is ever pasted into C++ by hand.
#
#   lumenbox_embed_resource(<target> <file> <symbol>...
#                           [SPLIT_AT <marker>...])
#
# Without SPLIT_AT the whole file becomes the constant <symbol>. With SPLIT_AT, each marker must
# occur exactly once, in the order given; the text is cut at the markers (which are dropped) and
# the pieces become the constants, so there must be one more symbol than markers. The constants
# live in namespace Lumenbox::resources; declare them in a header of the code that uses them.
#
# The same file runs in script mode (cmake -P) to write one generated source.

if(CMAKE_SCRIPT_MODE_FILE)
  # Script mode: INPUT, OUTPUT, SYMBOLS (';'-separated, escaped as '|'), MARKERS (same).
  string(REPLACE "|" ";" symbols "${SYMBOLS}")
  string(REPLACE "|" ";" markers "${MARKERS}")
  file(READ "${INPUT}" content HEX)

  # Cut the hex text at every marker, checking that each occurs once, at a byte boundary, in order.
  set(pieces "")
  set(rest "${content}")
  foreach(marker IN LISTS markers)
    if(marker STREQUAL "")
      continue()
    endif()
    string(HEX "${marker}" markerHex)
    string(LENGTH "${markerHex}" markerLength)
    string(FIND "${rest}" "${markerHex}" at)
    math(EXPR parity "${at} % 2")
    if(at EQUAL -1 OR NOT parity EQUAL 0)
      message(FATAL_ERROR "${INPUT}: marker ${marker} is missing or out of order")
    endif()
    string(SUBSTRING "${rest}" 0 ${at} piece)
    list(APPEND pieces "${piece}")
    math(EXPR after "${at} + ${markerLength}")
    string(SUBSTRING "${rest}" ${after} -1 rest)
  endforeach()
  list(APPEND pieces "${rest}")
  foreach(marker IN LISTS markers)
    if(NOT marker STREQUAL "")
      string(HEX "${marker}" markerHex)
      foreach(piece IN LISTS pieces)
        string(FIND "${piece}" "${markerHex}" again)
        if(NOT again EQUAL -1)
          message(FATAL_ERROR "${INPUT}: marker ${marker} occurs more than once")
        endif()
      endforeach()
    endif()
  endforeach()

  list(LENGTH pieces pieceCount)
  list(LENGTH symbols symbolCount)
  if(NOT pieceCount EQUAL symbolCount)
    message(FATAL_ERROR "${INPUT}: ${pieceCount} pieces but ${symbolCount} symbols")
  endif()

  get_filename_component(inputName "${INPUT}" NAME)
  set(source "// Generated from ${inputName} by cmake/EmbedResources.cmake at build time; do not edit.\n")
  string(APPEND source "#include <string_view>\n\nnamespace Lumenbox::resources {\n")
  math(EXPR last "${pieceCount} - 1")
  foreach(index RANGE ${last})
    list(GET pieces ${index} hex)
    list(GET symbols ${index} symbol)
    string(LENGTH "${hex}" hexLength)
    math(EXPR size "${hexLength} / 2")
    # Twenty bytes a line, each as a character literal.
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(REPEAT "'[^']+'," 20 twentyBytes)
    string(REGEX REPLACE "(${twentyBytes})" "\\1\n    " bytes "${bytes}")
    if(size EQUAL 0)
      set(bytes "'\\\\0'")
    endif()
    string(APPEND source "\nnamespace {\nconstexpr char ${symbol}Bytes[] = {\n    ${bytes}\n};\n}  // namespace\n")
    string(APPEND source "extern const std::string_view ${symbol}{${symbol}Bytes, ${size}};\n")
  endforeach()
  string(APPEND source "\n}  // namespace Lumenbox::resources\n")
  # Rewritten only when it changes, so that an unchanged resource recompiles nothing.
  file(WRITE "${OUTPUT}.tmp" "${source}")
  file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT}.tmp")
  return()
endif()

set(LUMENBOX_EMBED_SCRIPT "${CMAKE_CURRENT_LIST_FILE}")

function(lumenbox_embed_resource target file)
  cmake_parse_arguments(PARSE_ARGV 2 EMBED "" "" "SPLIT_AT")
  set(symbols ${EMBED_UNPARSED_ARGUMENTS})
  get_filename_component(input "${file}" ABSOLUTE)
  list(GET symbols 0 first)
  set(output "${CMAKE_CURRENT_BINARY_DIR}/embedded/${first}.cpp")
  string(REPLACE ";" "|" symbolArg "${symbols}")
  string(REPLACE ";" "|" markerArg "${EMBED_SPLIT_AT}")
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" "-DINPUT=${input}" "-DOUTPUT=${output}" "-DSYMBOLS=${symbolArg}"
            "-DMARKERS=${markerArg}" -P "${LUMENBOX_EMBED_SCRIPT}"
    DEPENDS "${input}" "${LUMENBOX_EMBED_SCRIPT}"
    COMMENT "Embedding ${file}"
    VERBATIM)
  target_sources(${target} PRIVATE "${output}")
  # The rule lives in this directory; a target of its own makes it run before `target` builds,
  # wherever that target was created.
  add_custom_target(lumenbox_embed_${first} DEPENDS "${output}")
  add_dependencies(${target} lumenbox_embed_${first})
endfunction()
