# Every dependency comes from Debian packages; nothing is downloaded at build time.
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
# Beast/Asio 1.81 are header-only. They are compiled once, in their separate-compilation mode
# (server/transport/BoostSources.cpp), so that each translation unit only sees declarations.
find_package(Boost 1.81 EXACT REQUIRED)

add_library(lumenbox_boost INTERFACE)
target_link_libraries(lumenbox_boost INTERFACE Boost::headers)
target_compile_definitions(lumenbox_boost INTERFACE
  BOOST_ASIO_SEPARATE_COMPILATION
  BOOST_BEAST_SEPARATE_COMPILATION
  BOOST_ASIO_NO_DEPRECATED
  BOOST_BEAST_USE_STD_STRING_VIEW)
