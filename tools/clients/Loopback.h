#pragma once

// Constants and a pure function: safe from any thread.
// Inside the clients only: where every client connects.

#include <boost/asio/ip/tcp.hpp>

namespace Lumenbox::clients {

inline boost::asio::ip::tcp::endpoint loopback(int port) {
    return {boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)};
}

}  // namespace Lumenbox::clients
