// asrc_fifo.cpp - the single-producer, single-consumer frame FIFO.
// See asrc_fifo.h for the contract, the limits and the memory ordering.
//
// Built as C++ without exceptions or RTTI and with no C++ runtime, as the
// converter is, so that C programs link it with the C driver.
#include "asrc_fifo.h"

#include <atomic>
#include <cstring>

namespace {

// Every access to a field that the other side may be touching at the same
// time goes through one of these four, so that the orderings are in one
// place.  A position is loaded with acquire order by the side that does not
// own it (so that the frames it covers are visible) and stored with release
// order by its owner (after the frames were copied).  Counters need no
// ordering: nothing is read through them.
inline uint32_t load_acquire(const uint32_t& field)
{
    // atomic_ref<const T> comes only in C++26; the load does not write.
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_acquire);
}

inline void store_release(uint32_t& field, uint32_t value)
{
    std::atomic_ref<uint32_t>(field).store(value, std::memory_order_release);
}

inline uint32_t load_relaxed(const uint32_t& field)
{
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_relaxed);
}

// Only the owner stores a counter, so load, add and store is not a race
// and needs no read-modify-write instruction (Cortex-M0+ has none).
inline void add_relaxed(uint32_t& counter, uint32_t n)
{
    std::atomic_ref<uint32_t> c(counter);
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Frames from position `from` to position `to` (both 0 .. 2 * capacity - 1,
// `to` at most `capacity` ahead): 0 .. capacity.
inline uint32_t distance(uint32_t from, uint32_t to, uint32_t capacity)
{
    return to >= from ? to - from : to + 2 * capacity - from;
}

inline uint32_t advance(uint32_t position, uint32_t n, uint32_t capacity)
{
    const uint32_t p = position + n; // < 4 * 2^20: no wrap
    return p >= 2 * capacity ? p - 2 * capacity : p;
}

// The slot of a position, 0 .. capacity - 1.
inline uint32_t slot(uint32_t position, uint32_t capacity)
{
    return position >= capacity ? position - capacity : position;
}

// Bytes of one frame: 16- and 32-bit FIFOs share every line below and
// differ only in this.
inline size_t frame_bytes(const asrc_fifo& f)
{
    return size_t{static_cast<uint32_t>(f.channels)} * static_cast<uint32_t>(f.sample_bytes);
}

// The ring's bytes for n frames from a position: `first` bytes from
// `at`, then the rest from slot 0 (the ring's end cuts a run in two).
struct Pieces {
    unsigned char* at;
    size_t first_bytes;
    size_t rest_bytes;
};

inline Pieces pieces(const asrc_fifo& f, uint32_t position, uint32_t n)
{
    const auto capacity = static_cast<uint32_t>(f.capacity);
    const size_t frame = frame_bytes(f);
    const uint32_t s = slot(position, capacity);
    const uint32_t first = n < capacity - s ? n : capacity - s;
    return {static_cast<unsigned char*>(f.data) + s * frame, first * frame, (n - first) * frame};
}

// The producer's part of a write: `n` frames (from `frames`, or zeros when
// it is null) into the free slots, then the overrun count for what did not
// fit.
int32_t produce(asrc_fifo* f, const void* frames, int32_t count)
{
    if (count <= 0)
        return 0;
    const auto capacity = static_cast<uint32_t>(f->capacity);
    const uint32_t write = f->write; // ours: no other side stores it
    const uint32_t room = capacity - distance(load_acquire(f->read), write, capacity);
    const uint32_t n = static_cast<uint32_t>(count) < room ? static_cast<uint32_t>(count) : room;
    const Pieces p = pieces(*f, write, n);
    if (frames != nullptr) {
        std::memcpy(p.at, frames, p.first_bytes);
        std::memcpy(f->data, static_cast<const unsigned char*>(frames) + p.first_bytes, p.rest_bytes);
    } else {
        std::memset(p.at, 0, p.first_bytes);
        std::memset(f->data, 0, p.rest_bytes);
    }
    store_release(f->write, advance(write, n, capacity));
    if (n < static_cast<uint32_t>(count)) {
        add_relaxed(f->overruns, 1);
        add_relaxed(f->overrun_frames, static_cast<uint32_t>(count) - n);
    }
    return static_cast<int32_t>(n); // n <= count
}

// The consumer's part of a read or discard: up to `count` frames out of the
// ring (into `frames` unless it is null), then the read position.
uint32_t consume(asrc_fifo* f, void* frames, int32_t count)
{
    const auto capacity = static_cast<uint32_t>(f->capacity);
    const uint32_t read = f->read; // ours
    const uint32_t held = distance(read, load_acquire(f->write), capacity);
    const uint32_t n = static_cast<uint32_t>(count) < held ? static_cast<uint32_t>(count) : held;
    if (frames != nullptr) {
        const Pieces p = pieces(*f, read, n);
        std::memcpy(frames, p.at, p.first_bytes);
        std::memcpy(static_cast<unsigned char*>(frames) + p.first_bytes, f->data, p.rest_bytes);
    }
    store_release(f->read, advance(read, n, capacity));
    return n;
}

int32_t fill_of(const asrc_fifo* f)
{
    // From either side one of the two positions is the caller's own and
    // exact, so the result is the fill at the moment of the other load.
    // From a third context both may move between the loads; taking the read
    // position first means the write position, loaded later, can only be
    // further on, so the distance does not wrap below zero, and the clamp
    // keeps it within the capacity.
    const auto capacity = static_cast<uint32_t>(f->capacity);
    const uint32_t read = load_acquire(f->read);
    const uint32_t held = distance(read, load_acquire(f->write), capacity);
    return static_cast<int32_t>(held < capacity ? held : capacity); // <= 2^20
}

int init_as(asrc_fifo* f, void* memory, int32_t capacity, int32_t channels, int32_t sample_bytes)
{
    if (memory == nullptr || capacity < 1 || capacity > ASRC_FIFO_MAX_FRAMES || channels < 1 ||
        channels > ASRC_FIFO_MAX_CHANNELS)
        return -1;
    f->data = memory;
    f->capacity = capacity;
    f->channels = channels;
    f->sample_bytes = sample_bytes;
    f->write = 0;
    f->read = 0;
    f->overruns = 0;
    f->overrun_frames = 0;
    f->underruns = 0;
    f->underrun_frames = 0;
    f->stamp_sequence = 0;
    f->read_time = 0;
    f->read_frames = 0;
    f->read_block = 0;
    f->best_time = 0;
    f->best_frames = 0;
    f->read_period = 0;
    f->best_write = 0;
    return 0;
}

// A read of either width: what there is, silence for the rest.
int32_t read_block(asrc_fifo* f, void* frames, int32_t count)
{
    if (count <= 0)
        return 0;
    const uint32_t n = consume(f, frames, count);
    const uint32_t missing = static_cast<uint32_t>(count) - n;
    if (missing != 0) {
        const size_t frame = frame_bytes(*f);
        std::memset(static_cast<unsigned char*>(frames) + n * frame, 0, missing * frame);
        add_relaxed(f->underruns, 1);
        add_relaxed(f->underrun_frames, missing);
    }
    return static_cast<int32_t>(n); // n <= count
}

// Whether a read at `now` with `counted` frames asked up to it is the
// earliest since the producer last wrote (at `written`): a new write starts
// a new span, and within one a read is earlier than the kept one when it
// came sooner than the frames between them take at the read period.  Both
// differences are a span's, far below 2^31 ticks and 2^20 frames; a longer
// one (a stalled producer, a timer that jumped) starts over too.
bool is_earliest(const asrc_fifo* f, uint32_t sequence, uint32_t written, uint32_t now,
                 uint32_t counted)
{
    const uint32_t period = load_relaxed(f->read_period);
    if (period == 0 || written != f->best_write || sequence == 0)
        return true; // no period, a new span, or the first read
    const uint32_t frames = counted - f->best_frames;
    const auto ticks = static_cast<int32_t>(now - f->best_time); // wrapping difference
    if (frames > (1u << 20) || ticks < 0)
        return true;
    // ticks (< 2^31) at Q.8 against frames (<= 2^20) times Q24.8 (< 2^32).
    return int64_t{ticks} * 256 < int64_t{frames} * period;
}

int32_t read_stamped(asrc_fifo* f, void* frames, int32_t count, uint32_t now)
{
    if (count <= 0)
        return 0;
    // The sequence goes odd before the read position moves and each field
    // after it is stored with release order, so that a producer that sees
    // any new field (loading it with acquire order) then sees the sequence
    // changed too; no standalone fence (ThreadSanitizer does not model one).
    const uint32_t sequence = f->stamp_sequence; // ours
    std::atomic_ref<uint32_t>(f->stamp_sequence).store(sequence + 1, std::memory_order_relaxed);
    const uint32_t written = load_relaxed(f->write); // only a tag: no frame is read through it
    const int32_t taken = read_block(f, frames, count); // stores `read` with release
    const uint32_t counted = f->read_frames + static_cast<uint32_t>(count); // ours
    store_release(f->read_time, now);
    store_release(f->read_frames, counted);
    std::atomic_ref<int32_t>(f->read_block).store(count, std::memory_order_release);
    if (is_earliest(f, sequence, written, now, counted)) {
        f->best_write = written;
        store_release(f->best_time, now);
        store_release(f->best_frames, counted);
    }
    store_release(f->stamp_sequence, sequence + 2);
    return taken;
}

// An entry of one width on a FIFO of the other copies nothing.
inline bool is(const asrc_fifo* f, int32_t sample_bytes)
{
    return f->sample_bytes == sample_bytes;
}

} // namespace

extern "C" {

int asrc_fifo_init(asrc_fifo* f, int16_t* memory, int32_t capacity, int32_t channels)
{
    return init_as(f, memory, capacity, channels, 2);
}

int asrc_fifo_init32(asrc_fifo* f, int32_t* memory, int32_t capacity, int32_t channels)
{
    return init_as(f, memory, capacity, channels, 4);
}

int32_t asrc_fifo_write(asrc_fifo* f, const int16_t* frames, int32_t count)
{
    // A null `frames` would mean silence inside; from outside it is an error
    // the contract does not allow, so it is not given that meaning here.
    return frames == nullptr || !is(f, 2) ? 0 : produce(f, frames, count);
}

int32_t asrc_fifo_write32(asrc_fifo* f, const int32_t* frames, int32_t count)
{
    return frames == nullptr || !is(f, 4) ? 0 : produce(f, frames, count);
}

int32_t asrc_fifo_write_silence(asrc_fifo* f, int32_t count)
{
    return produce(f, nullptr, count);
}

int32_t asrc_fifo_read(asrc_fifo* f, int16_t* frames, int32_t count)
{
    return is(f, 2) ? read_block(f, frames, count) : 0;
}

int32_t asrc_fifo_read32(asrc_fifo* f, int32_t* frames, int32_t count)
{
    return is(f, 4) ? read_block(f, frames, count) : 0;
}

int32_t asrc_fifo_read_at(asrc_fifo* f, int16_t* frames, int32_t count, uint32_t now)
{
    return is(f, 2) ? read_stamped(f, frames, count, now) : 0;
}

int32_t asrc_fifo_read32_at(asrc_fifo* f, int32_t* frames, int32_t count, uint32_t now)
{
    return is(f, 4) ? read_stamped(f, frames, count, now) : 0;
}

void asrc_fifo_set_read_period(asrc_fifo* f, uint32_t ticks_per_frame_q8)
{
    std::atomic_ref<uint32_t>(f->read_period).store(ticks_per_frame_q8, std::memory_order_relaxed);
}

int asrc_fifo_get_stamp(const asrc_fifo* f, asrc_fifo_stamp* out)
{
    const auto capacity = static_cast<uint32_t>(f->capacity);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const uint32_t before = load_acquire(f->stamp_sequence);
        if ((before & 1u) != 0)
            continue;
        const uint32_t read = load_acquire(f->read);
        const uint32_t time = load_acquire(f->read_time);
        const uint32_t frames = load_acquire(f->read_frames);
        const int32_t block =
            std::atomic_ref<int32_t>(const_cast<int32_t&>(f->read_block)).load(std::memory_order_acquire);
        const uint32_t best_time = load_acquire(f->best_time);
        const uint32_t best_frames = load_acquire(f->best_frames);
        if (load_acquire(f->stamp_sequence) != before)
            continue;
        const uint32_t held = distance(read, load_acquire(f->write), capacity);
        out->fill = static_cast<int32_t>(held < capacity ? held : capacity); // <= 2^20
        out->reads = before >> 1;
        out->read_time = time;
        out->read_frames = frames;
        out->read_block = block;
        out->best_time = best_time;
        out->best_frames = best_frames;
        return 0;
    }
    return -1;
}

int32_t asrc_fifo_discard(asrc_fifo* f, int32_t count)
{
    return count <= 0 ? 0 : static_cast<int32_t>(consume(f, nullptr, count));
}

int32_t asrc_fifo_fill(const asrc_fifo* f)
{
    return fill_of(f);
}

int32_t asrc_fifo_space(const asrc_fifo* f)
{
    return f->capacity - fill_of(f);
}

asrc_fifo_counts asrc_fifo_get_counts(const asrc_fifo* f)
{
    asrc_fifo_counts c;
    c.overruns = load_relaxed(f->overruns);
    c.overrun_frames = load_relaxed(f->overrun_frames);
    c.underruns = load_relaxed(f->underruns);
    c.underrun_frames = load_relaxed(f->underrun_frames);
    return c;
}

} // extern "C"
