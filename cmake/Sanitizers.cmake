# LUMENBOX_SANITIZE=address,undefined or thread applies to every target of the build.
if(LUMENBOX_SANITIZE)
  set(_lumenbox_san_flags -fsanitize=${LUMENBOX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_lumenbox_san_flags})
  add_link_options(${_lumenbox_san_flags})
endif()
