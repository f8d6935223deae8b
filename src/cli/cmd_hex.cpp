// qrv-cli hex SOURCE SECTOR: one sector of a source as the hex view shows it.
#include <cstdio>

#include "cli/args.h"
#include "cli/cli_log.h"
#include "cli/commands.h"
#include "cli/source_pick.h"
#include "sources/hex_view.h"

namespace qrv::cli {

int Cmd_Hex(const TArgv& argv) {
    TArgs args(argv, {"help"});
    if (args.Has("help") || args.Positional().size() != 2 || !args.Unknown({"help", "region"}).empty()) {
        std::fprintf(args.Has("help") ? stdout : stderr,
                     "usage: qrv-cli hex SOURCE SECTOR [--region N]\n"
                     "  shows one sector (of the source's sector size) in hex; a sector past the end\n"
                     "  shows the last one; --region N takes the sector size and range of region N\n");
        return args.Has("help") ? 0 : 2;
    }
    TSourceLogScope log;
    const int64_t want = Parse_Int(args.Positional()[1], "SECTOR");
    auto picked = Pick_Source(args.Positional()[0], args.Get_Int("region"));
    if (!picked.Ok) {
        std::fprintf(stderr, "qrv-cli hex: %s\n", picked.Error.c_str());
        return 1;
    }
    const TTreeData& node = picked.Node;
    const int64_t total = Node_TotalSectors(node);
    const int64_t sector = Hex_JumpSector(node, total, want);
    auto bytes = Get_Hex(node, sector);
    if (!bytes) return 1;
    std::printf("%s  sector %lld of %lld, %zu bytes per sector\n", node.HddModel.c_str(),
                static_cast<long long>(sector), static_cast<long long>(total), bytes->size());
    std::fputs(Hex_Text(*bytes).c_str(), stdout);
    return 0;
}

} // namespace qrv::cli
