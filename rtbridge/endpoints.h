// endpoints.h - the two child processes of asrc-bridge: each opens its
// endpoint (a JACK client or an ALSA PCM), says its rate and period in the
// shared region, and then runs the producer (source) or the consumer (sink)
// from the endpoint's real-time context until `stop`.  The sink is opened
// first, the source after it (the parent waits in between): the producer
// needs the sink's rate and period to size the FIFO, and two clients of
// the same name opened at the same moment on two JACK servers collide.
#ifndef ASRC_RTBRIDGE_ENDPOINTS_H
#define ASRC_RTBRIDGE_ENDPOINTS_H

#include "options.h"
#include "shared.h"

namespace rtbridge {

// Exit statuses of the children, and of the program.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusLost = 1; // a device or server could not be opened or went away
inline constexpr int kStatusBad = 2;  // settings that cannot work

// Each runs in its own process and returns its exit status, having
// written its summary (and set source_done / sink_done) if it ran.
int run_source(const Options& options, Shared* shared);
int run_sink(const Options& options, Shared* shared);

} // namespace rtbridge

#endif
