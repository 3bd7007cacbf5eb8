// chunk_pipeline.h - the streaming loop that both of asrc-audio's routes
// run (stream_convert.cpp, q31_stream.cpp): a ring of chunks, read on the
// calling thread, converted on worker threads a few chunks behind, then a
// flush after the last input, and the converted chunks written in order.
#ifndef ASRC_AUDIO_CHUNK_PIPELINE_H
#define ASRC_AUDIO_CHUNK_PIPELINE_H

#include <cstdint>
#include <thread>
#include <vector>

namespace asrc_audio {

// Converters holds the ring: chunks() (a std::array of chunks, each with a
// `frames` count that -1 makes a stop), workers(), run(w) (worker w's loop
// until a stop), submit(c) (to the workers) and collect(c) (waits until
// they are done with it).  Chunk i lives in chunks()[i % size], so that the
// next ones are read while the workers convert the ones before.
//   read(c)   fills chunk c with the next input; false at the end or on an
//             error.
//   flush(c)  after the last input: fills c with what flushes the
//             converters and returns true, or false for no flush (none
//             needed, or reading failed).  Not called once a write failed.
//   write(c)  writes a converted chunk; false when the write fell short,
//             after which reading stops and what is in flight is collected
//             but not written.
//   tick()    after every chunk collected (the progress).
// The workers are started on entry and stopped and joined on return.
//
// At most ring - 1 chunks are in flight, never the whole ring: a chunk's
// hand-over is released once per worker, and a worker that has done its
// part of chunk i runs on through the ring; with every chunk in flight it
// would come round to chunk i again and take the hand-over still meant for
// a slower worker (converting its channels twice and leaving the slower
// one's undone: an output short by a chunk, seen under load with ten
// channels on two workers).  With one chunk kept back, the chunk before i
// was collected and not yet resubmitted, and the fast worker waits there.
template <class Converters, class Read, class Flush, class Write, class Tick>
void run_chunk_pipeline(Converters& converters, Read read, Flush flush, Write write, Tick tick)
{
    std::vector<std::thread> workers;
    for (int w = 0; w < converters.workers(); ++w)
        workers.emplace_back([&converters, w] { converters.run(w); });
    auto& chunks = converters.chunks();
    const std::uint64_t ring = chunks.size();

    std::uint64_t submitted = 0;
    std::uint64_t collected = 0;
    bool reading = true;
    bool writing = true;
    bool flushed = false;
    while (reading || !flushed || collected < submitted) {
        if ((reading || !flushed) && submitted - collected + 1 < ring) {
            auto& c = chunks[submitted % ring];
            if (reading && read(c)) {
                converters.submit(c);
                ++submitted;
                continue;
            }
            reading = false;
            if (!flushed && writing && flush(c)) {
                converters.submit(c);
                ++submitted;
            }
            flushed = true;
            continue;
        }
        auto& c = chunks[collected % ring];
        converters.collect(c);
        ++collected;
        if (writing && !write(c)) {
            writing = false;
            reading = false; // what is in flight is still collected
        }
        tick();
    }
    auto& stop = chunks[submitted % ring];
    stop.frames = -1;
    converters.submit(stop);
    for (std::thread& t : workers)
        t.join();
}

} // namespace asrc_audio

#endif
