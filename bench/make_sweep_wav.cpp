// make_sweep_wav.cpp - the input of bench/audio_bench.sh: a 24-bit PCM WAV
// (at 48 kHz unless RATE is given) of logarithmic sine sweeps from 20 Hz to
// 20 kHz at half of full scale, a quarter turn apart from channel to
// channel.
//
//   make_sweep_wav FILE SECONDS CHANNELS [RATE]
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5)
        return 2;
    const double seconds = std::atof(argv[2]);
    const int channels = std::atoi(argv[3]);
    const int rate = argc == 5 ? std::atoi(argv[4]) : 48000;
    if (!(seconds > 0.0) || channels < 1 || rate < 40000)
        return 2;
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* f = sf_open(argv[1], SFM_WRITE, &info);
    if (f == nullptr) {
        std::fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    const double pi = 3.14159265358979323846;
    const double k = std::log(20000.0 / 20.0) / seconds;
    const auto total = static_cast<long>(seconds * rate);
    const long chunk = 4096;
    std::vector<int> frames(static_cast<std::size_t>(chunk * channels));
    for (long start = 0; start < total; start += chunk) {
        const long n = std::min(chunk, total - start);
        for (long i = 0; i < n; ++i) {
            const double t = static_cast<double>(start + i) / rate;
            const double phase = 2.0 * pi * 20.0 * (std::exp(k * t) - 1.0) / k;
            for (int c = 0; c < channels; ++c) {
                // At 32-bit scale, well inside the range: the cast is exact
                // after rounding.
                const double v = 0.5 * 2147483392.0 * std::sin(phase + c * pi / 2.0);
                frames[static_cast<std::size_t>(i * channels + c)] =
                    static_cast<int>(std::lround(v));
            }
        }
        if (sf_writef_int(f, frames.data(), n) != n) {
            std::fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(f));
            return 1;
        }
    }
    return sf_close(f) == 0 ? 0 : 1;
}
