// mulvo watch: one line per interrupt of an open adapter.
#pragma once

#include "mulvoloader.h"
#include "toolsupport.h"

#include <cstdint>

namespace mulvo::tool {

struct WatchOptions
{
    uint64_t count = 0;     // stop after this many interrupts; 0: no limit
    uint64_t timeoutMs = 0; // stop after this long; 0: no limit
    bool json = false;
    uint32_t device = 0; // the adapter's number, for messages
};

// Arms the interrupt of `handle` and writes one line per interrupt to `out` until the count,
// the timeout or a signal of `stop` ends it; then disarms, writes the remaining lines and a
// summary on standard error. `stop` takes SIGINT, SIGTERM and SIGALRM (the timeout's timer).
// Returns the exit status.
int watchInterrupts(const Api &api, uint32_t handle, const WatchOptions &options, Output &out,
                    StopSignals &stop);

} // namespace mulvo::tool
