// shared.cpp - see shared.h.
#include "shared.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

namespace rtbridge {

// Lock-free atomics are address-free: the same word mapped at two places,
// or in two processes, is one atomic object.  A lock-based one would keep
// its lock in one process's private memory, and the two sides would race.
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free,
              "the FIFO's positions must be lock-free atomics to work across processes");
static_assert(alignof(std::uint32_t) >= std::atomic_ref<std::uint32_t>::required_alignment);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::int32_t>::is_always_lock_free);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
static_assert(std::atomic<double>::is_always_lock_free);
// The ring follows the header: keep it aligned for the frames.
static_assert(sizeof(Shared) % alignof(std::int32_t) == 0);

namespace {

std::size_t region_bytes(std::int32_t channels, std::int32_t ring_frames)
{
    return sizeof(Shared) + static_cast<std::size_t>(ring_frames) *
                                static_cast<std::size_t>(channels) * sizeof(std::int32_t);
}

} // namespace

Shared* map_shared(std::int32_t channels, std::int32_t ring_frames)
{
    char name[64];
    std::snprintf(name, sizeof name, "/asrc-bridge-%ld", static_cast<long>(getpid()));
    const int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return nullptr;
    shm_unlink(name); // the mapping keeps it; nothing is left behind
    const std::size_t bytes = region_bytes(channels, ring_frames);
    void* p = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(bytes)) == 0) // zero-filled
        p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int saved = errno;
    close(fd);
    if (p == MAP_FAILED) {
        errno = saved;
        return nullptr;
    }
    auto* s = new (p) Shared;
    s->channels = channels;
    s->ring_frames = ring_frames;
    return s;
}

void unmap_shared(Shared* s)
{
    if (s != nullptr)
        munmap(s, region_bytes(s->channels, s->ring_frames));
}

} // namespace rtbridge
