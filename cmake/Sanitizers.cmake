# LUMENBOX_SANITIZE=address,undefined or thread applies to every target of the build.
if(LUMENBOX_SANITIZE)
  set(_lumenbox_san_flags -fsanitize=${LUMENBOX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_lumenbox_san_flags})
  add_link_options(${_lumenbox_san_flags})
endif()

# LUMENBOX_FUZZ=ON (clang only) builds the libFuzzer targets of tests/fuzz. Every object is then
# instrumented for the fuzzer's coverage and checked by AddressSanitizer and UBSan; only the
# fuzz targets link the fuzzer's own main.
option(LUMENBOX_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(LUMENBOX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "LUMENBOX_FUZZ needs clang (for instance CXX=clang++-14)")
  endif()
  if(LUMENBOX_SANITIZE)
    message(FATAL_ERROR "LUMENBOX_FUZZ brings its own sanitizers; leave LUMENBOX_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
