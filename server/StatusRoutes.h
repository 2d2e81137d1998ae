#pragma once

#include <functional>
#include <string>
#include <vector>

namespace Lumenbox {

namespace transport {
class HttpResponse;
}

// One file as the status routes see it: which of its two connections are open.
struct FileConnections {
    std::string fileName;
    bool webviewerConnected = false;
    bool agentBrowserConnected = false;
};

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
