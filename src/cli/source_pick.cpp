#include "cli/source_pick.h"

#include "cli/common_cli.h"




#include "media/raw_access.h"
#include "platform/file_system.h"
#include "platform/source_io.h"
#include "sources/regions.h"

namespace qrv::cli {

namespace {

std::string Canonical(const std::string& p) { return Canonical_Path(p); }

} // namespace

TPickedSource Pick_Source(const std::string& path, std::optional<int64_t> region) {
    TPickedSource out;
    TSourceTree tree;
    TSourceNode* node = nullptr;
    const TPathKind kind = Get_PathKind(path);
    if (kind == TPathKind::Missing) {
        out.Error = "cannot access " + path;
        return out;
    }
    if (kind == TPathKind::BlockDevice) {
        if (TOpenFailure f; !Open_Source(path, &f)) {
            if (std::string hint = Open_FailureHint(path, f); !hint.empty()) {
                out.Error = std::move(hint);
                return out;
            }
        }
        Refresh_SourceTree(tree);
        const std::string want = Canonical(path);
        for (TSourceNode* n : tree.Nodes()) {
            if (n->Data.Level == 0) continue;
            if (Canonical(Get_SourcePath(n->Data)) == want) {
                node = n;
                break;
            }
        }
        if (!node) { // a block device the enumeration does not list (a partition of an unlisted disk...)
            TTreeData d;
            d.Hddtype = HDD_VOLUME;
            d.HddNumber = "0";
            d.HddModel = path;
            d.HddFs = "RAW";
            d.PerSecBytes = 512;
            d.TotalSpace = std::max<int64_t>(Get_PathSize(path), 0);
            d.HddCap = Format_DiskCap(d.TotalSpace);
            node = tree.Root()->Add_Child(std::move(d));
        }
        if (region && node->Children().empty())
            Create_Region(*node, node->Data.PerSecBytes, 0, Node_TotalSectors(node->Data));
    } else {
        auto r = Open_Image(tree, path);
        if (!r.Node) {
            out.Error = r.Message;
            return out;
        }
        node = r.Node;
    }
    if (region) {
        const auto& kids = node->Children();
        if (*region < 1 || *region > int64_t(kids.size())) {
            out.Error = "no region " + std::to_string(*region) + " in " + path + " (" + std::to_string(kids.size()) +
                        " found; see 'qrv-cli regions')";
            return out;
        }
        node = kids[size_t(*region - 1)].get();
    }
    out.Ok = true;
    out.Node = node->Data;
    return out;
}

std::string Pad(const std::string& text, size_t width) {
    const size_t w = Text_Width(text);
    return w >= width ? text : text + std::string(width - w, ' ');
}

} // namespace qrv::cli
