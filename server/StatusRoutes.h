#pragma once

#include <functional>
#include <string>
#include <vector>

#include "webviewer/WebviewerRegistry.h"

namespace Lumenbox {

namespace transport {
class HttpResponse;
}

using FileConnections = WebviewerRegistry::FileConnections;

// GET /health, GET /connectedFiles and GET /bridgeStatus. They read the registry only through
// `connections`, which lists every file with an open web viewer or agent browser in ascending
// byte order. Loop thread only.
class StatusRoutes {
public:
    explicit StatusRoutes(std::function<std::vector<FileConnections>()> connections);

    void health(transport::HttpResponse& res);
    void connectedFiles(transport::HttpResponse& res);
    void bridgeStatus(transport::HttpResponse& res);

private:
    const std::function<std::vector<FileConnections>()> connections_;
};

}  // namespace Lumenbox
