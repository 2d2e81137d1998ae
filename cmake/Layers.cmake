# The layers of the code, bottom to top. A folder may include headers of its own layer and of the
# layers below it, and its library links only the libraries of those layers, so that nothing low
# depends on what is built on top of it. sdk/, tools/ and tests/ stand aside: they use the layers
# from outside.
#
# The same file runs in script mode (cmake -P) as the build's layer check: it fails when a source
# of a layer folder includes "<folder>/..." of a layer above its own.
set(LUMENBOX_LAYERS
  "base"
  "server/transport server/json"
  "webviewer auth scripts"
  "mcp"
  "server"
  "ui"
  "plugin")
# The layer index of a source or include path, from the longest table entry it starts with, and
# that entry in <variable>_FOLDER. The host's interface (fmx/) belongs with the plug-in, tools/ sits
# above everything; other paths (system, tests) are -1.
function(lumenbox_layer_of path variable)
  if(path MATCHES "^fmx/")
    set(path "plugin/")
  endif()
  set(best -1)
  set(bestFolder "")
  set(bestLength 0)
  set(index 0)
  foreach(layer IN LISTS LUMENBOX_LAYERS)
    string(REPLACE " " ";" folders "${layer}")
    foreach(folder IN LISTS folders)
      string(LENGTH "${folder}" length)
      if(path MATCHES "^${folder}/" AND length GREATER bestLength)
        set(best ${index})
        set(bestFolder "${folder}")
        set(bestLength ${length})
      endif()
    endforeach()
    math(EXPR index "${index} + 1")
  endforeach()
  if(path MATCHES "^tools/")
    set(best 99)
    set(bestFolder tools)
  endif()
  set(${variable} ${best} PARENT_SCOPE)
  set(${variable}_FOLDER "${bestFolder}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)
  # Script mode: SOURCE_DIR, the checkout; STAMP, touched when the check passes.
  set(violations "")
  foreach(layer IN LISTS LUMENBOX_LAYERS)
    string(REPLACE " " ";" folders "${layer}")
    foreach(folder IN LISTS folders)
      file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}"
           "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp" "${SOURCE_DIR}/${folder}/*.mm")
      list(APPEND all ${sources})
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES all)
  foreach(source IN LISTS all)
    lumenbox_layer_of("${source}" from)
    file(STRINGS "${SOURCE_DIR}/${source}" includes REGEX "^[ \t]*#[ \t]*(include|import)[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" included "${line}")
      lumenbox_layer_of("${included}" to)
      if(to GREATER from)
        string(APPEND violations "\n  ${source} includes \"${included}\" (${from_FOLDER} is below ${to_FOLDER})")
      endif()
    endforeach()
  endforeach()
  if(violations)
    message(FATAL_ERROR "Includes that point up a layer (see cmake/Layers.cmake):${violations}")
  endif()
  file(TOUCH "${STAMP}")
  return()
endif()

# The library name of a layer folder: lumenbox_<last part of its path>.
function(lumenbox_library_name folder variable)
  string(REGEX REPLACE "^.*/" "" leaf "${folder}")
  set(${variable} lumenbox_${leaf} PARENT_SCOPE)
endfunction()

# lumenbox_layer_library(<folder> <variable> [LINKS <library>...]): the static library of a layer
# folder, made on first use; its name goes to <variable>, for the folder's target_sources. It links
# the given libraries, or else those of every layer below it; a library of a layer above is refused
# so the library graph only points down.
function(lumenbox_layer_library folder variable)
  cmake_parse_arguments(PARSE_ARGV 2 LAYER "" "" "LINKS")
  lumenbox_library_name(${folder} target)
  set(${variable} ${target} PARENT_SCOPE)
  if(TARGET ${target})
    return()
  endif()
  lumenbox_layer_of("${folder}/" rank)
  # The libraries of this layer (which may call each other) and of those below.
  set(below "")
  set(index 0)
  foreach(layer IN LISTS LUMENBOX_LAYERS)
    if(index LESS_EQUAL rank)
      string(REPLACE " " ";" folders "${layer}")
      foreach(other IN LISTS folders)
        lumenbox_library_name(${other} otherTarget)
        if(NOT otherTarget STREQUAL target AND NOT other STREQUAL "plugin")
          list(APPEND below ${otherTarget})
        endif()
      endforeach()
    endif()
    math(EXPR index "${index} + 1")
  endforeach()
  list(REMOVE_DUPLICATES below)
  set(links ${LAYER_LINKS})
  if(NOT LAYER_LINKS)
    set(links ${below})
  endif()
  set(layerLibraries "")
  foreach(layer IN LISTS LUMENBOX_LAYERS)
    string(REPLACE " " ";" folders "${layer}")
    foreach(other IN LISTS folders)
      lumenbox_library_name(${other} otherTarget)
      list(APPEND layerLibraries ${otherTarget})
    endforeach()
  endforeach()
  foreach(link IN LISTS links)
    if(link IN_LIST layerLibraries AND NOT link IN_LIST below)
      message(FATAL_ERROR "${folder}/ may not link ${link}: it is not in a layer below")
    endif()
  endforeach()
  add_library(${target} STATIC)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${links} nlohmann_json::nlohmann_json Threads::Threads)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  add_dependencies(${target} lumenbox_check_layers)
endfunction()

# The check runs before any layer library builds, and again whenever a source of theirs changes.
function(lumenbox_add_layer_check)
  set(patterns "")
  foreach(layer IN LISTS LUMENBOX_LAYERS)
    string(REPLACE " " ";" folders "${layer}")
    foreach(folder IN LISTS folders)
      list(APPEND patterns ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.cpp
           ${PROJECT_SOURCE_DIR}/${folder}/*.mm)
    endforeach()
  endforeach()
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${patterns})
  set(stamp ${PROJECT_BINARY_DIR}/layers.checked)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DSTAMP=${stamp} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    DEPENDS ${sources} ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    COMMENT "Checking that no include points up a layer"
    VERBATIM)
  add_custom_target(lumenbox_check_layers DEPENDS ${stamp})
endfunction()
lumenbox_add_layer_check()
