#include "tools/host/DemoWebviewer.h"

#include <chrono>
#include <iostream>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "base/Version.h"

namespace Lumenbox::devhost {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {
constexpr std::chrono::milliseconds kReconnectDelay{2000};

// A string member of `object`, or empty when it is missing or not a string.
std::string stringMember(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A script's parameter as the page hands it over. The bridge sends its envelope
// {"callback":{"fetchId":..},"data":..}; a page (the mock's FileMaker.PerformScript) may send any
// text at all. Anything that is not an envelope is the data itself: JSON as its value, any other
// text as a string.
struct ScriptParameter {
    std::string fetchId;
    nlohmann::json data;
};

// Deeper than this, a parameter is kept as text: its value would be written back out (Echo) by
// recursion, and the demo's thread must not run out of stack over a page's input.
constexpr int kMaxParameterDepth = 256;

bool nestsDeeperThan(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

ScriptParameter readParameter(const std::string& text) {
    if (nestsDeeperThan(text, kMaxParameterDepth)) return {"", text};
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return {"", text};
    auto callback = parsed.is_object() ? parsed.find("callback") : parsed.end();
    if (parsed.is_object() && callback != parsed.end() && callback->is_object()) {
        auto data = parsed.find("data");
        return {stringMember(*callback, "fetchId"), data != parsed.end() ? *data : nlohmann::json()};
    }
    return {"", parsed};
}

// What the built-in script `name` answers for `data`; null when the script never answers.
std::optional<nlohmann::json> runScript(const std::string& name, const nlohmann::json& data) {
    if (name == "Echo") return data;
    if (name == "LB_get_version") return std::string(kPluginVersion);
    if (name == "NeverAnswers") return std::nullopt;
    return nlohmann::json{{"error", "Unknown script: " + name}};
}
}  // namespace

struct DemoWebviewer::Connection {
    asio::io_context context;
    websocket::stream<tcp::socket> stream{context};
};

DemoWebviewer::DemoWebviewer(int port, std::string fileName, std::string connectorKey)
    : port_(port), fileName_(std::move(fileName)), connectorKey_(std::move(connectorKey)), thread_([this] { run(); }) {}

// One message of the bridge; the answer to send, if any. Never throws for what a message holds:
// a page can send the demo anything through an agent browser, and none of it may end the host.
std::optional<std::string> DemoWebviewer::answer(const std::string& text) const {
    try {
        auto message = nlohmann::json::parse(text, nullptr, false);
        if (!message.is_object()) return std::nullopt;
        const std::string type = stringMember(message, "type");
        std::optional<nlohmann::json> reply;
        if (type == "ping") {
            reply = nlohmann::json{{"type", "pong"}, {"id", stringMember(message, "id")}};
        } else if (type == "callScript" || type == "callScriptWithOption") {
            const auto parameter = readParameter(stringMember(message, "param"));
            if (auto result = runScript(stringMember(message, "script"), parameter.data)) {
                reply = nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {*result, parameter.fetchId}}};
            }
        } else if (type == "error") {
            std::cout << "demo: the bridge says: " << stringMember(message, "message") << std::endl;
        }
        // Text that is not UTF-8 is passed on replaced rather than refused.
        if (reply) return reply->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception& error) {
        std::cout << "demo: ignored a message it could not handle (" << error.what() << ")" << std::endl;
    }
    return std::nullopt;
}

DemoWebviewer::~DemoWebviewer() {
    {
        std::lock_guard lock(pauseMutex_);
        stopping_ = true;
    }
    pauseEnded_.notify_all();
    if (auto connection = std::atomic_load(&connection_)) {
        beast::error_code ignored;
        connection->stream.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
    }
    thread_.join();
}

void DemoWebviewer::run() {
    while (!stopping_) {
        auto connection = std::make_shared<Connection>();
        beast::error_code error;
        connection->stream.next_layer().connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)},
                                                error);
        if (!error) connection->stream.handshake("127.0.0.1:" + std::to_string(port_), "/ws", error);
        if (!error) {
            std::atomic_store(&connection_, connection);
            auto& ws = connection->stream;
            ws.text(true);
            nlohmann::json registration{{"type", "register"}, {"fileName", fileName_}, {"role", "webviewer"}};
            if (!connectorKey_.empty()) registration["key"] = connectorKey_;
            ws.write(asio::buffer(registration.dump()), error);
            std::cout << "demo: web viewer of \"" << fileName_ << "\" connected" << std::endl;
            while (!error && !stopping_) {
                beast::flat_buffer buffer;
                ws.read(buffer, error);
                if (error) break;
                if (auto reply = answer(beast::buffers_to_string(buffer.data()))) ws.write(asio::buffer(*reply), error);
            }
            std::atomic_store(&connection_, std::shared_ptr<Connection>());
            if (!stopping_) std::cout << "demo: bridge went away, reconnecting" << std::endl;
        }
        std::unique_lock lock(pauseMutex_);
        pauseEnded_.wait_for(lock, kReconnectDelay, [this] { return stopping_.load(); });
    }
}

}  // namespace Lumenbox::devhost
