#pragma once

namespace Lumenbox::devhost {

// Blocks its caller for at most a second; safe from any thread.
// True when a Lumenbox bridge answers GET /health on 127.0.0.1:`port` within a second; false when
// nothing listens there, or something else does.
bool bridgeAnswers(int port);

}  // namespace Lumenbox::devhost
