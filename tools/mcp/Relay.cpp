#include "tools/mcp/Relay.h"

#include "tools/mcp/Lines.h"

namespace Lumenbox::mcpstdio {

using nlohmann::json;

namespace {

constexpr int kParseError = -32700;
constexpr int kInternalError = -32603;
// Enough of an unexpected reply to show the agent what came back.
constexpr std::size_t kQuotedReplyBytes = 300;

std::string methodOf(const json& message) {
    if (!message.is_object()) return {};
    auto it = message.find("method");
    return it != message.end() && it->is_string() ? it->get<std::string>() : std::string{};
}

json idOf(const json& message) {
    if (!message.is_object()) return nullptr;
    auto it = message.find("id");
    return it == message.end() ? json(nullptr) : *it;
}

bool isRequest(const json& message) {
    return !methodOf(message).empty() && message.contains("id");
}

// A response to one of the bridge's requests: the agent writes no answer to it either.
bool isResponse(const json& message) {
    return message.is_object() && !message.contains("method") && message.contains("id") &&
           (message.contains("result") || message.contains("error"));
}

// Notifications and responses get no answer; requests and anything malformed do.
bool expectsAnswer(const json& message) {
    return !(isResponse(message) || (!methodOf(message).empty() && !message.contains("id")));
}

std::string protocolVersionOf(const json& reply) {
    if (!reply.is_object() || !reply.contains("result") || !reply["result"].is_object()) return {};
    const auto& result = reply["result"];
    auto it = result.find("protocolVersion");
    return it != result.end() && it->is_string() ? it->get<std::string>() : std::string{};
}

std::string errorLine(const json& id, int code, const std::string& message) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}}.dump(
        -1, ' ', false, json::error_handler_t::replace);
}

std::string quoted(const ExchangeOutcome& outcome) {
    std::string text = "HTTP " + std::to_string(outcome.status);
    if (!outcome.body.empty()) text += ": " + asOneLine(outcome.body.substr(0, kQuotedReplyBytes));
    return text;
}

}  // namespace

Relay::Relay(boost::asio::io_context& context, Settings settings, WriteLine writeLine, Log log)
    : settings_(std::move(settings)),
      writeLine_(std::move(writeLine)),
      log_(std::move(log)),
      pool_(context, settings_.endpoint) {}

Relay::~Relay() {
    for (auto& [number, exchange] : exchanges_) exchange->abort();
}

void Relay::onLine(const std::string& line) {
    auto message = json::parse(line, nullptr, false);
    if (message.is_discarded()) {
        log_("a line of standard input is not JSON; answered with a parse error");
        return writeLine_(errorLine(nullptr, kParseError, "Parse error: the line is not a JSON text."));
    }
    queue_.push_back({std::move(message), line});
    pump();
}

void Relay::finish(std::function<void()> done) {
    onFinished_ = std::move(done);
    pump();
}

void Relay::pump() {
    while (!holding_ && !queue_.empty()) {
        Outgoing item = std::move(queue_.front());
        queue_.pop_front();
        send(std::move(item));
    }
    if (!onFinished_ || !exchanges_.empty() || !queue_.empty()) return;
    if (!session_.id.empty()) {
        // Everything is answered: free the bridge's session now instead of after its hour idle.
        startExchange("DELETE", {}, routeMessage(json::object(), session_, settings_.lumenboxSession).headers, {},
                      [](ExchangeOutcome) {});
        session_ = {};
        return;
    }
    auto done = std::move(onFinished_);
    onFinished_ = {};
    done();
}

void Relay::release() {
    holding_ = false;
    pump();
}

void Relay::send(Outgoing item) {
    const json& message = item.message;
    const std::string method = methodOf(message);
    const bool request = isRequest(message);
    Routing routing = routeMessage(message, session_, settings_.lumenboxSession);
    if (!routing.modern && method == "initialize") {
        initializeText_ = item.text;
        session_ = {};
        routing = routeMessage(message, session_, settings_.lumenboxSession);
    } else if (!routing.modern && session_.id.empty() && !initializeText_.empty()) {
        // The bridge was away when the agent initialized, or restarted since: begin a new session
        // for the agent, which cannot know. Its own notifications/initialized is sent with it.
        return initializeAgain(method == "notifications/initialized" ? std::nullopt : std::optional(std::move(item)));
    }
    if (method == "notifications/cancelled" && message.contains("params") && message["params"].is_object() &&
        message["params"].contains("requestId")) {
        const auto cancelled = inFlight_.find(message["params"]["requestId"].dump());
        const bool modern = cancelled != inFlight_.end() && cancelled->second.modern;
        cancel(message["params"]["requestId"]);
        // The stateless generation cancels by closing the reply, which cancel() did.
        if (modern) return;
    }

    const bool holds = !request || method == "initialize";
    holding_ = holding_ || holds;
    const std::string key = request ? idOf(message).dump() : std::string{};
    const std::string sentSession = routing.modern ? std::string{} : session_.id;
    const std::uint64_t number = nextExchange_;  // the number startExchange gives it
    if (request) inFlight_[key] = {idOf(message), number, routing.modern, false, {}};
    std::string body = item.text;
    startExchange("POST", std::move(body), routing.headers,
                  [this, key](const std::string& data) { onEvent(key, data); },
                  [this, item = std::move(item), key, sentSession, number, holds](ExchangeOutcome outcome) {
                      onEnd(item, key, sentSession, number, std::move(outcome));
                      if (holds) release();
                  });
}

std::uint64_t Relay::startExchange(std::string method, std::string body, const Headers& headers,
                                   BridgeExchange::OnEvent onEvent, std::function<void(ExchangeOutcome)> onEnd) {
    const std::uint64_t number = nextExchange_++;
    exchanges_[number] = BridgeExchange::start(pool_, std::move(method), std::move(body), headers, std::move(onEvent),
                                               [this, number, onEnd = std::move(onEnd)](ExchangeOutcome outcome) {
                                                   exchanges_.erase(number);
                                                   onEnd(std::move(outcome));
                                                   pump();
                                               });
    return number;
}

void Relay::cancel(const json& requestId) {
    auto it = inFlight_.find(requestId.dump());
    if (it == inFlight_.end()) return;
    if (auto exchange = exchanges_.find(it->second.exchange); exchange != exchanges_.end()) {
        exchange->second->abort();
        exchanges_.erase(exchange);
    }
    inFlight_.erase(it);
}

void Relay::onEvent(const std::string& key, const std::string& data) {
    auto message = json::parse(data, nullptr, false);
    if (message.is_discarded()) return log_("the bridge sent an event that is not JSON; skipped");
    if (auto it = inFlight_.find(key); !key.empty() && it != inFlight_.end() && isResponse(message) &&
                                       idOf(message).dump() == key) {
        it->second.answered = true;
        it->second.protocolVersion = protocolVersionOf(message);
    }
    writeLine_(asOneLine(data));
}

void Relay::onEnd(const Outgoing& item, const std::string& key, const std::string& sentSession, std::uint64_t number,
                  ExchangeOutcome outcome) {
    InFlight flight;
    if (auto it = inFlight_.find(key); !key.empty() && it != inFlight_.end() && it->second.exchange == number) {
        flight = std::move(it->second);
        inFlight_.erase(it);
    }
    const json& message = item.message;
    const bool answerDue = expectsAnswer(message) && !flight.answered;
    const std::string method = methodOf(message);
    if (outcome.ending == ExchangeOutcome::Ending::Unreachable) {
        noteReachable(false, outcome.error);
        if (answerDue) answerError(idOf(message), "");
        return;
    }
    noteReachable(true, {});
    if (outcome.ending == ExchangeOutcome::Ending::Lost) {
        log_("the connection to Lumenbox ended before its reply to " + (method.empty() ? "a message" : method) +
             " was whole (" + outcome.error + ")");
        if (answerDue) answerError(idOf(message), "Lumenbox closed the connection before answering.");
        return;
    }
    if (!sentSession.empty() && outcome.status == 404 && !item.retried) {
        log_("Lumenbox no longer knows the session (it has restarted, or the session ended): starting a new one");
        if (session_.id == sentSession) session_ = {};
        Outgoing again = item;
        again.retried = true;
        queue_.push_front(std::move(again));
        return;
    }
    std::string version = flight.protocolVersion;
    if (!outcome.eventStream && !outcome.body.empty()) {
        auto reply = json::parse(outcome.body, nullptr, false);
        if (reply.is_array() || (reply.is_object() && reply.contains("jsonrpc"))) {
            if (version.empty()) version = protocolVersionOf(reply);
            if (expectsAnswer(message)) writeLine_(asOneLine(outcome.body));
        } else if (answerDue) {
            answerError(idOf(message), "Lumenbox did not take the message: " + quoted(outcome));
        } else {
            log_("Lumenbox did not take a notification: " + quoted(outcome));
        }
    } else if (answerDue && outcome.status != 202) {
        // (A 202 to a request is the bridge dropping it after the agent cancelled it: no answer is due.)
        answerError(idOf(message), "Lumenbox ended its reply without an answer (HTTP " + std::to_string(outcome.status) + ").");
    }
    if (method == "initialize" && outcome.status == 200 && !outcome.sessionId.empty()) {
        session_ = {outcome.sessionId, version};
    }
}

void Relay::initializeAgain(std::optional<Outgoing> waiting) {
    holding_ = true;
    const bool hasWaiting = waiting.has_value();
    if (waiting) queue_.push_front(std::move(*waiting));
    auto initialize = json::parse(initializeText_);
    initialize["id"] = "lumenbox-mcp-initialize";
    auto version = std::make_shared<std::string>();
    startExchange(
        "POST", initialize.dump(-1, ' ', false, json::error_handler_t::replace),
        routeMessage(initialize, {}, settings_.lumenboxSession).headers,
        [version](const std::string& data) {
            if (auto reply = json::parse(data, nullptr, false); isResponse(reply)) *version = protocolVersionOf(reply);
        },
        [this, version, hasWaiting](ExchangeOutcome outcome) {
            const bool reached = outcome.ending != ExchangeOutcome::Ending::Unreachable;
            noteReachable(reached, outcome.error);
            if (outcome.ending == ExchangeOutcome::Ending::Answered && outcome.status == 200 && !outcome.sessionId.empty()) {
                if (!outcome.eventStream) *version = protocolVersionOf(json::parse(outcome.body, nullptr, false));
                session_ = {outcome.sessionId, *version};
                const json initialized = {{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}};
                startExchange("POST", initialized.dump(), routeMessage(initialized, session_, settings_.lumenboxSession).headers,
                              {}, [this](ExchangeOutcome) { release(); });
                return;
            }
            if (hasWaiting && !queue_.empty()) {
                Outgoing item = std::move(queue_.front());
                queue_.pop_front();
                if (expectsAnswer(item.message)) {
                    answerError(idOf(item.message), reached ? "Lumenbox did not start a new session: " + quoted(outcome) : "");
                }
            }
            release();
        });
}

void Relay::answerError(const json& id, const std::string& message) {
    // An empty message: the bridge could not be reached, the case the user can fix.
    writeLine_(errorLine(id, kInternalError,
                         message.empty() ? "Lumenbox is not reachable at " + settings_.url +
                                               ": is FileMaker open with the plug-in enabled?"
                                         : message));
}

void Relay::noteReachable(bool reachable, const std::string& error) {
    if (reachable == reachable_) return;
    reachable_ = reachable;
    log_(reachable ? "Lumenbox is reachable again at " + settings_.url
                   : "Lumenbox is not reachable at " + settings_.url + " (" + error + ")");
}

}  // namespace Lumenbox::mcpstdio
