#pragma once

// Readings of a process from /proc and its descriptor limit, for the soak and the load tool.
// Thread rule: any thread.

#include <cstdint>
#include <limits>

namespace Lumenbox::clients {

struct ProcessSample {
    long threads = 0;
    long rssKb = 0;          // the resident set
    long descriptors = 0;    // open file descriptors
    double cpuSeconds = 0;   // user and system time so far, all threads
};

// The readings of process `pid`, or of the calling process when `pid` is 0.
ProcessSample sampleProcess(long pid = 0);

// Raises the soft limit on open descriptors to the hard one, or to `cap` if that is lower.
void raiseDescriptorLimit(std::uint64_t cap = std::numeric_limits<std::uint64_t>::max());

}  // namespace Lumenbox::clients
