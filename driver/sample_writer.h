// sample_writer.h - writes converted samples, one decimal number per line.
#ifndef ASRC_DRIVER_SAMPLE_WRITER_H
#define ASRC_DRIVER_SAMPLE_WRITER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace asrc_driver {

// Formats samples as printf("%d\n") would and hands them to a stdio stream
// in large pieces.  The stream is the caller's, opened in text mode so that
// each '\n' becomes the platform's line end.  A failure is sticky: once a
// write has failed nothing more is written and every later call says so.
class SampleWriter {
public:
    static constexpr std::size_t kBufferSize = std::size_t{64} * 1024;

    explicit SampleWriter(std::FILE* file) : file_(file) {}
    SampleWriter(const SampleWriter&) = delete;
    SampleWriter& operator=(const SampleWriter&) = delete;

    // Queues count samples; false once anything has failed to be written.
    bool write(const std::int16_t* samples, std::size_t count);
    // Hands everything queued to the stream and flushes the stream; false if
    // any write so far has failed.
    bool flush();

private:
    bool drain();

    std::FILE* file_;
    std::array<char, kBufferSize> buffer_{};
    std::size_t used_ = 0;
    bool failed_ = false;
};

} // namespace asrc_driver

#endif
