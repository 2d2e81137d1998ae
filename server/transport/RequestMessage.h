#pragma once

// Loop thread only.
// Private to the transport: the Beast types behind HttpRequest.
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

namespace Lumenbox::transport {

struct RequestMessage {
    boost::beast::http::request<boost::beast::http::string_body> message;
    std::string_view path;   // the target before "?"
    std::string_view query;  // the target after "?", empty when none
};

}  // namespace Lumenbox::transport
