// asrc_fifo.h - a lock-free FIFO of 16- or 32-bit audio frames between one producer
// and one consumer that run on different clocks: a USB or network receive
// interrupt on one side, an I2S or DAC interrupt on the other, or two
// threads.  Nothing blocks, nothing is allocated, no I/O is done.
//
// USAGE
//
//     static int16_t memory[CAPACITY * CHANNELS];  // int32_t with the *32 entries
//     asrc_fifo fifo;
//     asrc_fifo_init(&fifo, memory, CAPACITY, CHANNELS);
//     producer:  asrc_fifo_write(&fifo, frames, n);     // keeps what fits
//     consumer:  asrc_fifo_read(&fifo, block, m);       // silence for what is missing
//     either:    asrc_fifo_fill(&fifo), asrc_fifo_get_counts(&fifo)
//
// With a rate controller (asrc_servo.h), the consumer reads with
// asrc_fifo_read_at (its timer's time) and the producer calls the servo
// after each write.
//
// OVERVIEW
//
// The caller owns the asrc_fifo and the memory it holds frames in.  A frame
// is `channels` samples, interleaved: int16_t in a FIFO set up by
// asrc_fifo_init, int32_t (Q1.31 from the 24-bit converter, asrc_q31.h) in
// one set up by asrc_fifo_init32.  The FIFO moves whole frames only.  One side, the producer, may call asrc_fifo_write,
// asrc_fifo_write_silence and asrc_fifo_get_stamp; the other side, the
// consumer, may call asrc_fifo_read, asrc_fifo_read_at and
// asrc_fifo_discard (the 32-bit FIFO's producer asrc_fifo_write32 instead of
// asrc_fifo_write, its consumer asrc_fifo_read32 and asrc_fifo_read32_at); either side may call asrc_fifo_fill, asrc_fifo_space
// and asrc_fifo_get_counts at any time, also while the
// other side is in the middle of a call.  At most one producer call and one
// consumer call may run at once: two producers (or two consumers) must
// serialise their calls themselves.
//
// Neither side ever waits for the other.  A read that asks for more frames
// than the FIFO holds takes what there is, fills the rest of the caller's
// block with silence and counts an underrun; a write that brings more than
// fits keeps what fits, drops the rest and counts an overrun.  Either way
// the FIFO stays consistent and carries on from there: nothing needs
// resetting.  What to do about the gap (fade, refill to a target fill) is
// the caller's choice; asrc_servo.h does the refilling.
//
// NUMBER FORMATS AND LIMITS
//
//   frames     int16_t samples (asrc_fifo_init) or int32_t samples
//              (asrc_fifo_init32), channel after channel within a frame:
//              2 * channels or 4 * channels bytes.  The FIFO copies them
//              and never looks at their values.  An entry of one width
//              called on a FIFO of the other (asrc_fifo_write on a 32-bit
//              FIFO, asrc_fifo_read32 on a 16-bit one) returns 0 and
//              changes nothing, not even the caller's frames.
//   counts     int32_t frames (never samples).  A count of 0 or less asks
//              for nothing and changes nothing.
//   capacity   1 .. ASRC_FIFO_MAX_FRAMES frames; all of it is usable (no
//              slot is kept empty to tell full from empty).
//   channels   1 .. ASRC_FIFO_MAX_CHANNELS.
//   memory     capacity * channels samples (int16_t or int32_t: 2 or 4
//              bytes each, at most 2^31 or 2^32 bytes), owned by the caller, not
//              touched by asrc_fifo_init; it must stay valid and must not be
//              written by the caller while the FIFO is in use.
//   counters   uint32_t, wrapping modulo 2^32: compare a value with the one
//              seen before (!=, or unsigned subtraction) to notice new
//              events; they never stick at a maximum, so that a new event is
//              never hidden.
//
// HOW IT WORKS, AND MEMORY ORDERING
//
//   The producer owns `write`, the consumer owns `read`: each position is
//   stored by one side only, so no read-modify-write is ever needed on
//   shared data, only loads and stores.  Positions run over 0 ..
//   2 * capacity - 1 rather than 0 .. capacity - 1, so that a full FIFO
//   (write - read = capacity) and an empty one (write = read) differ without
//   a spare slot, and without a division, which Cortex-M0+ lacks.
//
//   The producer copies frames into the free slots and then stores its new
//   position with release order; the consumer loads that position with
//   acquire order before it copies frames out, so it never sees a slot
//   before the frames in it.  In the other direction the consumer stores its
//   position with release order after it has copied frames out, and the
//   producer loads it with acquire order before reusing those slots.  Each
//   side keeps its counters the same way (stored by it alone, loaded by
//   anyone); counters need no ordering.
//
//   The library is C++20 inside and makes these accesses with
//   std::atomic_ref<uint32_t> on the plain fields below, which has exactly
//   the semantics of C11's atomic_load_explicit(memory_order_acquire) and
//   atomic_store_explicit(memory_order_release); keeping the fields plain
//   uint32_t makes this header the same in C and C++.  On cores with
//   exclusive loads and stores (Cortex-M3/M4/M7, A-class, x86) these are
//   lock-free atomics.  Cortex-M0+ (ARMv6-M) has no exclusive access, so
//   it has no lock-free read-modify-write; this FIFO needs none.  There an
//   aligned 32-bit LDR or STR is single-copy atomic, and the compiler emits
//   an acquire load as LDR then DMB and a release store as DMB then STR,
//   with no library call: that is the whole cost of a position update
//   between an interrupt handler and the main loop, or between two cores
//   (tools/arm_bridge.sh checks the objects for it).  A compiler
//   without these atomics has to give the same two guarantees by other
//   means: a 32-bit access that cannot tear, and a barrier on each side of
//   it (on a single core, a compiler barrier is enough).
//
//   asrc_fifo_fill and asrc_fifo_space load both positions, each with
//   acquire order.  Their result is a snapshot: called by the producer it
//   may be higher than the fill by the time it returns (the consumer may
//   have taken frames since), called by the consumer it may be lower, never
//   the other way round, and it always lies in 0 .. capacity.
//
// REENTRANCY
//
//   Calls on different FIFOs are independent.  On one FIFO, see OVERVIEW:
//   one producer call, one consumer call and any number of fill, space and
//   count queries may overlap.  asrc_fifo_init must not overlap anything on
//   the same FIFO.  `frames` must not overlap the FIFO's memory.
//
// LANGUAGES
//
//   C99 and later, C++11 and later, C linkage; the library needs no C++
//   runtime and no floating point.  It copies frames with memcpy and writes
//   silence with memset, the two functions that GCC and Clang expect of any
//   freestanding environment.
#ifndef ASRC_FIFO_H
#define ASRC_FIFO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Limits of asrc_fifo_init: with both at their maximum the sample index
// stays below 2^30, so no product of the library can overflow 32 bits.
#define ASRC_FIFO_MAX_FRAMES (1L << 20)
#define ASRC_FIFO_MAX_CHANNELS 1024

// One FIFO.  The fields are documented so that a FIFO can be inspected in
// a debugger; only the library writes them, and it accesses the positions
// and counters atomically (see above), so a caller must read them through
// the functions below, never directly, while the FIFO is in use.
typedef struct asrc_fifo {
    void* data;                 // capacity * channels samples, the caller's
    int32_t capacity;           // frames
    int32_t channels;           // samples per frame
    int32_t sample_bytes;       // 2 (asrc_fifo_init) or 4 (asrc_fifo_init32)
    uint32_t write;             // producer's position, 0 .. 2 * capacity - 1
    uint32_t read;              // consumer's position, 0 .. 2 * capacity - 1
    uint32_t overruns;          // producer's: writes that did not fit
    uint32_t overrun_frames;    // producer's: frames dropped by them
    uint32_t underruns;         // consumer's: reads that found too little
    uint32_t underrun_frames;   // consumer's: frames of silence given instead
    // The consumer's last stamped read (asrc_fifo_read_at), published as
    // a sequence lock: the consumer alone stores these four.
    uint32_t stamp_sequence;    // odd while a stamped read is under way;
                                // twice the stamped reads, modulo 2^32
    uint32_t read_time;         // `now` of the last stamped read, ticks
    uint32_t read_frames;       // frames asked by all stamped reads, mod 2^32
    int32_t read_block;         // frames asked by the last stamped read
    // The earliest stamped read since the producer's last write (see
    // asrc_fifo_set_read_period), published under the same lock.
    uint32_t best_time;         // its `now`, ticks
    uint32_t best_frames;       // frames asked by all stamped reads up to
                                // and including it, mod 2^32
    // Stored by asrc_fifo_set_read_period, loaded by the consumer.
    uint32_t read_period;       // ticks per consumer frame, Q24.8 (0: the
                                // earliest read is the last one)
    // The consumer's own.
    uint32_t best_write;        // the producer's position when the earliest
                                // read's span began
} asrc_fifo;

// The counters at one moment (each loaded atomically; the producer's and the
// consumer's pairs may come from slightly different moments).
typedef struct asrc_fifo_counts {
    uint32_t overruns;
    uint32_t overrun_frames;
    uint32_t underruns;
    uint32_t underrun_frames;
} asrc_fifo_counts;

// The consumer's side as the producer sees it at one moment, from
// asrc_fifo_get_stamp: the fill, and when the consumer last read and how
// far its clock had run by then, all from the same read.
typedef struct asrc_fifo_stamp {
    int32_t fill;          // frames held after that read and the writes
                           // since (exact when the producer asks)
    uint32_t reads;        // stamped reads so far, modulo 2^32 (0: none yet)
    uint32_t read_time;    // the `now` of the last stamped read, ticks
    uint32_t read_frames;  // frames asked by all stamped reads, modulo 2^32
                           // (asked, not taken: the consumer's clock ran
                           // on through an underrun)
    int32_t read_block;    // frames asked by the last stamped read
    // Of the stamped reads between the producer's last two writes (and
    // any since the last), the earliest, judged by the read period: the
    // read least late on the consumer's clock.  The last read itself where
    // no period is set.
    uint32_t best_time;    // its `now`, ticks
    uint32_t best_frames;  // frames asked by all stamped reads up to and
                           // including it, modulo 2^32
} asrc_fifo_stamp;

// Sets *f up, with all counters 0, over `memory`, which must hold
// capacity * channels samples.  Returns 0, or -1 without touching *f if
// memory is null, capacity is outside 1 .. ASRC_FIFO_MAX_FRAMES or channels
// outside 1 .. ASRC_FIFO_MAX_CHANNELS.  Neither side may be running.
int asrc_fifo_init(asrc_fifo* f, int16_t* memory, int32_t capacity, int32_t channels);

// As asrc_fifo_init for a FIFO of int32_t samples (Q1.31, or 24-bit
// samples in the top bits): `memory` holds capacity * channels int32_t.
// Same limits, same return.  Its frames go in with asrc_fifo_write32 and
// out with asrc_fifo_read32 or asrc_fifo_read32_at; every other entry
// (silence, discard, fill, space, counts, stamps) serves both widths.
int asrc_fifo_init32(asrc_fifo* f, int32_t* memory, int32_t capacity, int32_t channels);

// Producer side.  Appends up to `count` frames from `frames` (count *
// channels samples) and returns how many were appended: all of them, or as
// many as there was room for, in which case the rest (the newest) are
// dropped, `overruns` goes up by one and `overrun_frames` by the number
// dropped.  count <= 0: returns 0, changes nothing.
int32_t asrc_fifo_write(asrc_fifo* f, const int16_t* frames, int32_t count);

// Producer side of a 32-bit FIFO: as asrc_fifo_write with `frames` of
// count * channels int32_t samples.
int32_t asrc_fifo_write32(asrc_fifo* f, const int32_t* frames, int32_t count);

// Producer side.  As asrc_fifo_write with `count` frames of zeros: for
// priming the FIFO to its target fill, or refilling it after an underrun.
int32_t asrc_fifo_write_silence(asrc_fifo* f, int32_t count);

// Consumer side.  Takes up to `count` frames, oldest first, into `frames`
// (room for count * channels samples) and returns how many were taken.  If
// the FIFO held fewer, frames[taken * channels ..] up to count frames are
// filled with zeros, so that an output block is always complete, and
// `underruns` goes up by one and `underrun_frames` by count - taken.
// count <= 0: returns 0, changes nothing.
int32_t asrc_fifo_read(asrc_fifo* f, int16_t* frames, int32_t count);

// Consumer side of a 32-bit FIFO: as asrc_fifo_read into `frames` of room
// for count * channels int32_t samples (the rest zeros on an underrun).
int32_t asrc_fifo_read32(asrc_fifo* f, int32_t* frames, int32_t count);

// Consumer side.  As asrc_fifo_read, and records `now` (the consumer's
// reading of a free-running timer common to both sides, in any unit, wrapping
// modulo 2^32: a microsecond counter, a Cortex-M cycle counter,
// CLOCK_MONOTONIC in microseconds) with the frames asked, for the rate
// controller (asrc_servo_update_at).  Take `now` when the block's time is
// best known: at the DMA interrupt's entry, or from the sound card's own
// timestamp.  A consumer uses asrc_fifo_read_at for every read, or not at
// all.  Costs five more stores, four of them with release order, three
// more (two with release order) when the read is the earliest of its span,
// and with a read period set one 32 x 32-bit product (64-bit result).
int32_t asrc_fifo_read_at(asrc_fifo* f, int16_t* frames, int32_t count, uint32_t now);

// Consumer side of a 32-bit FIFO: as asrc_fifo_read_at, into int32_t
// frames as asrc_fifo_read32.  asrc_servo_update_at reads its stamps the
// same way whatever the width.
int32_t asrc_fifo_read32_at(asrc_fifo* f, int32_t* frames, int32_t count, uint32_t now);

// Either side, before or while the FIFO is in use.  The consumer's clock's
// nominal period, in the ticks of asrc_fifo_read_at's `now` per frame, Q24.8
// (asrc_servo_read_period gives it from a servo's configuration), so that
// the FIFO can keep the earliest of the stamped reads between two writes:
// a read's lateness is its `now` less its frames times the period.  A
// consumer of short blocks behind a producer of long ones (16-frame reads,
// 1024-frame writes) is otherwise seen only at the read before each write,
// late by a random part of its scheduling's lateness; the earliest of 64
// reads is nearly on its clock, so the rate controller learns that clock
// about as fast as it learns one that it sees every block.  A period 0.1 %
// off moves a read's lateness by a thousandth of the span's frames, far
// below a scheduler's lateness.  0 (as set up): every read is the earliest.
// One 32-bit store (relaxed): the consumer picks it up at its next read.
void asrc_fifo_set_read_period(asrc_fifo* f, uint32_t ticks_per_frame_q8);

// Producer side (or any side that does not read).  The fill and the last
// stamped read, consistent with each other: the consumer publishes them
// under a sequence lock (a count it makes odd before a stamped read and
// even after it, stores only), so no read-modify-write is needed.  Returns
// 0, or -1 with *out untouched if the consumer read four times while this
// call was looking (it cannot starve a caller longer than that).
int asrc_fifo_get_stamp(const asrc_fifo* f, asrc_fifo_stamp* out);

// Consumer side.  Drops up to `count` of the oldest frames without copying
// them and returns how many were dropped; never counts an underrun.  For a
// consumer that brings the fill down after an overrun, or flushes.
int32_t asrc_fifo_discard(asrc_fifo* f, int32_t count);

// Either side: frames held, 0 .. capacity (see HOW IT WORKS for what a
// snapshot from each side means).
int32_t asrc_fifo_fill(const asrc_fifo* f);

// Either side: frames of room, capacity - fill, from the same kind of
// snapshot.
int32_t asrc_fifo_space(const asrc_fifo* f);

// Either side: the four counters.
asrc_fifo_counts asrc_fifo_get_counts(const asrc_fifo* f);

#ifdef __cplusplus
} // extern "C"
#endif

#endif // ASRC_FIFO_H
