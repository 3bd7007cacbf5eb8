// sndfile_copy.cpp - the yardstick of bench/audio_bench.sh: a plain
// libsndfile copy that reads a file as integers and writes the same number
// of frames as 16-bit PCM WAV (the top 16 bits of each sample), nothing else.
// It checks only that the files open.
//
//   sndfile_copy INPUT OUTPUT
#include <sndfile.h>

#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    SF_INFO in_info{};
    SNDFILE* in = sf_open(argv[1], SFM_READ, &in_info);
    if (in == nullptr)
        return 1;
    SF_INFO out_info{};
    out_info.samplerate = in_info.samplerate;
    out_info.channels = in_info.channels;
    out_info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* out = sf_open(argv[2], SFM_WRITE, &out_info);
    if (out == nullptr)
        return 1;
    const sf_count_t chunk = 4096;
    const auto samples = static_cast<std::size_t>(chunk * in_info.channels);
    std::vector<int> wide(samples);
    std::vector<short> narrow(samples);
    for (sf_count_t n; (n = sf_readf_int(in, wide.data(), chunk)) > 0;) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(n * in_info.channels); ++i)
            narrow[i] = static_cast<short>(wide[i] >> 16); // top 16 bits, exact
        sf_writef_short(out, narrow.data(), n);
    }
    sf_close(in);
    return sf_close(out) == 0 ? 0 : 1;
}
