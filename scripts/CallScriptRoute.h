#pragma once

#include <memory>

#include "scripts/ScriptCalls.h"
#include "server/transport/HttpRequest.h"
#include "server/transport/HttpResponse.h"

namespace Lumenbox {

// POST /callScript: reads {connectedFileName, scriptName, data}, runs the call and answers with
// its outcome, or forgets it when the client goes away first. Loop thread only.
void serveCallScript(ScriptCalls& calls, std::shared_ptr<transport::HttpResponse> res, transport::HttpRequest& req);

}  // namespace Lumenbox
