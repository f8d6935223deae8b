// qrv-quality-report: builds the recovery-quality scenarios (camera recordings
// on raw media, FAT32, exFAT and NTFS volumes and an MBR disk), runs the whole
// scan and analysis over each, and prints how the recordings came back:
// recordings, byte-exact rebuilds, video samples in place, and the levels.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/op_state.h"
#include "support/quality_scenarios.h"
#include "support/test_env.h"

using namespace qrv::test;

namespace {

const char* kUsage =
    "usage: qrv-quality-report [options]\n"
    "  --scheme N       window scheme 0..7 (default 0)\n"
    "  --interleave N   interleave scheme 0 or 1 (default 0)\n"
    "  --no-widen       no second, wider pass for incomplete results\n"
    "  --no-index       no frame-feature index: the analysis reads its windows\n"
    "  --only X         only class X (A, B, C, D or M for the MBR disk)\n"
    "  --no-decode      skip the ffmpeg decode of whole recordings\n"
    "  --verbose        one line per recording\n"
    "  --entries        with --verbose: the entries of every result and where its file lies\n"
    "  --help           this text\n";

} // namespace

int main(int argc, char** argv) {
    TEvalOptions opt;
    std::string only;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n%s", a.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if (a == "--scheme") {
            opt.Scheme = std::atoi(value().c_str());
        } else if (a == "--interleave") {
            opt.Interleave = std::atoi(value().c_str());
        } else if (a == "--no-widen") {
            opt.Widen = false;
        } else if (a == "--no-index") {
            opt.Index = false;
        } else if (a == "--only") {
            only = value();
        } else if (a == "--no-decode") {
            opt.Decode = false;
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--entries") {
            opt.Dump = true;
        } else {
            std::fprintf(stderr, "unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    TTempDir dir("qrv-quality");
    std::printf("%-16s %5s %6s %17s %4s %4s %4s %4s %5s %7s\n", "scenario", "recs", "exact", "samples", "L0",
                "L1", "L2", "L3", "none", "seconds");
    int64_t recs = 0, exact = 0, ok = 0, total = 0;
    for (const auto& [cls, medium] : Quality_Table()) {
        const char letter = cls == TFaultClass::Mixed ? 'M' : Class_Name(cls)[0];
        if (!only.empty() && only[0] != letter) continue;
        TQualityScenario s;
        std::string skip;
        if (!Build_QualityScenario(cls, medium, dir.Path(), s, &skip)) {
            std::printf("%-16s skipped: %s\n", s.Name.c_str(), skip.c_str());
            continue;
        }
        const TScenarioOutcome o = Evaluate_Scenario(s, dir.Path(), opt);
        std::printf("%-16s %5zu %6lld %8lld / %6lld %4d %4d %4d %4d %5d %7.1f\n", s.Name.c_str(),
                    o.Recs.size(), (long long)o.Exact, (long long)o.SamplesOk, (long long)o.SamplesTotal,
                    o.Levels[0], o.Levels[1], o.Levels[2], o.Levels[3], o.Missing, o.Seconds);
        if (verbose)
            for (const auto& r : o.Recs)
                std::printf("    %-52s level %2d %s%s samples %lld/%lld%s%s%s\n", r.Name.c_str(), r.Level,
                            r.Exact ? "exact" : "     ", r.Whole ? "" : " (not all on the medium)",
                            (long long)r.SamplesOk, (long long)r.SamplesTotal,
                            r.PresentKept || r.Exact
                                ? ""
                                : (" first wrong byte " + std::to_string(r.FirstWrong)).c_str(),
                            r.Widened ? " widened" : "", r.DecodeErrors.empty() ? "" : " decode errors");
        if (verbose)
            for (const auto& r : o.Recs)
                if (!r.Entries.empty()) std::printf("    %s\n%s", r.Name.c_str(), r.Entries.c_str());
        recs += int64_t(o.Recs.size());
        exact += o.Exact;
        ok += o.SamplesOk;
        total += o.SamplesTotal;
        std::fflush(stdout);
    }
    std::printf("%-16s %5lld %6lld %8lld / %6lld\n", "total", (long long)recs, (long long)exact,
                (long long)ok, (long long)total);
    return 0;
}
