#include "tools/host/DemoWebviewer.h"

#include <chrono>
#include <iostream>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "server/PluginVersion.h"

namespace Lumenbox::devhost {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {
constexpr std::chrono::milliseconds kReconnectDelay{2000};

// What the built-in script `name` answers for `envelope` ({"callback":{"fetchId":..},"data":..});
// null when the script never answers.
std::optional<nlohmann::json> runScript(const std::string& name, const nlohmann::json& envelope) {
    if (name == "Echo") return envelope.value("data", nlohmann::json());
    if (name == "LB_get_version") return std::string(kPluginVersion);
    if (name == "NeverAnswers") return std::nullopt;
    return nlohmann::json{{"error", "Unknown script: " + name}};
}
}  // namespace

struct DemoWebviewer::Connection {
    asio::io_context context;
    websocket::stream<tcp::socket> stream{context};
};

DemoWebviewer::DemoWebviewer(int port, std::string fileName)
    : port_(port), fileName_(std::move(fileName)), thread_([this] { run(); }) {}

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
            ws.write(asio::buffer(nlohmann::json{{"type", "register"}, {"fileName", fileName_}, {"role", "webviewer"}}.dump()),
                     error);
            std::cout << "demo: web viewer of \"" << fileName_ << "\" connected" << std::endl;
            while (!error && !stopping_) {
                beast::flat_buffer buffer;
                ws.read(buffer, error);
                if (error) break;
                auto message = nlohmann::json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
                if (!message.is_object()) continue;
                const std::string type = message.value("type", "");
                std::optional<nlohmann::json> reply;
                if (type == "ping") {
                    reply = nlohmann::json{{"type", "pong"}, {"id", message.value("id", "")}};
                } else if (type == "callScript" || type == "callScriptWithOption") {
                    auto envelope = nlohmann::json::parse(message.value("param", ""), nullptr, false);
                    std::string fetchId;
                    if (envelope.is_object() && envelope.contains("callback")) {
                        fetchId = envelope["callback"].value("fetchId", "");
                    }
                    if (auto result = runScript(message.value("script", ""), envelope)) {
                        reply = nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {*result, fetchId}}};
                    }
                }
                if (reply) ws.write(asio::buffer(reply->dump()), error);
            }
            std::atomic_store(&connection_, std::shared_ptr<Connection>());
            if (!stopping_) std::cout << "demo: bridge went away, reconnecting" << std::endl;
        }
        std::unique_lock lock(pauseMutex_);
        pauseEnded_.wait_for(lock, kReconnectDelay, [this] { return stopping_.load(); });
    }
}

}  // namespace Lumenbox::devhost
