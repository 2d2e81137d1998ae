#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Lumenbox::transport {

class HttpConnection;

// One HTTP response. A route handler may answer at once or keep the shared pointer and answer
// later from a loop task. Once the response has ended or its client has gone away (aborted),
// further writes are ignored, so a holder never needs to know which came first; `isOpen` tells.
// Use on the loop thread only.
class HttpResponse {
public:
    explicit HttpResponse(HttpConnection& connection);
    HttpResponse(const HttpResponse&) = delete;
    HttpResponse& operator=(const HttpResponse&) = delete;

    // The full status line text, for instance "404 Not Found". Only the first call counts; a
    // response ended without one is "200 OK".
    HttpResponse* writeStatus(std::string_view status);
    HttpResponse* writeHeader(std::string_view name, std::string_view value);
    // Sends the status, the headers and `body` in one piece and ends the response.
    void end(std::string_view body = {});
    // Sends `piece` now and keeps the response open, for a reply that goes out as things happen
    // (server-sent events): the first call sends the status and headers with chunked transfer
    // encoding, and `end` sends its body as the last piece. Headers written after it are dropped.
    void write(std::string_view piece);

    // The whole request body, read before the route runs, is handed to `handler` right after the
    // route handler returns, unless the response has ended by then. The handler may hold the
    // response: it is dropped once called, or when the response ends or is aborted.
    void onBody(std::function<void(std::string body)> handler);
    // Called once if the client goes away before the response has ended. Handlers add up and run
    // in the order they were given, so one holder never silently replaces another's.
    void onAborted(std::function<void()> handler);

    // Called once with the status text when the response ends, or with "aborted" when its client
    // goes away first; for the request log, so a later call replaces an earlier one.
    void onFinished(std::function<void(std::string_view status)> handler);

    bool isOpen() const { return !ended_ && !aborted_; }
    bool hasWrittenStatus() const { return !status_.empty(); }
    bool isAborted() const { return aborted_; }
    bool isStreaming() const { return streaming_; }

private:
    friend class HttpConnection;
    void deliverBody(std::string body);  // called by the connection after the handler
    void abort();                              // called by the connection when the client leaves

    HttpConnection* connection_;  // cleared once ended or aborted
    std::string status_;
    std::string headers_;  // "Name: value\r\n" lines
    std::function<void(std::string)> bodyHandler_;
    std::vector<std::function<void()>> abortHandlers_;
    std::function<void(std::string_view)> finishHandler_;
    bool ended_ = false;
    bool aborted_ = false;
    bool streaming_ = false;
};

}  // namespace Lumenbox::transport
