// qrv-quality-report: builds the recovery-quality scenarios (camera recordings
// on raw media, FAT32, exFAT and NTFS volumes and an MBR disk), runs the whole
// scan and analysis over each, and prints how the recordings came back:
// recordings, byte-exact rebuilds, video samples in place, and the levels.
// With --seams it prints the seam scenarios instead (class E: 4 KiB clusters,
// seams across several clusters), with the recordings rated level 0 that are
// wrong where their bytes are on the medium, and one line per recording.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
    "  --seams          the seam scenarios (class E) instead, with the level-0-but-wrong\n"
    "                   column, the whole recordings ffmpeg complains about (decode), the\n"
    "                   seams whose split was decided by decoding (seams+) and left a\n"
    "                   guess (seams?), and one line per recording\n"
    "  --no-decode      skip the ffmpeg decode of whole recordings\n"
    "  --keep DIR       keep each scenario's image in DIR (same file system as /tmp)\n"
    "  --verbose        one line per recording\n"
    "  --entries        with --verbose: the entries of every result and where its file lies\n"
    "  --help           this text\n";

// One row of a table. The quality table prints the columns up to Seconds, as
// it always has; the seam table adds the ones after.
struct TRow {
    std::string Name;
    size_t Recs = 0;
    int64_t Exact = 0, SamplesOk = 0, SamplesTotal = 0;
    int Levels[4] = {0, 0, 0, 0};
    int Missing = 0;
    double Seconds = 0;
    // Seam table:
    int Level0Wrong = 0;  // rated level 0, yet bytes that are on the medium out of place
    int DecodeFailed = 0; // whole recordings whose rebuilt file ffmpeg complains about
    // Seams with several candidate splits: decided by decoding, left a guess.
    int SeamsVerified = 0, SeamsUnverified = 0;
};

TRow Row_Of(const std::string& name, const TScenarioOutcome& o) {
    TRow r;
    r.Name = name;
    r.Recs = o.Recs.size();
    r.Exact = o.Exact;
    r.SamplesOk = o.SamplesOk;
    r.SamplesTotal = o.SamplesTotal;
    for (int i = 0; i < 4; ++i)
        r.Levels[i] = o.Levels[i];
    r.Missing = o.Missing;
    r.Seconds = o.Seconds;
    r.Level0Wrong = o.Level0Wrong;
    r.DecodeFailed = o.DecodeFailed;
    r.SeamsVerified = o.SeamsVerified;
    r.SeamsUnverified = o.SeamsUnverified;
    return r;
}

void Print_Header(bool seams) {
    std::printf("%-16s %5s %6s %17s %4s %4s %4s %4s %5s %7s", "scenario", "recs", "exact", "samples", "L0",
                "L1", "L2", "L3", "none", "seconds");
    if (seams) std::printf(" %12s %6s %6s %6s", "level0 wrong", "decode", "seams+", "seams?");
    std::printf("\n");
}

void Print_Row(const TRow& r, bool seams) {
    std::printf("%-16s %5zu %6lld %8lld / %6lld %4d %4d %4d %4d %5d %7.1f", r.Name.c_str(), r.Recs,
                (long long)r.Exact, (long long)r.SamplesOk, (long long)r.SamplesTotal, r.Levels[0],
                r.Levels[1], r.Levels[2], r.Levels[3], r.Missing, r.Seconds);
    if (seams)
        std::printf(" %12d %6d %6d %6d", r.Level0Wrong, r.DecodeFailed, r.SeamsVerified, r.SeamsUnverified);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    TEvalOptions opt;
    std::string only;
    bool verbose = false, seams = false;
    std::string keep;
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
        } else if (a == "--seams") {
            seams = true;
        } else if (a == "--no-decode") {
            opt.Decode = false;
        } else if (a == "--keep" && i + 1 < argc) {
            keep = argv[++i];
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
    Print_Header(seams);
    int64_t recs = 0, exact = 0, ok = 0, total = 0;
    for (const auto& [cls, medium] : seams ? Seam_Table() : Quality_Table()) {
        const char letter = cls == TFaultClass::Mixed ? 'M' : Class_Name(cls)[0];
        if (!only.empty() && only[0] != letter) continue;
        TQualityScenario s;
        std::string skip;
        if (!Build_QualityScenario(cls, medium, dir.Path(), s, &skip)) {
            std::printf("%-16s skipped: %s\n", s.Name.c_str(), skip.c_str());
            continue;
        }
        const TScenarioOutcome o = Evaluate_Scenario(s, dir.Path(), opt);
        Print_Row(Row_Of(s.Name, o), seams);
        if (seams && !verbose)
            for (const auto& r : o.Recs) {
                const std::string how = !r.Found        ? "not found"
                                        : r.Exact       ? "exact"
                                        : r.Level0Wrong ? "WRONG at level 0"
                                        : r.PresentKept ? "bytes on the medium kept"
                                                        : "wrong";
                std::printf("    %-62s level %2d %s%s\n", r.Name.c_str(), r.Level, how.c_str(),
                            !r.Found || r.PresentKept || r.Exact
                                ? ""
                                : (", first wrong byte " + std::to_string(r.FirstWrong)).c_str());
            }
        if (keep.empty())
            std::filesystem::remove(s.Img.Path);
        else {
            const std::string kept = keep + "/" + std::filesystem::path(s.Img.Path).filename().string();
            std::filesystem::rename(s.Img.Path, kept);
            std::printf("    image kept: %s\n", kept.c_str());
        }
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
