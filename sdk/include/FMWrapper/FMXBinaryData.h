// Written from the FileMaker plug-in SDK's documented interface, so that the plug-in builds and is tested without the SDK.
// The plug-in uses no container data: only the file exists, so that includes resolve as with the SDK.
#ifndef FMWRAPPER_FMXBINARYDATA_H
#define FMWRAPPER_FMXBINARYDATA_H

#include "FMWrapper/FMXClient.h"
#include "FMWrapper/FMXTypes.h"

extern "C++" {
namespace fmx {
class BinaryData;
}
}

#endif  // FMWRAPPER_FMXBINARYDATA_H
