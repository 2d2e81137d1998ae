#include "plugin/PluginHarness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fmx/StandInHost.h"
#include "plugin/PluginLifecycle.h"
#include "support/TestClients.h"

namespace Lumenbox::testing {

namespace {
std::size_t entriesIn(const std::filesystem::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}
}  // namespace

PluginEnvironment::PluginEnvironment()
    : homeEnv_("HOME", home_.path().string()),
      configEnv_("XDG_CONFIG_HOME", (home_.path() / "config").string()),
      logEnv_("LUMENBOX_PLUGIN_LOG_PATH", (home_.path() / "plugin.log").string()) {
    fmx::standin::clearFaults();
}

PluginEnvironment::~PluginEnvironment() {
    fmx::standin::clearFaults();
    fmx::standin::setScriptHandler({});
}

std::string PluginEnvironment::logText() const {
    return readFile(home_.path() / "plugin.log");
}

bool PortBlocker::bind() {
    release();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kBridgePort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        release();
        return false;
    }
    return true;
}

void PortBlocker::release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

std::optional<nlohmann::json> bridgeHealth() {
    try {
        auto reply = httpGet(kBridgePort, "/health");
        if (reply.status != 200) return std::nullopt;
        return reply.json();
    } catch (const std::exception&) {
        return std::nullopt;  // refused: nothing listens
    }
}

InProcessHost::InProcessHost() : call_(fmx::standin::makeExternCall()) {}

fmx::intptr InProcessHost::send(fmx::uchar message, fmx::uchar parameter1) {
    call_.message = message;
    call_.parameter1 = parameter1;
    call_.result = 0;
    handleExternCall(&call_);
    return call_.result;
}

std::size_t threadCount() {
    return entriesIn("/proc/self/task");
}

std::size_t openDescriptorCount() {
    // The iterator's own descriptor is open while counting, every time alike.
    return entriesIn("/proc/self/fd");
}

}  // namespace Lumenbox::testing
