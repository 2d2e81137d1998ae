// Written from the FileMaker plug-in SDK's documented interface, so that the plug-in builds and is tested without the SDK.
#ifndef FMWRAPPER_FMXCLIENT_H
#define FMWRAPPER_FMXCLIENT_H

#include <memory>
#include <new>
#include <stdexcept>

#include "FMWrapper/FMXExtern.h"

extern "C++" {
namespace fmx {

// The trailing out-parameter of every FM_* entry point; the host sets m_code when a call fails.
struct _fmxcpt {
    enum { kNoErr = 0, kBadAlloc = 1, kUnknown = 2 };

    _fmxcpt() : m_vers(1), m_code(kNoErr) {}

    void Check() {
        switch (m_code) {
            case kBadAlloc:
                throw std::bad_alloc();
            case kUnknown:
                throw std::exception();
            default:
                break;
        }
    }

    int32 m_vers;
    int32 m_code;
};

}  // namespace fmx
}

#endif  // FMWRAPPER_FMXCLIENT_H
