// Asio and Beast are header-only libraries; with their separate-compilation mode on, their
// definitions are compiled once, here, instead of in every file that includes them.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
