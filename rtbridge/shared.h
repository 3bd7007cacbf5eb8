// shared.h - what the two processes of asrc-bridge share: the FIFO, its
// frames, and the few words each side publishes for the other and for the
// parent that watches them.
//
// WHY TWO PROCESSES
//
//   libjack binds a process to one server: a second client opened in the
//   same process lands on the first client's server, whatever server name
//   it asks for, and the ALSA `jack` plugin inherits that.  So each
//   endpoint runs in a process of its own (always, so that there is one
//   path to test), and the FIFO between them lives in POSIX shared memory.
//
// HOW THE FIFO CROSSES THE PROCESS BOUNDARY
//
//   The region is made by shm_open, sized, mapped MAP_SHARED and unlinked at
//   once (nothing is left in /dev/shm whatever happens later), all before the
//   parent forks its two children: so the mapping lies at the same address
//   in all three processes and the FIFO's frame pointer (asrc_fifo.data),
//   which points into the region, is valid in each.  The FIFO's positions
//   and counters are plain uint32_t that the library reaches through
//   std::atomic_ref with acquire and release order; that works between
//   processes exactly as between threads provided the atomic operations are
//   lock-free (a lock-based atomic would take a lock in one process's
//   private memory).  shared.cpp checks at compile time that
//   std::atomic_ref<uint32_t> and every std::atomic here is always
//   lock-free, and that the fields are suitably aligned; C++ promises that
//   lock-free atomics are address-free, so two mappings of one page agree.
//
// WHO WRITES WHAT
//
//   Each field has one writer (named below) except `stop`, which the parent
//   and a child's signal handler may both set to 1 (a store, never a
//   read-modify-write).  Readers load with acquire order where they go on to
//   read what the flag guards, relaxed otherwise.
#ifndef ASRC_RTBRIDGE_SHARED_H
#define ASRC_RTBRIDGE_SHARED_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "asrc_fifo.h"

namespace rtbridge {

inline constexpr int kMaxChannels = 64;

// One endpoint as it opened: its nominal rate and frames per cycle.
struct EndpointInfo {
    std::atomic<std::uint32_t> rate{0};
    std::atomic<std::uint32_t> period{0};
    std::atomic<int> ready{0}; // 1 once rate and period are set (release)
};

// What the producer (the source's process) publishes while it runs; the
// parent samples it for the live line and the log.
struct Live {
    std::atomic<double> ratio_ppm{0};  // the last 0.1-s window's mean ratio, re nominal
    std::atomic<double> fill_mean{0};  // its mean fill as the servo sees it, re target
    std::atomic<std::int32_t> fill_max{0}; // its highest fill after a write, re target
    std::atomic<std::int32_t> mode{0};     // the servo's mode (asrc_servo.h)
    std::atomic<std::int32_t> shift{0};    // log2 of the loop's time constant
    std::atomic<int> locked{0};
    std::atomic<std::uint32_t> lock_epoch{0}; // + 1 each time a lock starts anew
    std::atomic<std::uint64_t> in_frames{0};  // source frames converted
    std::atomic<std::uint64_t> convert_ns{0}; // time spent converting them
    std::atomic<std::uint32_t> xruns_source{0};
    // The consumer's (the sink's process):
    std::atomic<std::int32_t> fill_low{0x7fffffff}; // lowest fill after a read, re target;
                                                    // the parent takes and resets it
    std::atomic<std::uint64_t> out_frames{0};
    std::atomic<std::uint32_t> xruns_sink{0};
    // The servo's choice, updated by the producer as it changes: the fill
    // it holds (frames; with --latency-ms auto 0 until it has measured) and
    // the FIFO capacity its measurements ask for.
    std::atomic<std::int32_t> target{0};
    std::atomic<std::int32_t> capacity_wanted{0};
};

// The producer's summary, written once by the source's process after its
// endpoint has stopped, before it sets `source_done`.
struct SourceSummary {
    double lock_s = -1;            // from the first block; -1: not locked at the end
    std::int64_t lock_mono_ns = 0; // CLOCK_MONOTONIC at the lock's first block
    std::int64_t end_mono_ns = 0;  // at the last block counted after lock
    double ratio_ppm = 0;          // mean ratio after lock, re nominal
    double ratio_jitter_ppm = 0;   // rms of each block's ratio about that mean
    std::uint64_t underruns = 0;   // FIFO events after lock
    std::uint64_t overruns = 0;
    std::uint64_t underruns_total = 0; // from the start
    std::uint64_t overruns_total = 0;
    std::int32_t fill_max = 0;     // after lock, re target
    std::uint64_t blocks_after_lock = 0;
    std::uint64_t lock_losses = 0; // windows out of band after lock
    double seconds = 0;            // source audio converted, s
    double convert_s = 0;          // time spent converting it, s
    std::uint64_t clipped = 0;     // converter outputs clipped (all channels)
    std::uint64_t xrun_refills = 0; // refills after a server's or device's xrun
};

struct SinkSummary {
    std::int32_t fill_min = 0; // after lock, re target
    double fill_mean = 0;      // the FIFO's mean fill after lock, re target:
                               // its fill just before each read (at times
                               // that have nothing to do with the producer's)
                               // less half a read
    double seconds = 0;        // sink audio played, s
};

struct Shared {
    // Set up by the parent before the fork; read only after.
    std::int32_t channels = 0;
    std::int32_t ring_frames = 0; // room in `ring`, frames

    EndpointInfo sink;   // written by the sink's process
    EndpointInfo source; // written by the source's process

    // The producer's choice, before `producing` (release).
    std::int32_t capacity = 0; // frames
    double delay_ms = 0;       // the converter's delay; the latency is the
                               // target's time (live.target) plus this
    asrc_fifo fifo{};          // asrc_fifo_init by the producer
    std::atomic<int> producing{0}; // the FIFO holds a stream: the consumer reads

    std::atomic<int> stop{0};        // parent or signal: both sides end
    std::atomic<int> source_done{0}; // summaries written (release)
    std::atomic<int> sink_done{0};

    Live live;
    SourceSummary source_summary;
    SinkSummary sink_summary;

    // Followed by ring_frames * channels int32_t (Q1.31): the FIFO's frames.
    std::int32_t* ring() { return reinterpret_cast<std::int32_t*>(this + 1); }
};

// Maps a fresh, zeroed region for `channels` channels and a ring of
// `ring_frames` frames, unlinked from the file system already; the mapping
// is inherited by children forked after this.  Returns nullptr (errno set)
// on failure.
Shared* map_shared(std::int32_t channels, std::int32_t ring_frames);

// Undoes map_shared (in the process that calls it).
void unmap_shared(Shared* s);

} // namespace rtbridge

#endif
