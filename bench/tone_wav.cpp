// tone_wav.cpp - the tones of bench/audio_bench.sh, and their measure.
//
//   tone_wav make FILE SECONDS RATE HZ DBFS   a 24-bit stereo WAV of a sine
//                                            (rounded to 24 bits)
//   tone_wav measure FILE HZ                 fits the sine to channel 0 of
//                                            FILE (its middle 80%) and prints
//                                            its level, the SINAD, and the
//                                            level of the rest (noise and
//                                            distortion) in dBFS RMS, as a
//                                            sine of full scale is 0 dBFS
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "sine_fit.h"

namespace {

int make(const char* path, double seconds, int rate, double hz, double dbfs)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* f = sf_open(path, SFM_WRITE, &info);
    if (f == nullptr) {
        std::fprintf(stderr, "%s: %s\n", path, sf_strerror(nullptr));
        return 1;
    }
    const auto frames = static_cast<std::size_t>(seconds * rate);
    const double a = std::pow(10.0, dbfs / 20.0) * 8388607.0;
    std::vector<int> block;
    for (std::size_t i = 0; i < frames;) {
        block.clear();
        for (std::size_t k = 0; k < 65536 && i < frames; ++k, ++i) {
            const double t = static_cast<double>(i);
            const auto l = static_cast<int>(std::lround(a * std::sin(2 * M_PI * hz / rate * t)));
            const auto r = static_cast<int>(std::lround(a * std::cos(2 * M_PI * hz / rate * t)));
            block.push_back(l * 256);
            block.push_back(r * 256);
        }
        const auto n = static_cast<sf_count_t>(block.size() / 2);
        if (sf_writef_int(f, block.data(), n) != n)
            return 1;
    }
    return sf_close(f) == 0 ? 0 : 1;
}

int measure(const char* path, double hz)
{
    SF_INFO info{};
    SNDFILE* f = sf_open(path, SFM_READ, &info);
    if (f == nullptr) {
        std::fprintf(stderr, "%s: %s\n", path, sf_strerror(nullptr));
        return 1;
    }
    std::vector<double> all(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_double(f, all.data(), info.frames);
    sf_close(f);
    std::vector<double> y;
    for (std::size_t i = 0; i < all.size(); i += static_cast<std::size_t>(info.channels))
        y.push_back(all[i]);
    const std::size_t edge = y.size() / 10;
    const auto fit =
        asrc_measure::fit_sine(y, edge, y.size() - edge, 2 * M_PI * hz / info.samplerate);
    const double tone_db = 20 * std::log10(fit.amplitude());
    std::printf("level %.4f dBFS, SINAD %.1f dB, rest %.1f dBFS\n", tone_db, fit.sinad_db(),
                tone_db - fit.sinad_db());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 7 && std::string_view(argv[1]) == "make")
        return make(argv[2], std::atof(argv[3]), std::atoi(argv[4]), std::atof(argv[5]),
                    std::atof(argv[6]));
    if (argc == 4 && std::string_view(argv[1]) == "measure")
        return measure(argv[2], std::atof(argv[3]));
    std::fputs("usage: tone_wav make FILE SECONDS RATE HZ DBFS | tone_wav measure FILE HZ\n",
               stderr);
    return 2;
}
