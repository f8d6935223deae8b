// qrv-make-demo-recording: writes one camera-format recording (real H.264 and
// AAC) for demonstrations and manual checks of the command-line tool.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "support/recording_writer.h"

namespace {
const char* kUsage = "usage: qrv-make-demo-recording OUT.mp4 [front|tail]\n"
                     "  writes one camera-format recording (4 s, real H.264 and AAC) to OUT.mp4;\n"
                     "  front puts the movie box before the media data, tail (default) after it\n";
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    qrv::test::TRecordingPlan plan;
    plan.Seconds = 4;
    plan.Width = 320;
    plan.Height = 240;
    plan.Seed = 2024;
    plan.Model = "DSJ-V8 demo";
    plan.CreationTime = 3600000000u;
    if (argc == 3) {
        std::string layout = argv[2];
        if (layout == "front")
            plan.Layout = qrv::test::TLayout::Front;
        else if (layout != "tail") {
            std::fprintf(stderr, "qrv-make-demo-recording: layout must be front or tail\n");
            return 2;
        }
    }
    try {
        qrv::test::TRecording rec = qrv::test::Make_Recording(plan);
        qrv::test::Save_Recording(rec, argv[1]);
        std::printf("%s: %zu bytes, %zu video samples, moov at %lld (%lld bytes), mdat data at %lld\n",
                    argv[1], rec.Bytes.size(), rec.Video.size(), (long long)rec.MoovOff,
                    (long long)rec.MoovLen, (long long)rec.MdatDataOff);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qrv-make-demo-recording: %s\n", e.what());
        return 1;
    }
    return 0;
}
