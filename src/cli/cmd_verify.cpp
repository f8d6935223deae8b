// qrv-cli verify SOURCE.E01: reads the whole media of an evidence container
// and compares its MD5 and SHA-1 with the ones stored at acquisition.
#include <chrono>
#include <cstdio>
#include <unistd.h>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/common_cli.h"
#include "common/op_state.h"
#include "platform/ewf_source.h"

namespace qrv::cli {

int Cmd_Verify(const TArgv& argv) {
    TArgs args(argv, {"help", "json"});
    if (args.Has("help") || args.Positional().size() != 1 || !args.Unknown({"help", "json"}).empty()) {
        std::fprintf(args.Has("help") ? stdout : stderr,
                     "usage: qrv-cli verify SOURCE.E01 [--json]\n"
                     "  reads the whole media of an EWF container (.E01/.Ex01 segment set), computes its\n"
                     "  MD5 and SHA-1 and compares them with the hashes stored in the container;\n"
                     "  exit status 0 when every stored hash matches, 1 on a mismatch, a container\n"
                     "  without stored hashes or an error, 4 when stopped (Ctrl-C)\n");
        return args.Has("help") ? 0 : 2;
    }
    const bool json = args.Has("json");
    const std::string path = args.Positional()[0];
    std::string error;
    auto src = Open_EwfSource(path, &error);
    if (!src) {
        if (json)
            std::printf("{\"source\": %s, \"ok\": false, \"error\": %s}\n", Json_Text(path).c_str(),
                        Json_Text(error).c_str());
        std::fprintf(stderr, "qrv-cli verify: %s\n", error.c_str());
        return 1;
    }
    const bool tty = ::isatty(2) != 0;
    auto last = std::chrono::steady_clock::now();
    const auto start = last;
    TOpState op; // the verify's own: only the interrupt stops it
    const TStopOnInterrupt interrupt(op);
    bool stopped = false;
    TVerifyResult r = Verify_Ewf(*src, [&](int64_t done, int64_t total) {
        const auto now = std::chrono::steady_clock::now();
        if (tty && (now - last > std::chrono::milliseconds(100) || done == total)) {
            last = now;
            const double secs = std::chrono::duration<double>(now - start).count();
            const int pct = total > 0 ? int(done * 100 / total) : 100;
            std::fprintf(stderr, "\rverify [%-30.*s] %3d%%  %s", pct * 30 / 100,
                         "##############################", pct, Throughput_Text(done, total, secs).c_str());
            std::fflush(stderr);
        }
        stopped = op.StopFlag.load();
        return !stopped;
    });
    if (tty) std::fputc('\n', stderr);
    auto match = [](const std::string& stored, bool same) -> std::string {
        return stored.empty() ? "not stored" : same ? "match" : "MISMATCH";
    };
    if (json) {
        std::printf("{\"source\": %s, \"ok\": %s, \"media_size\": %lld, \"error\": %s, "
                    "\"md5\": %s, \"stored_md5\": %s, \"md5_match\": %s, "
                    "\"sha1\": %s, \"stored_sha1\": %s, \"sha1_match\": %s, \"stopped\": %s}\n",
                    Json_Text(path).c_str(), r.Ok() ? "true" : "false", (long long)src->Size(),
                    r.Error.empty() ? "null" : Json_Text(r.Error).c_str(), Json_Text(r.Md5).c_str(),
                    Json_Text(r.StoredMd5).c_str(), r.Md5Match ? "true" : "false", Json_Text(r.Sha1).c_str(),
                    Json_Text(r.StoredSha1).c_str(), r.Sha1Match ? "true" : "false", stopped ? "true" : "false");
    } else {
        std::printf("source:      %s\nmedia size:  %lld bytes\n", path.c_str(), (long long)src->Size());
        if (stopped) {
            std::printf("result:      STOPPED, not verified\n");
        } else if (!r.ReadOk) {
            std::printf("result:      FAILED, %s\n", r.Error.c_str());
        } else {
            std::printf("MD5:         %s (stored %s): %s\n", r.Md5.c_str(),
                        r.StoredMd5.empty() ? "-" : r.StoredMd5.c_str(),
                        match(r.StoredMd5, r.Md5Match).c_str());
            std::printf("SHA-1:       %s (stored %s): %s\n", r.Sha1.c_str(),
                        r.StoredSha1.empty() ? "-" : r.StoredSha1.c_str(),
                        match(r.StoredSha1, r.Sha1Match).c_str());
            if (r.StoredMd5.empty() && r.StoredSha1.empty())
                std::printf("result:      UNVERIFIED, the container stores no hash\n");
            else
                std::printf("result:      %s\n", r.Ok()
                                                     ? "verified, the media matches the stored hashes"
                                                     : "MISMATCH, the media differs from what was acquired");
        }
    }
    if (stopped) return kExitStopped;
    return r.Ok() ? 0 : 1;
}

} // namespace qrv::cli
