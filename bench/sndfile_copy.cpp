// sndfile_copy.cpp - the yardstick of bench/audio_bench.sh: a plain
// libsndfile copy that reads a file as integers (sf_readf_int) and writes
// the same frames as 24-bit PCM WAV (or 16-bit with BITS 16: the top bits
// of each sample), nothing else.  It checks only that the files open.
//
//   sndfile_copy INPUT OUTPUT [BITS]
#include <sndfile.h>

#include <string_view>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4)
        return 2;
    const bool sixteen = argc == 4 && std::string_view(argv[3]) == "16";
    SF_INFO in_info{};
    SNDFILE* in = sf_open(argv[1], SFM_READ, &in_info);
    if (in == nullptr)
        return 1;
    SF_INFO out_info{};
    out_info.samplerate = in_info.samplerate;
    out_info.channels = in_info.channels;
    out_info.format = SF_FORMAT_WAV | (sixteen ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    SNDFILE* out = sf_open(argv[2], SFM_WRITE, &out_info);
    if (out == nullptr)
        return 1;
    const sf_count_t chunk = 4096;
    std::vector<int> samples(static_cast<std::size_t>(chunk * in_info.channels));
    for (sf_count_t n; (n = sf_readf_int(in, samples.data(), chunk)) > 0;)
        sf_writef_int(out, samples.data(), n); // libsndfile keeps the top bits
    sf_close(in);
    return sf_close(out) == 0 ? 0 : 1;
}
