// qrv-cli image SOURCE --out DIR: copies a source, or a sector range of it, into
// an image file in DIR (never on the disk being imaged). Progress on stderr;
// Ctrl-C stops after the current block (exit status 4).
#include <cstdio>
#include <ctime>
#include <set>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/common_cli.h"
#include "cli/source_pick.h"
#include "common/op_state.h"
#include "media/raw_access.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"
#include "platform/source_io.h"
#include "scan/scan_settings.h"
#include "sources/imaging.h"

namespace qrv::cli {

int Cmd_Image(const TArgv& argv) {
    const std::set<std::string> known = {"help", "out", "start", "end", "region", "force-same-disk"};
    TArgs args(argv, {"help", "force-same-disk"});
    if (args.Has("help") || args.Positional().size() != 1 || !args.Has("out") || !args.Unknown(known).empty()) {
        std::fprintf(
            args.Has("help") ? stdout : stderr,
            "usage: qrv-cli image SOURCE --out DIR [--start S --end E] [--region N] [--force-same-disk]\n"
            "  copies sectors [S, E) of a disk or volume (or of region N of a source) into\n"
            "  DIR/<name>-<date><time>.img; DIR (made when missing) must not be on the disk being\n"
            "  imaged, and E must not lie beyond the end of the source\n%s",
            kForceUsage);
        return args.Has("help") ? 0 : 2;
    }
    const TGuardOptions output = Output_Options(args);
    TCliSession session = Start_CliSession(false);
    auto picked = Pick_Source(args.Positional()[0], args.Get_Int("region"));
    if (!picked.Ok) {
        std::fprintf(stderr, "qrv-cli image: %s\n", picked.Error.c_str());
        return 1;
    }
    const TTreeData& node = picked.Node;
    if (auto msg = Check_ImageNode(&node); !msg.empty()) {
        std::fprintf(stderr, "qrv-cli image: %s\n", msg.c_str());
        return 1;
    }
    const std::string folder = *args.Get("out");
    const int64_t psb = node.PerSecBytes > 0 ? node.PerSecBytes : 512;
    const int64_t first = node.Hddtype == HDD_REGION ? node.RegionSec : 0;
    const int64_t start = args.Get_Int("start").value_or(first);
    const int64_t end = args.Get_Int("end").value_or(first + node.TotalSpace / psb);
    if (start < 0 || end < 0) {
        std::fprintf(stderr, "qrv-cli image: sectors must not be negative\n");
        return 2;
    }
    if (auto msg = Check_ImageRange(start, end); !msg.empty()) {
        std::fprintf(stderr, "qrv-cli image: %s\n", msg.c_str());
        return 1;
    }
    if (auto msg = Check_ImageBounds(node, start, end, Get_PathSize(Get_SourcePath(node))); !msg.empty()) {
        std::fprintf(stderr, "qrv-cli image: %s\n", msg.c_str());
        return 1;
    }
    const TOutputGuard guard({Get_SourcePath(node)}, output);
    if (TGuardVerdict v = guard.Check_Folder(folder); !v.Allowed()) return Report_Refusal("image", v, folder);
    if (int rc = Prepare_Folder("image", folder, guard)) return rc;
    const int64_t needed = (end - start) * psb; // fits: both ends were checked above
    if (auto msg = Check_ImageSpace(Get_FreeBytes(folder), needed, node.HddCap); !msg.empty()) {
        std::fprintf(stderr, "qrv-cli image: %s\n", msg.c_str());
        return 1;
    }
    const std::string target = folder + "/" + Image_FileName(Named_ByBase(node), std::time(nullptr));
    Op_State().WrittenBytes.store(0);
    Op_State().StopFlag.store(false);
    TImageResult r;
    {
        const TStopOnInterrupt interrupt;
        r = To_image(node, target, start, end, output);
    }
    // The name actually written: the next free one beside target, or target.partial after a stop.
    const std::string& written = r.WrittenPath.empty() ? target : r.WrittenPath;
    std::printf("%s\n%lld bytes written%s%s\n", written.c_str(), static_cast<long long>(r.BytesWritten),
                r.Stopped ? " (stopped)" : "",
                r.UnreadBytes ? (", " + std::to_string(r.UnreadBytes) + " unreadable bytes written as zeros").c_str()
                              : "");
    if (!r.Ok || r.UnreadBytes > 0) return 1;
    return r.Stopped ? kExitStopped : 0;
}

} // namespace qrv::cli
