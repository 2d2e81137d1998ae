#include <string>

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

}  // namespace Lumenbox
