// replay_main.cpp - asrc-bridge-replay: the bridge's halves off line on the
// blocks of an asrc-bridge --stamps run (replay.h).
//
//   asrc-bridge-replay [--entry] [--converter q31|poly] [--latency-ms T|auto]
//                      [--csv FILE] STAMPS
//
// reads STAMPS.source and STAMPS.sink.  --entry gives the controller each
// block's entry time (when the callback began) instead of the stamp the
// bridge gave it.  Prints one line of key=value results: the bridge's own
// (lock_s, ratio_ppm re nominal, ratio_jitter_ppm, latency_ms, the FIFO's
// counts), true_ppm (the sides' rates from their stamps), ratio_error_ppm,
// and the tone's SINAD in 1-s windows from lock on (4-parameter sine fit:
// a ratio that moves within a second costs there, a steady offset does
// not).  --csv writes, for each second, the ratio (ppm re nominal), the
// controller's fill error and the fill it holds (frames).  Status 0, 1 if a file cannot be read or written,
// 2 for a bad command line or settings the bridge refuses.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "replay.h"

namespace {

int usage(const std::string& why)
{
    std::fprintf(stderr,
                 "asrc-bridge-replay: %s\n"
                 "usage: asrc-bridge-replay [--entry] [--converter q31|poly] [--latency-ms T|auto]\n"
                 "                          [--csv FILE] STAMPS\n",
                 why.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    rtbridge::ReplaySettings settings;
    std::string csv;
    std::string stamps;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_next = i + 1 < argc;
        if (a == "--entry") {
            settings.entry = true;
        } else if (a == "--converter" && has_next) {
            const std::string v = argv[++i];
            if (v != "q31" && v != "poly")
                return usage("--converter must be q31 or poly, not '" + v + "'");
            settings.converter = v == "q31" ? rtbridge::ConverterKind::q31 : rtbridge::ConverterKind::poly;
        } else if (a == "--latency-ms" && has_next) {
            const std::string v = argv[++i];
            char* end = nullptr;
            const double ms = v == "auto" ? 0 : std::strtod(v.c_str(), &end);
            if (v != "auto" && (end == v.c_str() || *end != '\0' || !(ms >= 0.1 && ms <= 2000)))
                return usage("--latency-ms must be auto or 0.1 to 2000, not '" + v + "'");
            settings.latency_ms = ms;
        } else if (a == "--csv" && has_next) {
            csv = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            return usage("unknown option, or its value missing: '" + a + "'");
        } else if (stamps.empty()) {
            stamps = a;
        } else {
            return usage("one STAMPS only");
        }
    }
    if (stamps.empty())
        return usage("give the STAMPS of an asrc-bridge --stamps run");
    rtbridge::StampSide in;
    rtbridge::StampSide out;
    std::string why;
    if (!rtbridge::load_stamps(stamps + ".source", true, in, why) ||
        !rtbridge::load_stamps(stamps + ".sink", false, out, why)) {
        std::fprintf(stderr, "asrc-bridge-replay: %s\n", why.c_str());
        return 1;
    }
    rtbridge::ReplayResult r;
    if (const char* refused = rtbridge::replay(in, out, settings, r)) {
        std::fprintf(stderr, "asrc-bridge-replay: %s\n", refused);
        return 2;
    }
    const rtbridge::SourceSummary& a = r.summary;
    const std::size_t n = r.sinad_1s.size();
    std::printf("blocks_source=%zu blocks_sink=%zu stamps=%s lock_s=%.2f ratio_ppm=%.3f true_ppm=%.3f "
                "ratio_error_ppm=%.3f ratio_jitter_ppm=%.3f latency_ms=%.2f underruns_total=%llu "
                "overruns_total=%llu lock_losses=%llu sinad_1s_windows=%zu sinad_1s_median_db=%.2f "
                "sinad_1s_min_db=%.2f\n",
                in.blocks.size(), out.blocks.size(), settings.entry ? "entry" : "recorded", a.lock_s,
                a.ratio_ppm, r.true_ppm, a.ratio_ppm - r.true_ppm, a.ratio_jitter_ppm, r.latency_ms,
                static_cast<unsigned long long>(a.underruns_total),
                static_cast<unsigned long long>(a.overruns_total),
                static_cast<unsigned long long>(a.lock_losses), n, n > 0 ? r.sinad_1s[n / 2] : 0.0,
                n > 0 ? r.sinad_1s.front() : 0.0);
    if (!csv.empty()) {
        std::FILE* f = std::fopen(csv.c_str(), "w");
        if (f == nullptr) {
            std::fprintf(stderr, "asrc-bridge-replay: cannot write '%s': %s\n", csv.c_str(), std::strerror(errno));
            return 1;
        }
        std::fprintf(f, "t_s,ratio_ppm,fill_error,target\n");
        for (const auto& sec : r.seconds)
            std::fprintf(f, "%lld,%.4f,%.3f,%.0f\n", static_cast<long long>(sec.second), sec.ratio_ppm,
                         sec.fill_error, sec.target);
        if (std::fclose(f) != 0) {
            std::fprintf(stderr, "asrc-bridge-replay: cannot write '%s'\n", csv.c_str());
            return 1;
        }
    }
    return 0;
}
