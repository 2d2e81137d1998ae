// Written from the FileMaker plug-in SDK's documented interface, so that the plug-in builds and is tested without the SDK.
// The plug-in uses no fixed-point numbers: only the file exists, so that includes resolve as with the SDK.
#ifndef FMWRAPPER_FMXFIXPT_H
#define FMWRAPPER_FMXFIXPT_H

#include "FMWrapper/FMXClient.h"

extern "C++" {
namespace fmx {
class FixPt;
}
}

#endif  // FMWRAPPER_FMXFIXPT_H
