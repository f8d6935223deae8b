// qrv-cli regions IMAGE: what opening an image file finds at its start, the
// partitions and volumes that become regions under it.
#include <cstdio>

#include "cli/args.h"
#include "cli/cli_log.h"
#include "cli/commands.h"
#include "cli/source_pick.h"
#include "sources/regions.h"

namespace qrv::cli {

int Cmd_Regions(const TArgv& argv) {
    TArgs args(argv, {"help"});
    if (args.Has("help") || args.Positional().size() != 1 || !args.Unknown({"help"}).empty()) {
        std::fprintf(args.Has("help") ? stdout : stderr,
                     "usage: qrv-cli regions IMAGE\n"
                     "  lists the regions found at the start of an image file (or a block device):\n"
                     "  their number (for --region N), first sector, file system and geometry\n");
        return args.Has("help") ? 0 : 2;
    }
    TSourceLogScope log;
    const std::string path = args.Positional()[0];
    TSourceTree tree;
    std::vector<TSourceNode*> regions;
    auto picked = Pick_Source(path);
    if (!picked.Ok) {
        std::fprintf(stderr, "qrv-cli regions: %s\n", picked.Error.c_str());
        return 1;
    }
    TSourceNode* node = tree.Root()->Add_Child(picked.Node);
    if (node->Data.Hddtype == HDD_IMAGE) {
        // Opening the image looks for regions only when its first sector carries the boot signature.
        tree.Clear();
        auto r = Open_Image(tree, path);
        if (!r.Node) {
            std::fprintf(stderr, "qrv-cli regions: %s\n", r.Message.c_str());
            return 1;
        }
        node = r.Node;
        regions = r.Regions;
    } else {
        regions = Create_Region(*node, node->Data.PerSecBytes, 0, Node_TotalSectors(node->Data));
    }
    std::printf("%s  %s  %lld bytes\n", node->Data.HddModel.c_str(), node->Data.HddCap.c_str(),
                static_cast<long long>(node->Data.TotalSpace));
    if (regions.empty()) {
        std::puts("no regions found");
        return 0;
    }
    std::printf("%-6s %14s  %-6s %16s %16s %12s  %s\n", "region", "RegionSec", "fs", "sectors/cluster",
                "bytes/sector", "clusters", "size");
    int index = 1;
    for (TSourceNode* r : regions) {
        const TTreeData& d = r->Data;
        std::printf("%-6d %14lld  %-6s %16u %16d %12u  %s (%lld bytes)\n", index++, static_cast<long long>(d.RegionSec),
                    d.HddFs.c_str(), d.LogPerClusec, d.PerSecBytes, d.LogTotalClusters, d.HddCap.c_str(),
                    static_cast<long long>(d.TotalSpace));
    }
    return 0;
}

} // namespace qrv::cli
