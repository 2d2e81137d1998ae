#include <string>

#include "server/HttpServerImpl.h"
#include "base/Version.h"
#include "webviewer/EmbeddedPages.h"
#include "webviewer/ServedPages.h"

namespace Lumenbox {

// Neither value comes from a client (a constant and a number), so neither is escaped.
std::string generateConfigHtml(int port) {
    std::string page(resources::kConfigPageHead);
    page += kPluginVersion;
    page += resources::kConfigPageMiddle;
    page += std::to_string(port);
    page += resources::kConfigPageTail;
    return page;
}

// Reads nothing from the request and needs no session. The page names the port the bridge
// actually listens on, which is the fixed bridge port in the plug-in.
void HttpServer::Impl::handleConfigPage(transport::HttpResponse& res) {
    writePageHead(res, "text/html; charset=utf-8").end(generateConfigHtml(listenPort_.load()));
}

}  // namespace Lumenbox
