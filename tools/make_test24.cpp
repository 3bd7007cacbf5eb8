// make_test24.cpp - writes the project's sample input: a logarithmic sine
// sweep from 20 Hz to 20 kHz at 48 kHz, half of full scale at 24 bits,
// one decimal number per line, to standard output or the file named.
//
//   make_test24 [FILE] [SECONDS]      (defaults: standard output, 2 seconds)
#include <cmath>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    std::FILE* out = argc > 1 ? std::fopen(argv[1], "w") : stdout;
    if (out == nullptr) {
        std::printf("Error opening %s\n", argv[1]);
        return 1;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    const double rate = 48000.0;
    const double f0 = 20.0;
    const double f1 = 20000.0;
    const double amplitude = 0.5 * 8388607.0;
    const double pi = 3.14159265358979323846;
    const auto count = static_cast<long>(seconds * rate);
    // The sweep's phase is the integral of f0 * (f1/f0)^(t/T).
    const double k = std::log(f1 / f0) / seconds;
    for (long n = 0; n < count; ++n) {
        const double t = static_cast<double>(n) / rate;
        const double phase = 2.0 * pi * f0 * (std::exp(k * t) - 1.0) / k;
        // Rounded to the nearest 24-bit step; |value| < 2^23, so it fits.
        const long value = std::lround(amplitude * std::sin(phase));
        std::fprintf(out, "%ld\n", value);
    }
    const bool ok = std::fflush(out) == 0 && !std::ferror(out);
    if (out != stdout && std::fclose(out) != 0)
        return 1;
    return ok ? 0 : 1;
}
