// Written from the FileMaker plug-in SDK's documented interface, so that the plug-in builds and is tested without the SDK.
// The plug-in uses no dates or times: only the file exists, so that includes resolve as with the SDK.
#ifndef FMWRAPPER_FMXDATETIME_H
#define FMWRAPPER_FMXDATETIME_H

#include "FMWrapper/FMXClient.h"
#include "FMWrapper/FMXExtern.h"

extern "C++" {
namespace fmx {
class DateTime;
}
}

#endif  // FMWRAPPER_FMXDATETIME_H
