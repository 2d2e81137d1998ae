#pragma once

// Relays the agent's JSON-RPC messages, one per line of standard input, to the bridge's /mcp and
// writes every message the bridge sends back as one line. Thread rule: all of it runs on the
// thread that runs the io_context.
//
// Requests go out at once, each on a connection of its own, so that a script that runs for
// minutes (or waits for the user's approval) does not hold up a ping or a tools/list behind it;
// their answers come back in the order the bridge gives them, as JSON-RPC allows. A notification,
// an initialize and the agent's answers to the bridge hold the messages after them until the
// bridge has taken them, so that the bridge sees them in the agent's order (initialize, then
// notifications/initialized, then the rest).

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "tools/mcp/BridgeExchange.h"
#include "tools/mcp/MessageHeaders.h"

namespace Lumenbox::mcpstdio {

class Relay {
public:
    struct Settings {
        Endpoint endpoint;
        std::string url;             // as the user gave it, for messages
        std::string lumenboxSession; // sent as x-lumenbox-session; empty: none
    };
    using WriteLine = std::function<void(const std::string& line)>;
    using Log = std::function<void(const std::string& text)>;

    Relay(boost::asio::io_context& context, Settings settings, WriteLine writeLine, Log log);
    ~Relay();

    // One line of standard input.
    void onLine(const std::string& line);
    // Standard input ended: once nothing is left to send or read, ends the session-based session
    // at the bridge, then runs `done` (the caller bounds the wait).
    void finish(std::function<void()> done);

private:
    struct Outgoing {
        nlohmann::json message;
        std::string text;
        bool retried = false;  // sent again already, after the bridge had forgotten the session
    };
    struct InFlight {
        nlohmann::json id;
        std::uint64_t exchange = 0;
        bool modern = false;
        bool answered = false;
        std::string protocolVersion;  // of an initialize answered as an event stream
    };

    void pump();
    void send(Outgoing item);
    void initializeAgain(std::optional<Outgoing> waiting);
    void cancel(const nlohmann::json& requestId);
    void onEvent(const std::string& key, const std::string& data);
    void onEnd(const Outgoing& item, const std::string& key, const std::string& sentSession, std::uint64_t exchange,
               ExchangeOutcome outcome);
    std::uint64_t startExchange(std::string method, std::string body, const Headers& headers,
                                BridgeExchange::OnEvent onEvent, std::function<void(ExchangeOutcome)> onEnd);
    void exchangeEnded(std::uint64_t exchange);
    void release();
    void answerError(const nlohmann::json& id, const std::string& message);
    void noteReachable(bool reachable, const std::string& error);

    Settings settings_;
    WriteLine writeLine_;
    Log log_;
    ConnectionPool pool_;
    LegacySession session_;
    std::string initializeText_;      // the agent's initialize, sent again when the bridge forgets the session
    std::deque<Outgoing> queue_;      // messages waiting for the one that holds them
    bool holding_ = false;            // a message that the next ones wait for is on its way
    std::map<std::string, InFlight> inFlight_;  // requests sent and not answered, by the text of their id
    std::map<std::uint64_t, std::shared_ptr<BridgeExchange>> exchanges_;  // every exchange under way
    std::uint64_t nextExchange_ = 1;
    bool reachable_ = true;
    std::function<void()> onFinished_;
};

}  // namespace Lumenbox::mcpstdio
