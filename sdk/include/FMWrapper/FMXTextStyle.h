// Written from the FileMaker plug-in SDK's documented interface, so that the plug-in builds and is tested without the SDK.
// The plug-in uses no text styles: only the file exists, so that includes resolve as with the SDK.
#ifndef FMWRAPPER_FMXTEXTSTYLE_H
#define FMWRAPPER_FMXTEXTSTYLE_H

#include "FMWrapper/FMXClient.h"

extern "C++" {
namespace fmx {
class CharacterStyle;
}
}

#endif  // FMWRAPPER_FMXTEXTSTYLE_H
