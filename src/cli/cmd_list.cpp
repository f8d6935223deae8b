// qrv-cli list: the source tree as the refresh builds it (disks, and the volumes
// under each disk) with label, file system and capacity.
#include <array>
#include <cstdio>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/common_cli.h"
#include "cli/source_pick.h"
#include "common/language.h"
#include "media/raw_access.h"
#include "sources/source_tree.h"

namespace qrv::cli {

int Cmd_List(const TArgv& argv) {
    TArgs args(argv, {"help", "properties"});
    if (args.Has("help")) {
        std::puts("usage: qrv-cli list [--properties]\n"
                  "  lists the disks and the volumes on them (device, label, file system, capacity);\n"
                  "  --properties also prints each node's property rows");
        return 0;
    }
    if (!args.Unknown({"help", "properties"}).empty() || !args.Positional().empty()) {
        std::fprintf(stderr, "usage: qrv-cli list [--properties]\n");
        return 2;
    }
    TSourceTree tree;
    Refresh_SourceTree(tree);
    const auto nodes = tree.Nodes();
    std::vector<std::array<std::string, 5>> rows;
    rows.push_back({Tr("磁盘/镜像文件"), Tr("卷标/编号"), Tr("文件系统"), Tr("容量"), "device"});
    for (TSourceNode* n : nodes) {
        const TTreeData& d = n->Data;
        const std::string indent(size_t(d.Level) * 2, ' ');
        rows.push_back({indent + d.HddModel, d.HddLable, d.HddFs, d.HddCap, d.Level ? Get_SourcePath(d) : ""});
    }
    std::array<size_t, 5> width{};
    for (const auto& r : rows)
        for (size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], Text_Width(r[c]));
    for (const auto& r : rows) {
        std::string line;
        for (size_t c = 0; c < r.size(); ++c) line += (c + 1 < r.size() ? Pad(r[c], width[c] + 2) : r[c]);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::puts(line.c_str());
    }
    if (args.Has("properties")) {
        for (TSourceNode* n : nodes) {
            const auto props = Node_Properties(n->Data);
            if (props.empty()) continue;
            std::printf("\n%s\n", Get_SourcePath(n->Data).c_str());
            for (const auto& [name, value] : props) std::printf("  %s %s\n", Pad(name, 18).c_str(), value.c_str());
        }
    }
    if (tree.Root()->Children().empty())
        std::fprintf(stderr, "no disks found (reading devices may need root or the 'disk' group)\n");
    return 0;
}

} // namespace qrv::cli
