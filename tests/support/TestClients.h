#pragma once

// The shared clients of tools/clients under the tests' names, and two checks of the tests' own.
// Thread rule: as the clients'; eventually() polls on the caller's thread.

#include <functional>

#include "clients/HttpClients.h"
#include "clients/WsClients.h"

namespace Lumenbox::testing {

using namespace std::chrono_literals;
using clients::HttpClient;
using clients::HttpReply;
using clients::StalledWsClient;
using clients::WsClient;
using clients::httpGet;
using clients::httpGetAsync;
using clients::httpPost;
using clients::httpPostAsync;

// Polls `condition` until it holds or the wait is over; for effects no client can observe.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds wait = 2000ms);

// Checks a reply's status line, its JSON content type and its exact body.
void expectJsonReply(const HttpReply& reply, const std::string& statusLine, const std::string& body);

}  // namespace Lumenbox::testing
